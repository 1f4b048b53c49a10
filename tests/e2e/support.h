// Support for end-to-end tests: running the programs with a time limit and
// a simulated board (stoker-target) on a pseudo-terminal.
//
// The programs under test are the Linux build's, or, when the environment
// variable STOKER_E2E_WINE names a Wine prefix, the Windows build's
// (STOKER_WINDOWS_BIN_DIR) run under Wine: the simulator's pseudo-terminal
// is then also COMn, through the symbolic link $WINEPREFIX/dosdevices/comN.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;         // exit status, or 128 + signal
  bool timedOut = false;   // killed at the time limit
  std::string out;         // standard output
  std::string err;         // standard error
  int msAfterSignal = -1;  // from the signal (when one was sent) to the end
};

// Runs argv[0] with its arguments, collecting its output; kills it after
// timeoutMs.
ProcessResult run_program(const std::vector<std::string>& argv, int timeoutMs);
// As run_program, sending SIGINT (Ctrl-C) once after interruptAfterMs.
ProcessResult run_program_interrupted(const std::vector<std::string>& argv, int timeoutMs,
                                      int interruptAfterMs);
// As run_program, sending the signal once after signalAfterMs (none when
// negative), counted from the moment ready() first returns true (it is asked
// every few milliseconds; null: from the start).
ProcessResult run_program_signalled(const std::vector<std::string>& argv, int timeoutMs,
                                    int signalAfterMs, int signal,
                                    const std::function<bool()>& ready = nullptr);

// True when the programs under test are the Windows executables under Wine.
bool wine_mode();

// The command that starts one of the programs under test ("stoker",
// "stoker-kit"): its path, or wine and the Windows executable.
std::vector<std::string> host_program(const std::string& name);

// run_program of host_program(name) with args. Under Wine the output's line
// ends, "\r\n" from the Windows C runtime, read as "\n".
ProcessResult run_host(const std::string& name, const std::vector<std::string>& args,
                       int timeoutMs);

// A file's path as the program under test takes it: under Wine the Windows
// path on drive Z:, which Wine maps to the Linux root.
std::string host_path(const std::string& path);
// Writes dir/name; its path as the program under test names it.
std::string put_file(const std::string& dir, const std::string& name,
                     const std::vector<uint8_t>& bytes);

// A port argument that names no port: a path in dir, or a COM number that
// is never mapped.
std::string missing_port(const std::string& dir);

// A fresh directory for one test's files.
std::string make_temp_dir();

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Deterministic test data.
std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed = 1);

// COM port numbers a SimTarget may take under Wine, tried from first
// towards last (downwards when last < first).
struct ComRange {
  int first;
  int last;
};
// Any free number; kept clear of the numbers that tests ask for by name and
// of the low numbers that Wine gives the machine's own serial devices.
constexpr ComRange kAnyComPort = {40, 254};

// A running stoker-target, stopped when this object goes away.
class SimTarget {
 public:
  SimTarget() = default;
  ~SimTarget();
  SimTarget(const SimTarget&) = delete;
  SimTarget& operator=(const SimTarget&) = delete;

  // Starts the simulator with these options plus --link, --out and (with
  // once) --once; returns when its port exists. Under Wine it also takes the
  // first free COM number of com for the port. False when either fails.
  bool start(const std::vector<std::string>& options, ComRange com = kAnyComPort, bool once = true);
  // The port path (a symlink to the pseudo-terminal).
  const std::string& port() const { return link_; }
  // The port argument for the program under test: the path, or under Wine
  // the COM number.
  std::string host_port() const { return com_ > 0 ? std::to_string(com_) : link_; }
  // The COM number under Wine, else 0.
  int com_number() const { return com_; }
  // Waits for the session's summary line; "" when none came in time.
  std::string summary(int timeoutMs);
  // The image the target received (after the summary).
  std::vector<uint8_t> image() const { return read_file(out_); }
  // The value of key=value in a summary line; "" when absent.
  static std::string field(const std::string& summary, const std::string& key);
  // Stops the simulator; its exit status (128 + signal when killed).
  int stop();
  // Starts it again on the same port path and output file (the board
  // plugged in again after stop): false as start.
  bool restart(const std::vector<std::string>& options, ComRange com = kAnyComPort);

 private:
  bool launch(const std::vector<std::string>& options, ComRange com, bool once);
  bool take_com_port(ComRange com);
  void release_com_port();

  pid_t pid_ = -1;
  int stdout_ = -1;
  int com_ = 0;
  std::string dir_, link_, out_, buffered_, comLink_;
};
