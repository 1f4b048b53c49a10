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
// "stoker-kit", "stoker-target"): its path, or wine and the Windows
// executable.
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
// Expects the port at path free for the next user, as a normal close leaves
// it while the board keeps the device open: it opens, takes the lock the
// programs take, and has no exclusive mode left.
void expect_port_released(const std::string& path);
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

// Links the first free $WINEPREFIX/dosdevices/comN of the range to target;
// symlink() fails on an existing name, so parallel tests never share a
// number. The number, or 0 when none was free; *link names the link.
int link_com_port(const std::string& target, ComRange com, std::string* link);

// Two pseudo-terminals joined by socat, as a null-modem cable joins two
// serial ports: what one end's program writes, the other's reads. Under
// Wine each end is also a COM port. Ended (socat stopped, the COM links
// removed) when this object goes away.
class PortPair {
 public:
  PortPair() = default;
  ~PortPair();
  PortPair(const PortPair&) = delete;
  PortPair& operator=(const PortPair&) = delete;

  // Starts socat and waits for both ends. False when either fails.
  bool open();
  // One end as the board's --port takes it: its path, or under Wine "COMn".
  std::string board_port() const;
  // The other end as stoker takes it: its path, or under Wine the number.
  std::string host_port() const;

 private:
  pid_t pid_ = -1;
  std::string board_, host_;
  int boardCom_ = 0, hostCom_ = 0;
  std::vector<std::string> comLinks_;
};

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
  // Starts the board of the programs under test (stoker-target.exe under
  // Wine) on an existing serial port (--port) with these options plus --out
  // and (with once) --once; returns once it has opened the port. False when
  // it does not.
  bool start_on_port(const std::string& port, const std::vector<std::string>& options,
                     bool once = true);
  // Sends SIGINT (under Wine a console Ctrl-C) and waits up to timeoutMs for
  // the simulator to end: its exit status, or -1 when it did not end.
  int interrupt(int timeoutMs);
  // Everything it printed on standard output so far.
  const std::string& output() const { return buffered_; }

 private:
  bool launch(const std::vector<std::string>& options, ComRange com, bool once);
  bool spawn_and_wait_ready(const std::vector<std::string>& argv);
  bool take_com_port(ComRange com);
  void release_com_port();

  pid_t pid_ = -1;
  int stdout_ = -1;
  int com_ = 0;
  std::string dir_, link_, out_, buffered_, comLink_;
};
