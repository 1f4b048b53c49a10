// stoker-target: a simulated board whose boot loader answers on a
// pseudo-terminal ("PTY <path>" once it is ready) or on a serial port
// (--port; "PORT <device>"), with one "SUMMARY ..." line per session.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "common/version.h"
#include "serial/trace.h"
#include "sim/block_loader.h"
#include "sim/link.h"
#include "sim/log.h"
#include "sim/options.h"
#include "sim/script.h"
#include "sim/session.h"
#include "sim/sink.h"
#include "sim/xmodem_receiver.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitVanished = 3;

// How long the last answers may wait for the host to read them before the
// port closes; then a little longer for trailing bytes (the second EOT).
constexpr auto kDrainLimit = std::chrono::seconds(1);
constexpr auto kLinger = std::chrono::milliseconds(100);

// Writes the output file (if asked for) and prints the summary line.
void finish_session(const SimOptions& opts, const SessionResult& result) {
  if (!opts.outPath.empty() && !result.streamed) {
    const int error = write_image(opts.outPath, result.data);
    if (error != 0) {
      std::fprintf(stderr, "stoker-target: cannot write %s: %s\n", opts.outPath.c_str(),
                   std::strerror(error));
    }
  }
  std::fputs(format_summary(result).c_str(), stdout);
  std::fflush(stdout);
}

// Lets the host read the last answers before the port goes away.
int drain_before_close(Link* link) {
  if (link_drain(link, Clock::now() + kDrainLimit) == kLinkStopped) return kLinkStopped;
  return link_wait_until(link, Clock::now() + kLinger);
}

// One session of the selected mode.
int run_session(Link* link, const SimOptions& opts, SessionResult* result) {
  if (opts.mode == kModeSink) return sink_session(link, opts, result);
  if (opts.mode == kModeScript) return script_session(link, opts, result);
  return opts.gen == 1 ? xmodem_session(link, opts, result) : block_session(link, opts, result);
}

// Serves sessions until --once, a stop request or a vanish. Returns the exit
// status.
int run_sessions(const SimOptions& opts, Link* link) {
  for (;;) {
    SessionResult result;
    const int rc = run_session(link, opts, &result);
    if (rc == kSessionStopped || link_flush(link) == kLinkStopped) return kExitOk;
    if (rc == kSessionVanished) {
      link_drain(link, Clock::now() + kDrainLimit);
      link_unpublish(link, opts.linkPath);
      link_close(link);
      sim_log("port closed for good");
      finish_session(opts, result);
      return kExitVanished;
    }
    finish_session(opts, result);
    if (opts.once) {
      drain_before_close(link);
      return kExitOk;
    }
  }
}

// Opens the board's end (a serial port, or a pseudo-terminal and its link)
// and prints what the host opens. Exit status on failure, -1 on success.
int open_port(const SimOptions& opts, Link* link, SerialTrace* trace) {
  std::string error;
  const bool port = !opts.portName.empty();
  const bool opened =
      port ? link_open_port(link, opts.portName, port_rate(opts), opts.baud, trace, &error)
           : link_open_pty(link, opts.baud, trace, &error);
  if (!opened || (!opts.linkPath.empty() && !link_publish(link, opts.linkPath, &error))) {
    std::fprintf(stderr, "stoker-target: %s\n", error.c_str());
    link_close(link);
    return kExitFailure;
  }
  std::printf("%s %s\n", port ? "PORT" : "PTY", link->path.c_str());
  std::fflush(stdout);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions opts;
  std::string error;
  const int parsed = parse_options(argc, argv, &opts, &error);
  if (parsed == kOptionsHelp) {
    std::fputs(usage_text(), stdout);
    return kExitOk;
  }
  if (parsed == kOptionsVersion) {
    std::printf("%s\n", stoker_version_line());
    return kExitOk;
  }
  if (parsed != kOptionsOk) {
    std::fprintf(stderr, "stoker-target: %s\n%s", error.c_str(), usage_text());
    return kExitUsage;
  }
  if (opts.portName.empty() && !link_pty_supported()) {
    std::fprintf(stderr,
                 "stoker-target: this system has no pseudo-terminals: name the board's serial "
                 "port with --port (one end of a null-modem pair, such as COM5)\n");
    return kExitUsage;
  }
  sim_log_enable(opts.log);
  if (!link_watch_stop(&error)) {
    std::fprintf(stderr, "stoker-target: %s\n", error.c_str());
    return kExitFailure;
  }
  // The trace file first: one that can't be created is refused before the
  // port exists.
  SerialTracePtr trace;
  if (!opts.tracePath.empty() && !(trace = serial_trace_create(opts.tracePath, &error))) {
    std::fprintf(stderr, "stoker-target: no trace: %s\n", error.c_str());
    return kExitFailure;
  }
  Link link;
  const int failed = open_port(opts, &link, trace.get());
  if (failed >= 0) return failed;
  sim_log("mode %d, generation %d, sub-version %d, baud %ld", static_cast<int>(opts.mode), opts.gen,
          opts.subVersion, opts.baud);
  const int status = run_sessions(opts, &link);
  link_unpublish(&link, opts.linkPath);
  link_close(&link);
  if (trace && !serial_trace_finish(std::move(trace), &error))
    std::fprintf(stderr, "stoker-target: the trace is incomplete: %s\n", error.c_str());
  return status;
}
