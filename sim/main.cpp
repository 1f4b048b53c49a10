// stoker-target: a simulated board whose boot loader answers on a
// pseudo-terminal. Prints "PTY <path>" once the port is ready and one
// "SUMMARY ..." line per session.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
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

int g_stopPipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_stopPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

bool set_nonblocking_cloexec(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// SIGTERM, SIGINT and SIGHUP become a byte on the stop pipe, which ends
// every wait of the link. False when the pipe can't be made.
bool install_signals() {
  if (pipe(g_stopPipe) != 0) return false;
  if (!set_nonblocking_cloexec(g_stopPipe[0]) || !set_nonblocking_cloexec(g_stopPipe[1])) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

// Points path at target, replacing a symbolic link but nothing else.
// 0 or an errno value.
int make_port_link(const std::string& path, const std::string& target) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) return EEXIST;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
  }
  return symlink(target.c_str(), path.c_str()) == 0 ? 0 : errno;
}

// Removes the link if it still points at target.
void remove_port_link(const std::string& path, const std::string& target) {
  if (path.empty()) return;
  char buffer[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return;
  buffer[n] = '\0';
  if (target == buffer) unlink(path.c_str());
}

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
      remove_port_link(opts.linkPath, link->slavePath);
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

// Creates the port (and its link) and prints its path. Exit status on
// failure, -1 on success.
int open_port(const SimOptions& opts, Link* link, SerialTrace* trace) {
  int error = link_open(link, opts.baud, g_stopPipe[0], trace);
  if (error != 0) {
    std::fprintf(stderr, "stoker-target: cannot create a pseudo-terminal: %s\n",
                 std::strerror(error));
    return kExitFailure;
  }
  if (!opts.linkPath.empty() && (error = make_port_link(opts.linkPath, link->slavePath)) != 0) {
    std::fprintf(stderr, "stoker-target: cannot make link %s: %s\n", opts.linkPath.c_str(),
                 std::strerror(error));
    link_close(link);
    return kExitFailure;
  }
  std::printf("PTY %s\n", link->slavePath.c_str());
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
  sim_log_enable(opts.log);
  if (!install_signals()) {
    std::fprintf(stderr, "stoker-target: cannot set up signals: %s\n", std::strerror(errno));
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
  remove_port_link(opts.linkPath, link.slavePath);
  link_close(&link);
  if (trace && !serial_trace_finish(std::move(trace), &error))
    std::fprintf(stderr, "stoker-target: the trace is incomplete: %s\n", error.c_str());
  return status;
}
