#include "app/kit_gang.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "app/kit_progress.h"
#include "common/console.h"
#include "common/stop.h"

namespace {

using Clock = GangStatus::Clock;

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
constexpr int kMaxExitStatus = 125;
// The result of a board whose port could not be opened, as a single run
// exits with.
constexpr int kOpenFailed = 1;
constexpr const char* kClearToLineEnd = "\x1b[K";

// The display the boards' threads share: their states, and the screen they
// are shown on. Everything in it is guarded by mutex, and every write to
// the screen is made holding it, so lines never run into each other.
struct GangScreen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<GangStatus> status;
  std::vector<std::string> labels;
  size_t width = 0;  // of the longest label
  GangDisplay display = GANG_LINES;
  size_t lineWidth = 0;   // the longest status line; 0: any
  int running = 0;        // boards whose run has not ended
  size_t drawnLines = 0;  // status lines drawn above the cursor
};

// One board's run. Only the board's own thread touches it while it runs.
struct BoardRun {
  GangScreen* screen = nullptr;
  size_t index = 0;
  GangBoard* board = nullptr;
  const GangSetup* setup = nullptr;
  DownloadJob job;
  GangResult result;
  std::string partial;  // the download's detailed output not yet ended by a newline
};

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

const char* state_word(GangState state) {
  switch (state) {
    case GANG_WAITING:
      return "waiting";
    case GANG_OPENING:
      return "opening";
    case GANG_DETECTING:
      return "detecting";
    case GANG_ERASING:
      return "erasing";
    case GANG_WRITING:
      return "writing";
    case GANG_OK:
      return "ok";
    default:
      return "failed";
  }
}

// The line printed when a board's state changes (standard output not a
// terminal).
std::string change_text(const BoardRun& run, const GangStatus& status) {
  const std::string generation = "generation " + std::to_string(status.generation);
  switch (status.state) {
    case GANG_DETECTING:
      return "detecting the boot loader";
    case GANG_ERASING:
      return generation + ", erasing";
    case GANG_WRITING:
      return generation + ", writing " + std::to_string(status.total) + " bytes";
    case GANG_OK:
      return "ok, " + std::to_string(run.result.bytes) + " bytes in " +
             seconds_text(run.result.seconds);
    case GANG_FAILED:
      return "failed with code " + std::to_string(run.result.code) + ": " + run.result.why;
    default:
      return state_word(status.state);
  }
}

// The status lines of every board, drawn over the ones drawn before.
std::string block_text(GangScreen* screen) {
  std::string text;
  if (screen->drawnLines > 0) text += "\x1b[" + std::to_string(screen->drawnLines) + "A";
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < screen->status.size(); ++i) {
    std::string line =
        kit_gang_status_line(screen->labels[i], screen->width, screen->status[i], now);
    if (screen->lineWidth > 0 && line.size() > screen->lineWidth) line.resize(screen->lineWidth);
    text += "\r" + line + kClearToLineEnd + "\n";
  }
  screen->drawnLines = screen->status.size();
  return text;
}

void redraw_locked(GangScreen* screen) {
  const std::string text = block_text(screen);
  console_write_shared(text.data(), text.size());
}

// One line about board index: on a terminal above the status lines, which
// are then drawn again below it; otherwise after the lines before it.
void show_line_locked(GangScreen* screen, size_t index, const std::string& text) {
  const std::string line = padded(screen->labels[index] + ":", screen->width + 1) + "  " + text;
  std::string out;
  if (screen->display == GANG_REDRAW) {
    if (screen->drawnLines > 0) out += "\x1b[" + std::to_string(screen->drawnLines) + "A\r";
    out += line + kClearToLineEnd + "\n";
    screen->drawnLines = 0;
    out += block_text(screen);
  } else {
    out = line + "\n";
  }
  console_write_shared(out.data(), out.size());
}

// Moves the board to state (holding the screen's lock), with the line of
// the change when standard output is not a terminal.
void enter_locked(BoardRun* run, GangState state) {
  GangScreen* screen = run->screen;
  GangStatus& status = screen->status[run->index];
  if (status.state == state) return;
  status.state = state;
  status.generation = run->job.generation;
  if (state == GANG_WRITING && status.total == 0) status.total = run->job.imageSize;
  if (state == GANG_FAILED) status.code = run->result.code;
  if (screen->display == GANG_LINES)
    show_line_locked(screen, run->index, change_text(*run, status));
  screen->changed.notify_all();
}

void enter(BoardRun* run, GangState state) {
  std::lock_guard<std::mutex> lock(run->screen->mutex);
  enter_locked(run, state);
}

