#include "tests/e2e/support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(outFd, 1);
  dup2(errFd, 2);
  const int devnull = open("/dev/null", O_RDONLY);
  dup2(devnull, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Reads what is available on fd into text; false at end of file.
bool drain_into(int fd, std::string& text) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  text.append(buffer, static_cast<size_t>(n));
  return true;
}

// Never mapped to a port: above every number a SimTarget takes.
constexpr int kUnmappedComPort = 255;

const char* wine_prefix() {
  const char* prefix = std::getenv("STOKER_E2E_WINE");
  return prefix != nullptr && prefix[0] != '\0' ? prefix : nullptr;
}

// Wine's settings for every process the tests start: the shared prefix, no
// debug channels, and no Mono or Gecko installers.
void set_wine_environment(const char* prefix) {
  setenv("WINEPREFIX", prefix, 1);
  setenv("WINEDEBUG", "-all", 0);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
}

std::string crlf_to_lf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

bool wine_mode() {
  static const bool on = [] {
    const char* prefix = wine_prefix();
    if (prefix != nullptr) set_wine_environment(prefix);
    return prefix != nullptr;
  }();
  return on;
}

std::vector<std::string> host_program(const std::string& name) {
  const std::vector<std::pair<std::string, const char*>> programs = {
      {"stoker", STOKER_BIN}, {"stoker-kit", STOKER_KIT_BIN}, {"stoker-target", STOKER_TARGET_BIN}};
  const auto program = std::find_if(programs.begin(), programs.end(),
                                    [&name](const auto& entry) { return entry.first == name; });
  if (program == programs.end()) {
    ADD_FAILURE() << "no program " << name;
    return {STOKER_BIN};
  }
#ifdef STOKER_WINE_BIN
  if (wine_mode())
    return {STOKER_WINE_BIN, std::string(STOKER_WINDOWS_BIN_DIR) + "/" + name + ".exe"};
#else
  if (wine_mode()) ADD_FAILURE() << "built without a Windows build to run under Wine";
#endif
  return {program->second};
}

ProcessResult run_host(const std::string& name, const std::vector<std::string>& args,
                       int timeoutMs) {
  std::vector<std::string> argv = host_program(name);
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = run_program(argv, timeoutMs);
  if (wine_mode()) {
    result.out = crlf_to_lf(result.out);
    result.err = crlf_to_lf(result.err);
  }
  return result;
}

std::string host_path(const std::string& path) {
  if (!wine_mode()) return path;
  std::string windows = "Z:" + path;
  for (char& c : windows) c = c == '/' ? '\\' : c;
  return windows;
}

std::string missing_port(const std::string& dir) {
  return wine_mode() ? std::to_string(kUnmappedComPort) : dir + "/nosuchport";
}

ProcessResult run_program(const std::vector<std::string>& argv, int timeoutMs) {
  return run_program_interrupted(argv, timeoutMs, -1);
}

ProcessResult run_program_interrupted(const std::vector<std::string>& argv, int timeoutMs,
                                      int interruptAfterMs) {
  return run_program_signalled(argv, timeoutMs, interruptAfterMs, SIGINT);
}

