// A sink: a target that takes whatever the host sends (one-way transfers,
// the terminal) and records it, optionally sending every byte back.
#pragma once

#include "sim/link.h"
#include "sim/options.h"
#include "sim/session.h"

// Runs one session: waits (without limit) for the first byte, then records
// every byte until the host has been quiet for opts.idleMs (0: until a stop
// request). With opts.outPath the bytes are also appended to that file as
// they come, so it holds what arrived even when the session is stopped.
// With opts.echo every byte goes back to the host as it arrives; with
// opts.timesPath each byte's arrival time is appended to that file. Keeps
// none of the bytes: *result counts them (streamed); returns kSessionEnded
// or kSessionStopped. Paced (opts.baud), the link takes the host's bytes
// only as fast as the line carries them, so a faster host blocks.
int sink_session(Link* link, const SimOptions& opts, SessionResult* result);