// The progress sink of a board's download.
int report(void* context, int total, int done) {
  BoardRun* run = static_cast<BoardRun*>(context);
  {
    std::lock_guard<std::mutex> lock(run->screen->mutex);
    enter_locked(run, GANG_WRITING);
    GangStatus& status = run->screen->status[run->index];
    const Clock::time_point now = Clock::now();
    status.total = total;
    status.done = kit_flash_bytes_done(run->job.generation, total, done);
    // Blocks report the offset of the one just written (those before it
    // are acknowledged), packets the bytes acknowledged.
    status.acked = done;
    if (!status.reported) {
      status.reported = true;
      status.firstReport = now;
      status.firstBytes = status.done;
    }
    status.lastReport = now;
  }
  return stop_requested() ? 1 : 0;
}

void stage(void* context, int stage) {
  BoardRun* run = static_cast<BoardRun*>(context);
  switch (stage) {
    case STAGE_DETECT:
      enter(run, GANG_DETECTING);
      break;
    case STAGE_ERASE:
      enter(run, GANG_ERASING);
      break;
    case STAGE_WRITE:
      enter(run, GANG_WRITING);
      break;
    default:
      break;
  }
}

// A line of the download's detailed output: shown whole, after the label.
void show_detail(BoardRun* run, std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line.empty()) return;
  std::lock_guard<std::mutex> lock(run->screen->mutex);
  show_line_locked(run->screen, run->index, line);
}

// The console sink of a board's thread: what the download prints, line by
// line.
void board_output(void* context, const char* data, size_t size) {
  BoardRun* run = static_cast<BoardRun*>(context);
  run->partial.append(data, size);
  size_t start = 0;
  for (size_t end; (end = run->partial.find('\n', start)) != std::string::npos; start = end + 1)
    show_detail(run, run->partial.substr(start, end - start));
  run->partial.erase(0, start);
}

std::string failure_text(int code) {
  if (code == RESULT_ABORTED && stop_requested())
    return std::string("stopped (") + stop_cause() + ")";
  return result_text(code);
}

// Opens the board's port, downloads, closes the port; the outcome in
// run->result.
void download_to_board(BoardRun* run, SerialPort* port) {
  const std::string& settings = run->setup->settings;
  const std::string& device = run->board->device;
  if (serial_open_device(port, device.c_str(), settings.c_str()) != 0) {
    run->result.code = kOpenFailed;
    run->result.why = "cannot open " + device + " with " + settings + ": " +
                      serial_open_failure_text(port, settings.c_str());
    return;
  }
  run->job.port = port;
  run->job.progressSink = {report, run, stage};
  const int code = download_loaded_image(&run->job, *run->setup->image, nullptr);
  serial_close(port);
  run->result.code = code;
  run->result.generation = run->job.generation;
  if (code == RESULT_OK) {
    run->result.bytes = run->job.imageSize;
    return;
  }
  run->result.why = failure_text(code);
  std::lock_guard<std::mutex> lock(run->screen->mutex);
  run->result.bytes = run->screen->status[run->index].acked;
}

// The end of a board's run: its last state, shown; one board fewer running.
void finish(BoardRun* run) {
  std::lock_guard<std::mutex> lock(run->screen->mutex);
  GangStatus& status = run->screen->status[run->index];
  if (run->result.code == RESULT_OK) status.done = status.total;
  enter_locked(run, run->result.code == RESULT_OK ? GANG_OK : GANG_FAILED);
  --run->screen->running;
  run->screen->changed.notify_all();
}

void finish_trace(BoardRun* run) {
  if (!run->board->trace) return;
  std::string error;
  if (!serial_trace_finish(std::move(run->board->trace), &error)) run->result.traceError = error;
}

// A board's thread.
void run_board(BoardRun* run) {
  const ConsoleSink sink{board_output, run};
  console_thread_sink(&sink);
  const Clock::time_point start = Clock::now();
  enter(run, GANG_OPENING);
  SerialPort port;
  port.backend = run->board->backend;
  port.user = run->board->backendUser;
  port.trace = run->board->trace.get();
  download_to_board(run, &port);
  port.trace = nullptr;
  finish_trace(run);
  run->result.seconds = seconds_between(start, Clock::now());
  if (!run->partial.empty()) show_detail(run, run->partial);
  console_thread_sink(nullptr);
  finish(run);
}

// Waits for every board's run to end, redrawing the status lines meanwhile
// on a terminal.
void wait_for_boards(GangScreen* screen) {
  std::unique_lock<std::mutex> lock(screen->mutex);
  while (screen->running > 0) {
    if (screen->display == GANG_REDRAW) {
      screen->changed.wait_for(lock, kRedrawPeriod);
      redraw_locked(screen);
    } else {
      screen->changed.wait(lock);
    }
  }
  if (screen->display == GANG_REDRAW) redraw_locked(screen);
}

// The file name part of a label: what can't stand in a file name becomes
// '_', without the /dev/ or //./ every device has in front.
std::string trace_stem(const std::string& label) {
  std::string name = label;
  for (const char* prefix : {"/dev/", "//./"}) {
    const std::string p = prefix;
    if (name.compare(0, p.size(), p) == 0) name.erase(0, p.size());
  }
  for (char& c : name) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    if (!plain) c = '_';
  }
  // No hidden file, no name of dots only.
  const size_t first = name.find_first_not_of("._");
  return first == std::string::npos ? "port" : name.substr(first);
}

}  // namespace

