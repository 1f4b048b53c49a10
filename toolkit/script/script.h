// The script sender: a text script fed line by line to a target that runs an
// interpreter and acknowledges every line (0x06) or refuses it (0x05), with
// directives carried out on the host ("#option", "#include", "#comment",
// "#saveto", "#openlog", "#closelog", "#send") and numbered target requests
// ("#<code> <argument>\r").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/common.h"

struct DownloadJob;

// Result codes of tload.
enum ScriptResult : int {
  SCRIPT_OK = 0,
  SCRIPT_FILE_UNREADABLE = 1,    // the script file cannot be opened or read
  SCRIPT_NO_ANSWER = 2,          // a line got neither 0x06 nor 0x05
  SCRIPT_REFUSED = 3,            // the target refused a line (0x05)
  SCRIPT_STOPPED = 4,            // the reporter, or a stop request, stopped it
  SCRIPT_PORT_CLOSED = 5,        // the job's port is not open
  SCRIPT_URL_FAILED = 6,         // the URL cannot be fetched (or is too large)
  SCRIPT_NO_MEMORY = 7,          // no memory for the script text
  SCRIPT_INCLUDE_NOT_ACKED = 8,  // the end of an included script ("#5 n") not acknowledged
  SCRIPT_TOO_DEEP = 9,           // "#include" nested more than kScriptMaxDepth deep
};

// Lines are cut after this many characters plus one (257 characters); the
// rest of a longer line is sent as the next line.
constexpr int kScriptLineLimit = 256;
constexpr size_t kScriptLineChars = kScriptLineLimit + 1;
// A request with its CR and NUL fits in this many bytes, so an argument has
// at most kRequestBytes - 5 (255) characters.
constexpr size_t kRequestBytes = 260;
// Scripts nest this deep at most: the script given and 15 levels of
// "#include" below it. One more "#include" ends the script with 9.
constexpr int kScriptMaxDepth = 16;
// Largest script document fetched from a URL (held whole in memory).
constexpr size_t kScriptMaxDocument = 4u << 20;
// The whole fetch of a script by URL ends after this many seconds unless the
// job's fetchTimeoutS says otherwise.
constexpr int kScriptFetchTimeoutS = 60;

// What went wrong in a failed tload, for the user: the script (path or URL)
// and line where it happened, the line's text, and the reason.
// Besides, what went wrong without ending the script (notes).
struct ScriptFailure {
  std::string source;  // the script that failed (an included one, maybe)
  int lineNumber = 0;  // 0 when no particular line
  std::string line;    // that line's text, without its CR
  std::string reason;  // why a script could not be loaded, and the like
  // One line each, in order: a "#saveto" copy that could not be written.
  std::vector<std::string> notes;
};

// Sends the script job->path (a file, or an "http://" or "https://" URL,
// fetched within job->fetchTimeoutS seconds, kScriptFetchTimeoutS when 0) on
// job->port: job->send first (if not empty) through send_text, then a CR.
// The replies to those (one per CR sent and, after a send string, whatever
// else arrives in a short quiet spell) are let arrive and dropped, so that
// each reply is credited to the script line it answers. Then the script's lines, each
// followed by CR and acknowledged. The reporter gets (total bytes, bytes
// done, text): once before a file's first line with "", after each
// acknowledged line with the line (echo option) or "", and with messages of
// refused requests; done never passes total. A nonzero return of the first
// call and of the per-line calls stops the script (4); so does a stop
// request (common/stop.h). Options set by "#option" stay in scriptOptions.
// Returns a ScriptResult; *why (may be null) explains a nonzero one and
// holds the notes of a run that went on.
int tload(const DownloadJob* job, ScriptReporter reporter, ScriptFailure* why = nullptr);

// Sends the request "#<code> <argument>\r" in one write and returns the
// reply of wait_ack: 6, 5 or 2. A request that would not fit kRequestBytes
// with its CR and NUL (for codes 1 to 9: an argument of more than 255
// characters) is not sent and counts as refused (5).
int target_request(const DownloadJob* job, int code, const char* argument);

// Waits for 0x06 (returns 6) or 0x05 (returns 5), discarding every other
// byte; 2 when the line stays silent through a whole get_reply.
int wait_ack(const DownloadJob* job);

// Sends one byte on the job's port (serial_put). 0 or the OS error code.
int script_put(const DownloadJob* job, uint8_t byte);

// Copies the next line of source into line (which holds limit + 2 bytes):
// up to a CR, LF or NUL, at most limit + 1 characters. Control bytes and
// bytes from 0x80 up become spaces in the copy; the source stays as it is.
// The CR, LF or NUL that ends the line is passed over, and a CR or LF after
// it too (CR LF and LF CR end one line; so do CR CR and LF LF). A line cut
// at the limit passes over nothing more: its next character starts the next
// line. Stores the bytes passed in *advance and returns the position after
// them. The source must end with two NULs.
const char* split_line(const char* source, int limit, int* advance, char* line);

// The name a line defines: after "constant" (or after a "flash" following
// it) and the next space, up to a space, "{" or the line end; or after
// "function" and one more character, up to "(" or a control byte. False
// when the line defines nothing. name holds nameBytes bytes (the name is
// cut to fit).
bool definition_name(const char* line, char* name, size_t nameBytes);

// Removes every double quote from text, in place.
void strip_quotes(char* text);

// The up to three words of a directive line, as "%s %s %s" reads them.
// Each buffer holds a whole line, so no word is ever cut.
struct ScriptWords {
  char word[kScriptLineChars + 2] = "";
  char first[kScriptLineChars + 2] = "";
  char second[kScriptLineChars + 2] = "";
};
void script_words(const char* line, ScriptWords* out);

// The directive a line's first word selects (matched on its first
// characters: "#options" is "#option"); DIRECTIVE_NONE for an ordinary line.
enum ScriptDirective {
  DIRECTIVE_NONE,
  DIRECTIVE_OPTION,
  DIRECTIVE_INCLUDE,
  DIRECTIVE_COMMENT,
  DIRECTIVE_SAVETO,
  DIRECTIVE_OPENLOG,
  DIRECTIVE_CLOSELOG,
  DIRECTIVE_SEND,
};
ScriptDirective script_directive(const char* word);

// The keyword of an "#option" line, matched on its first characters.
enum ScriptOptionWord { OPTION_OTHER, OPTION_ECHO, OPTION_FIRST, OPTION_ONLY, OPTION_NOLOAD };
ScriptOptionWord script_option_word(const char* keyword);
// True when an option's value switches it off (begins with "off").
bool script_option_off(const char* value);

// The terminal's reporter: prints "\n<percent> " (done * 100 / total; 100
// for an empty script, total 0) and then the text and a newline when the
// text is not empty. Returns 0.
int report_percent(int total, int done, const char* text);
