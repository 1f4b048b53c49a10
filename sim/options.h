// Command line of the simulated board.
#pragma once

#include <string>

// What the simulated board runs.
enum SimMode { kModeBoot, kModeSink, kModeScript };

// Everything the command line selects. A count of -1 switches its fault off.
struct SimOptions {
  SimMode mode = kModeBoot;
  int gen = 3;
  int subVersion = 3;
  std::string outPath;
  std::string linkPath;
  // A serial port to play the board on instead of a pseudo-terminal.
  std::string portName;
  long baud = 0;  // 0: no pacing
  int eraseMs = 0;
  bool once = false;
  bool log = false;
  std::string tracePath;  // the wire trace of the board's side; empty: none
  // Generations 2 and 3 (silent also applies to generation 1).
  bool silent = false;
  bool earlyAnswer = false;
  bool noSubVersion = false;
  int dFlood = 0;
  bool nakErase = false;
  bool noEraseReply = false;
  int stopAckAfter = -1;
  int noise = 0;
  int vanishAfter = -1;
  // Generation 1.
  int nakFirst = 0;
  bool cancel = false;
  int silentAfter = -1;
  bool corruptAcks = false;
  bool nakAlways = false;
  // Sink mode (idleMs and echo also script mode).
  int idleMs = 1000;  // quiet time that ends a session; 0: never
  bool echo = false;  // send every byte back
  // Sink: a line "<monotonic microseconds> <byte>" per byte received.
  std::string timesPath;
  // Script mode.
  std::string has;         // names request 1 answers with 0x06, comma-separated
  std::string refuseLine;  // lines containing this get 0x05
  std::string silentLine;  // lines containing this get no answer
};

// The rate of a --port without --baud.
constexpr long kDefaultPortRate = 115200;

// The rate --port opens its device at: --baud, else kDefaultPortRate. The
// pacing stays as --baud alone sets it.
long port_rate(const SimOptions& opts);

constexpr int kOptionsOk = 0;
constexpr int kOptionsHelp = 1;
constexpr int kOptionsBad = 2;
constexpr int kOptionsVersion = 3;

// Parses argv into *out. Returns kOptionsOk, kOptionsHelp (--help given),
// kOptionsVersion (--version given) or
// kOptionsBad with a one-line reason in *error. Prints nothing.
int parse_options(int argc, char** argv, SimOptions* out, std::string* error);

// The usage text, one option per line.
const char* usage_text();
