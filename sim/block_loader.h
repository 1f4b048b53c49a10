// The boot loader of generations 2 and 3: entry byte, generation letter,
// sub-version, size announcement, erase reply, then 2000-byte blocks each
// answered with ACK.
#pragma once

#include "sim/link.h"
#include "sim/options.h"
#include "sim/session.h"

// Runs one session: waits (without limit) for the entry byte, then serves
// the host until the image is in, the host goes quiet, or a fault switch
// ends it. Fills *result; returns kSessionEnded, kSessionStopped or
// kSessionVanished.
int block_session(Link* link, const SimOptions& opts, SessionResult* result);
