// Support for end-to-end tests: running the programs with a time limit and
// a simulated board (stoker-target) on a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;        // exit status, or 128 + signal
  bool timedOut = false;  // killed at the time limit
  std::string out;        // standard output
  std::string err;        // standard error
};

// Runs argv[0] with its arguments, collecting its output; kills it after
// timeoutMs.
ProcessResult run_program(const std::vector<std::string>& argv, int timeoutMs);

// A fresh directory for one test's files.
std::string make_temp_dir();

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Deterministic test data.
std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed = 1);

// A running stoker-target, stopped when this object goes away.
class SimTarget {
 public:
  SimTarget() = default;
  ~SimTarget();
  SimTarget(const SimTarget&) = delete;
  SimTarget& operator=(const SimTarget&) = delete;

  // Starts the simulator with these options plus --link, --out and --once;
  // returns when its port exists. False when it could not start.
  bool start(const std::vector<std::string>& options);
  // The port path (a symlink to the pseudo-terminal).
  const std::string& port() const { return link_; }
  // Waits for the session's summary line; "" when none came in time.
  std::string summary(int timeoutMs);
  // The image the target received (after the summary).
  std::vector<uint8_t> image() const { return read_file(out_); }
  // The value of key=value in a summary line; "" when absent.
  static std::string field(const std::string& summary, const std::string& key);
  // Stops the simulator; its exit status (128 + signal when killed).
  int stop();

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string dir_, link_, out_, buffered_;
};
