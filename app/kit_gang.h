// stoker-kit flash on several boards at once: one thread per board, each
// with its own port, job, trace and status; the image loaded once and only
// read by all of them; one display that the threads share, its writes made
// one at a time; and a table of the results.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "boot/download.h"
#include "serial/serial.h"
#include "serial/trace.h"

// One board of a gang run.
struct GangBoard {
  std::string label;     // the port as the display and the table name it
  std::string device;    // the device path that opens it
  std::string serial;    // its USB serial number; "" when not known
  SerialTracePtr trace;  // its wire trace, finished when its run ends; null: none
  // Test seam: the port's backend and its private state (nullptr: the
  // platform's backend).
  const SerialBackend* backend = nullptr;
  void* backendUser = nullptr;
};

// How a board's run ended.
struct GangResult {
  int code = RESULT_OK;    // the download's result; 1: the port could not be opened
  std::string why;         // what a failure means, in a few words
  long long bytes = 0;     // image bytes the board acknowledged
  double seconds = 0;      // from the open to the close
  int generation = 0;      // the loader's, once it answered
  std::string traceError;  // why the trace file is incomplete; "" when it is not
};

enum GangDisplay {
  GANG_LINES,   // a line per board at each change of its state
  GANG_REDRAW,  // a status line per board, redrawn in place
};

// What every board's run shares; only read while they run.
struct GangSetup {
  DownloadJob job;       // path, flashStart, flashSize, eraseDelay, eraseAll, verbose
  std::string settings;  // "BAUD,8,N,1"
  const LoadedImage* image = nullptr;
  GangDisplay display = GANG_LINES;
  // GANG_REDRAW: the terminal's width (0 when unknown). A status line is cut
  // to fit, since one that wrapped would not be drawn over.
  int columns = 0;
};

// Downloads the image into every board at once, one thread each, and waits
// for all of them. A board that fails never stops or slows the others; a
// stop request (Ctrl-C) ends every board's run with 4. With setup.job's
// verbose set, each line of the download's detailed output is shown once,
// whole, after its board's label. The results come in the boards' order.
std::vector<GangResult> kit_gang_run(std::vector<GangBoard>* boards, const GangSetup& setup);

// The final table: port, USB serial number, result (ok, or the code and its
// explanation), bytes, time; then how many boards were ok and how many
// failed.
std::string kit_gang_table(const std::vector<GangBoard>& boards,
                           const std::vector<GangResult>& results);

// The exit status of a gang run: the number of boards that failed, at most
// 125.
int kit_gang_exit_status(const std::vector<GangResult>& results);

// The trace file name of each label (a port as the table names it): the
// label with what can't stand in a file name replaced, ".trace" appended,
// each name different from the others.
std::vector<std::string> kit_gang_trace_names(const std::vector<std::string>& labels);

// Where a board's run is.
enum GangState {
  GANG_WAITING,
  GANG_OPENING,
  GANG_DETECTING,
  GANG_ERASING,
  GANG_WRITING,
  GANG_OK,
  GANG_FAILED,
};

// A board's state as the display shows it.
struct GangStatus {
  using Clock = std::chrono::steady_clock;
  GangState state = GANG_WAITING;
  int generation = 0;
  int code = 0;           // the result, once failed
  long long total = 0;    // the image's bytes
  long long done = 0;     // bytes written
  long long acked = 0;    // bytes the board acknowledged
  bool reported = false;  // the rate counts from the first report
  Clock::time_point firstReport;
  long long firstBytes = 0;
  Clock::time_point lastReport;
};

// The status line of a board on a terminal: the label padded to width, the
// generation, the percentage, the rate, the state.
std::string kit_gang_status_line(const std::string& label, size_t width, const GangStatus& status,
                                 GangStatus::Clock::time_point now);
