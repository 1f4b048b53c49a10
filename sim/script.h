// A script interpreter target: it takes CR-ended lines and answers each with
// 0x06 (accepted) or 0x05 (refused), and answers the host's numbered
// requests ("#1 name" asks whether the target has a function or constant).
#pragma once

#include <string>

#include "sim/link.h"
#include "sim/options.h"
#include "sim/session.h"

// The answer to one received line (without its CR): 0x06, 0x05, or -1 for
// none. Lines containing opts.silentLine get none, lines containing
// opts.refuseLine 0x05, "#1 name" 0x06 when name is one of opts.has and
// 0x05 otherwise; every other line (requests 2 to 6 among them) 0x06.
int script_answer(const std::string& line, const SimOptions& opts);

// Runs one session: waits (without limit) for the first byte, then answers
// every CR-ended line until the host has been quiet for opts.idleMs (0:
// until a stop request). With opts.echo every byte goes back as it arrives,
// before the line's answer. Every byte received is logged to opts.outPath
// as it comes (each line flushed at its CR) and kept in result->data;
// result->blocks counts the lines. Returns kSessionEnded or kSessionStopped.
int script_session(Link* link, const SimOptions& opts, SessionResult* result);