std::string kit_gang_status_line(const std::string& label, size_t width, const GangStatus& status,
                                 GangStatus::Clock::time_point now) {
  const std::string generation = status.generation > 0 ? std::to_string(status.generation) : "-";
  const long long percent = status.state == GANG_OK ? 100
                            : status.total > 0      ? status.done * 100 / status.total
                                                    : 0;
  std::string rate;
  if (status.reported) {
    const bool ended = status.state == GANG_OK || status.state == GANG_FAILED;
    const double elapsed = seconds_between(status.firstReport, ended ? status.lastReport : now);
    if (elapsed > 0)
      rate = kit_rate_text(static_cast<double>(status.done - status.firstBytes) / elapsed);
  }
  std::string state = state_word(status.state);
  if (status.state == GANG_FAILED) state += " (" + std::to_string(status.code) + ")";
  char text[256];
  std::snprintf(text, sizeof text, "%s  gen %s  %3lld%%  %10s  %s", padded(label, width).c_str(),
                generation.c_str(), percent, rate.c_str(), state.c_str());
  return text;
}

std::vector<GangResult> kit_gang_run(std::vector<GangBoard>* boards, const GangSetup& setup) {
  const size_t n = boards->size();
  GangScreen screen;
  screen.display = setup.display;
  // A line that filled the last column would leave the cursor there, and
  // the erase after it would take that column's character.
  if (setup.columns > 1) screen.lineWidth = static_cast<size_t>(setup.columns - 1);
  screen.status.resize(n);
  for (const GangBoard& board : *boards) {
    screen.labels.push_back(board.label);
    screen.width = std::max(screen.width, board.label.size());
  }
  std::vector<BoardRun> runs(n);
  for (size_t i = 0; i < n; ++i) {
    runs[i].screen = &screen;
    runs[i].index = i;
    runs[i].board = &(*boards)[i];
    runs[i].setup = &setup;
    runs[i].job = setup.job;
  }
  {
    std::lock_guard<std::mutex> lock(screen.mutex);
    screen.running = static_cast<int>(n);
    if (setup.display == GANG_REDRAW) redraw_locked(&screen);
  }
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (BoardRun& run : runs) {
    try {
      threads.emplace_back(run_board, &run);
    } catch (const std::system_error&) {
      run.result.code = RESULT_NO_MEMORY;
      run.result.why = "no thread could be started for this board";
      finish(&run);
    }
  }
  wait_for_boards(&screen);
  for (std::thread& thread : threads) thread.join();
  std::vector<GangResult> results;
  for (BoardRun& run : runs) results.push_back(std::move(run.result));
  return results;
}

std::string kit_gang_table(const std::vector<GangBoard>& boards,
                           const std::vector<GangResult>& results) {
  std::vector<std::vector<std::string>> rows = {{"port", "serial", "result", "bytes", "time"}};
  int ok = 0;
  for (size_t i = 0; i < boards.size() && i < results.size(); ++i) {
    const GangResult& r = results[i];
    ok += r.code == RESULT_OK ? 1 : 0;
    rows.push_back({boards[i].label, boards[i].serial.empty() ? "-" : boards[i].serial,
                    r.code == RESULT_OK ? "ok" : std::to_string(r.code) + ": " + r.why,
                    std::to_string(r.bytes), seconds_text(r.seconds)});
  }
  size_t widths[5] = {};
  for (const auto& row : rows) {
    for (size_t c = 0; c < 5; ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < 3; ++c) line += padded(row[c], widths[c]) + "  ";
    // The numbers line up on the right.
    line += std::string(widths[3] - row[3].size(), ' ') + row[3] + "  ";
    line += std::string(widths[4] - row[4].size(), ' ') + row[4];
    table += line + "\n";
  }
  const int failed = static_cast<int>(results.size()) - ok;
  table += std::to_string(results.size()) + (results.size() == 1 ? " board: " : " boards: ") +
           std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
  return table;
}

int kit_gang_exit_status(const std::vector<GangResult>& results) {
  const long failed = std::count_if(results.begin(), results.end(),
                                    [](const GangResult& r) { return r.code != RESULT_OK; });
  return static_cast<int>(std::min<long>(failed, kMaxExitStatus));
}

std::vector<std::string> kit_gang_trace_names(const std::vector<std::string>& labels) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const std::string& label : labels) {
    const std::string stem = trace_stem(label);
    std::string name = stem + ".trace";
    for (int n = 2; taken.count(name) != 0; ++n) name = stem + "-" + std::to_string(n) + ".trace";
    taken.insert(name);
    names.push_back(name);
  }
  return names;
}
