// How the terminal shows what arrives from the port, and what its log gets:
// the text with a line-end mapping and time stamps at line starts, a hex
// view, or the watch mode's byte after a tab. Pure: the caller reads, then
// writes the screen and the log each in one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What received line ends become.
enum LineMap : int {
  MAP_NONE = 0,     // as they come
  MAP_CR_CRLF = 1,  // CR becomes CR LF
  MAP_LF_CRLF = 2,  // LF becomes CR LF
};
constexpr int kLineMapCount = 3;

// Bytes per line of the hex view.
constexpr int kHexPerLine = 16;

struct Display {
  LineMap map = MAP_NONE;
  bool hex = false;         // the screen shows "XX " per byte
  bool watch = false;       // the screen shows each byte after a tab
  bool timestamps = false;  // a stamp at every line start, screen and log
  bool lineStart = true;    // the text (and the log) is at a line start
  int hexColumn = 0;        // bytes on the current line of the hex view
};

// Appends to *screen what n received bytes look like, and to *log (when
// not null) what the log keeps: the text after the line-end mapping, with
// stamp before every line that starts while time stamps are on. The screen
// shows the same text, or in the hex view each byte as "XX " (kHexPerLine
// to a line, a stamp before each line while time stamps are on), or in the
// watch mode each byte after a tab, unmapped and unstamped.
void display_bytes(Display* display, const uint8_t* data, size_t n, std::string_view stamp,
                   std::string* screen, std::string* log);

// The local time now as a stamp: "[HH:MM:SS.mmm] ".
std::string display_stamp();

// What the mapping does, for the user: "as they come", "CR as CR LF", "LF
// as CR LF".
const char* line_map_text(LineMap map);