ProcessResult run_program_signalled(const std::vector<std::string>& argv, int timeoutMs,
                                    int interruptAfterMs, int signal,
                                    const std::function<bool()>& ready) {
  ProcessResult result;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return result;
  // Only the child's standard output and error stay open in what it runs: a
  // process it leaves behind (a server) must not hold the pipes.
  for (int fd : {out[0], out[1], err[0], err[1]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  const pid_t pid = spawn(argv, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto interruptAt = Clock::now() + std::chrono::milliseconds(interruptAfterMs);
  bool interrupt = interruptAfterMs >= 0;
  bool waitingForReady = interrupt && ready != nullptr;
  Clock::time_point signalledAt{};
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int left = ms_left(deadline);
    if (left == 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (waitingForReady && ready()) {
      waitingForReady = false;
      interruptAt = Clock::now() + std::chrono::milliseconds(interruptAfterMs);
    }
    if (interrupt && !waitingForReady && ms_left(interruptAt) == 0) {
      kill(pid, signal);
      signalledAt = Clock::now();
      interrupt = false;
    }
    if (waitingForReady) left = std::min(left, 5);
    if (interrupt) left = std::min(left, std::max(ms_left(interruptAt), 1));
    if (poll(fds, 2, left) <= 0) continue;
    if (outOpen && fds[0].revents != 0) outOpen = drain_into(out[0], result.out);
    if (errOpen && fds[1].revents != 0) errOpen = drain_into(err[0], result.err);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  close(out[0]);
  close(err[0]);
  result.status = decode_status(raw);
  if (signalledAt != Clock::time_point{})
    result.msAfterSignal = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalledAt).count());
  return result;
}

namespace {

// The test's directories, removed when the test process ends.
struct TempDirs {
  std::vector<std::string> paths;
  ~TempDirs() {
    std::error_code ignored;
    for (const std::string& path : paths) std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

std::string make_temp_dir() {
  static TempDirs dirs;
  char name[] = "/tmp/stoker-e2e-XXXXXX";
  const char* dir = mkdtemp(name);
  if (dir == nullptr) return "/tmp";
  dirs.paths.emplace_back(dir);
  return dir;
}

std::string put_file(const std::string& dir, const std::string& name,
                     const std::vector<uint8_t>& bytes) {
  const std::string path = dir + "/" + name;
  write_file(path, bytes);
  return host_path(path);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expect_port_released(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << path;
#ifdef TIOCGEXCL
  int exclusive = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0) << path;
  EXPECT_EQ(exclusive, 0) << path;
#endif
  close(fd);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

SimTarget::~SimTarget() {
  stop();
}

bool SimTarget::start(const std::vector<std::string>& options, ComRange com, bool once) {
  dir_ = make_temp_dir();
  link_ = dir_ + "/port";
  out_ = dir_ + "/received.bin";
  return launch(options, com, once);
}

bool SimTarget::restart(const std::vector<std::string>& options, ComRange com) {
  stop();
  buffered_.clear();
  return launch(options, com, true);
}

bool SimTarget::launch(const std::vector<std::string>& options, ComRange com, bool once) {
  std::vector<std::string> argv = {STOKER_TARGET_BIN, "--link", link_, "--out", out_};
  if (once) argv.emplace_back("--once");
  argv.insert(argv.end(), options.begin(), options.end());
  if (!spawn_and_wait_ready(argv)) return false;
  struct stat st;
  if (lstat(link_.c_str(), &st) != 0) return false;
  return !wine_mode() || take_com_port(com);
}

bool SimTarget::start_on_port(const std::string& port, const std::vector<std::string>& options,
                              bool once) {
  dir_ = make_temp_dir();
  out_ = dir_ + "/received.bin";
  std::vector<std::string> argv = host_program("stoker-target");
  for (const std::string& arg :
       {std::string("--port"), port, std::string("--out"), host_path(out_)})
    argv.push_back(arg);
  if (once) argv.emplace_back("--once");
  argv.insert(argv.end(), options.begin(), options.end());
  return spawn_and_wait_ready(argv) && buffered_.compare(0, 5, "PORT ") == 0;
}

// Starts the simulator; true once it has printed its first line (the port
// is ready then).
bool SimTarget::spawn_and_wait_ready(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe(out) != 0) return false;
  const int errFd = open("/dev/null", O_WRONLY);
  pid_ = spawn(argv, out[1], errFd);
  close(out[1]);
  close(errFd);
  stdout_ = out[0];
  // The port exists once the simulator has printed its PTY line.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (buffered_.find('\n') == std::string::npos) {
    pollfd fd = {stdout_, POLLIN, 0};
    if (ms_left(deadline) == 0 || poll(&fd, 1, ms_left(deadline)) <= 0) return false;
    if (!drain_into(stdout_, buffered_)) return false;
  }
  return true;
}

int link_com_port(const std::string& target, ComRange com, std::string* link) {
  const std::string dosdevices = std::string(std::getenv("WINEPREFIX")) + "/dosdevices/com";
  const int step = com.first <= com.last ? 1 : -1;
  for (int n = com.first;; n += step) {
    *link = dosdevices + std::to_string(n);
    if (symlink(target.c_str(), link->c_str()) == 0) return n;
    if (errno != EEXIST || n == com.last) return 0;
  }
}

// Links the first free comN of the range to the pseudo-terminal.
bool SimTarget::take_com_port(ComRange com) {
  const size_t at = buffered_.find("PTY ");
  if (at == std::string::npos) return false;
  const std::string pty = buffered_.substr(at + 4, buffered_.find('\n', at) - at - 4);
  com_ = link_com_port(pty, com, &comLink_);
  if (com_ == 0) comLink_.clear();
  return com_ != 0;
}

void SimTarget::release_com_port() {
  if (!comLink_.empty()) unlink(comLink_.c_str());
  comLink_.clear();
}

std::string SimTarget::summary(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t at = buffered_.find("SUMMARY");
    if (at != std::string::npos) {
      const size_t end = buffered_.find('\n', at);
      if (end != std::string::npos) return buffered_.substr(at, end - at);
    }
    pollfd fd = {stdout_, POLLIN, 0};
    if (stdout_ < 0 || ms_left(deadline) == 0 || poll(&fd, 1, ms_left(deadline)) <= 0) return "";
    if (!drain_into(stdout_, buffered_)) {
      close(stdout_);
      stdout_ = -1;
    }
  }
}

std::string SimTarget::field(const std::string& summary, const std::string& key) {
  const std::string tag = " " + key + "=";
  const size_t at = summary.find(tag);
  if (at == std::string::npos) return "";
  const size_t begin = at + tag.size();
  return summary.substr(begin, summary.find(' ', begin) - begin);
}

int SimTarget::interrupt(int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGINT);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int raw = 0;
  while (waitpid(pid_, &raw, WNOHANG) == 0) {
    if (ms_left(deadline) == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  while (stdout_ >= 0 && drain_into(stdout_, buffered_)) {
  }
  return decode_status(raw);
}

int SimTarget::stop() {
  int status = -1;
  if (pid_ > 0) {
    int raw = 0;
    // Give a finished simulator a moment to exit by itself.
    for (int i = 0; i < 20 && waitpid(pid_, &raw, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(pid_, &raw, WNOHANG) == 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, &raw, 0);
    }
    status = decode_status(raw);
    pid_ = -1;
  }
  if (stdout_ >= 0) close(stdout_);
  stdout_ = -1;
  release_com_port();
  return status;
}

namespace {

// The full path of a program found on PATH; "" when it is not there.
std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', begin), dirs.size());
    const std::string candidate = dirs.substr(begin, end - begin) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return "";
}

}  // namespace

PortPair::~PortPair() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  for (const std::string& link : comLinks_) unlink(link.c_str());
}

bool PortPair::open() {
  const std::string socat = find_on_path("socat");
  if (socat.empty()) {
    ADD_FAILURE() << "socat is not installed (apt-get install socat)";
    return false;
  }
  const std::string dir = make_temp_dir();
  board_ = dir + "/board";
  host_ = dir + "/host";
  const int devnull = ::open("/dev/null", O_WRONLY);
  pid_ = spawn({socat, "pty,raw,echo=0,link=" + board_, "pty,raw,echo=0,link=" + host_}, devnull,
               devnull);
  close(devnull);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (access(board_.c_str(), F_OK) != 0 || access(host_.c_str(), F_OK) != 0) {
    if (ms_left(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!wine_mode()) return true;
  for (auto [end, com] : {std::pair{&board_, &boardCom_}, std::pair{&host_, &hostCom_}}) {
    std::string link;
    *com = link_com_port(std::filesystem::canonical(*end).string(), kAnyComPort, &link);
    if (*com == 0) return false;
    comLinks_.push_back(link);
  }
  return true;
}

std::string PortPair::board_port() const {
  return wine_mode() ? "COM" + std::to_string(boardCom_) : board_;
}

std::string PortPair::host_port() const {
  return wine_mode() ? std::to_string(hostCom_) : host_;
}
