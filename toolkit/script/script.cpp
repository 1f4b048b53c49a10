// The script sender: loading the script, the line loop, the directives and
// the target requests.
#include "toolkit/script/script.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/job.h"
#include "common/stop.h"
#include "serial/reply.h"
#include "serial/serial.h"
#include "toolkit/script/http.h"
#include "toolkit/text/text.h"

namespace {

constexpr const char* kAgent = "TL_COMM";
// The line, its CR and NUL, with room to spare.
constexpr size_t kLineBytes = 264;
static_assert(kLineBytes >= kScriptLineChars + 2, "a line, its CR and NUL");
// Before the first line, after a send string: the quiet spell (reads, as
// serial_get_within counts them) that ends the dropping of replies to what
// went before, and the most bytes dropped, so a target that never falls
// quiet can't hold the script.
constexpr int kSettleTries = 10;
constexpr int kMaxSettleBytes = 4096;

// One nesting level of tload: its script text and where the loop stands.
struct Level {
  const DownloadJob* job = nullptr;
  ScriptReporter reporter = nullptr;
  ScriptFailure* why = nullptr;
  int depth = 1;
  std::string text;  // the script's bytes, then a NUL (and the string's own)
  int length = 0;
  int done = 0;
  int lineNumber = 0;
  bool firstPending = true;
  char line[kLineBytes] = "";
};

// done runs one past the length after a last line without a line end (its
// NUL) and once a "first" check has ended the script: the reporter is never
// told of more than the whole.
int report(const Level& level, const char* text) {
  if (level.reporter == nullptr) return 0;
  return level.reporter(level.length, std::min(level.done, level.length), text);
}

// Records why this level failed; returns the code. Notes stay.
int fail(const Level& level, int code, std::string reason = {}, bool atLine = false) {
  if (level.why != nullptr) {
    ScriptFailure& why = *level.why;
    std::vector<std::string> notes = std::move(why.notes);
    why = ScriptFailure{};
    why.notes = std::move(notes);
    why.source = level.job->path != nullptr ? level.job->path : "";
    why.reason = std::move(reason);
    if (atLine) {
      why.lineNumber = level.lineNumber;
      why.line = level.line;
      if (!why.line.empty() && why.line.back() == '\r') why.line.pop_back();
    }
  }
  return code;
}

// Makes room for length bytes and the two NULs behind them. False when the
// memory can't be had.
bool make_text(Level* level, size_t length) {
  try {
    level->text.assign(length + 1, '\0');
  } catch (const std::exception&) {
    return false;
  }
  level->length = static_cast<int>(length);
  return true;
}

int load_url(Level* level) {
  const char* url = level->job->path;
  std::string document;
  std::string reason;
  const int timeoutS =
      level->job->fetchTimeoutS > 0 ? level->job->fetchTimeoutS : kScriptFetchTimeoutS;
  if (http_get(kAgent, url, kScriptMaxDocument, timeoutS, &document, &reason) != 0)
    return fail(*level, SCRIPT_URL_FAILED, reason);
  // The document itself becomes the text, with its NUL.
  const size_t length = document.size();
  try {
    document.push_back('\0');
  } catch (const std::exception&) {
    return fail(*level, SCRIPT_NO_MEMORY, std::to_string(length) + " bytes");
  }
  level->text = std::move(document);
  level->length = static_cast<int>(length);
  return SCRIPT_OK;
}

int load_file(Level* level) {
  const char* path = level->job->path;
  // Only a regular file is a script: a FIFO would block the open, a
  // directory would read as nothing.
  std::string why;
  FilePtr file = open_regular_file(path, &why);
  if (!file) return fail(*level, SCRIPT_FILE_UNREADABLE, why);
  int64_t length = 0;
  if (!stream_length(file.get(), &length))
    return fail(*level, SCRIPT_FILE_UNREADABLE, std::strerror(errno));
  // The counts the reporter gets are ints.
  if (length > INT_MAX - 2)
    return fail(*level, SCRIPT_NO_MEMORY, "larger than " + std::to_string(INT_MAX - 2) + " bytes");
  level->length = static_cast<int>(length);
  if (report(*level, "") != 0) return fail(*level, SCRIPT_STOPPED, "stopped by the reporter");
  if (!make_text(level, static_cast<size_t>(length)))
    return fail(*level, SCRIPT_NO_MEMORY, std::to_string(length) + " bytes");
  // Never more than the length the file had: the text is the file as it
  // was when opened.
  if (length > 0 && std::fread(&level->text[0], 1, static_cast<size_t>(length), file.get()) !=
                        static_cast<size_t>(length))
    return fail(*level, SCRIPT_FILE_UNREADABLE, "read error");
  return SCRIPT_OK;
}

// Reads the next line into level->line and counts it.
void read_line(Level* level) {
  int advance = 0;
  split_line(level->text.data() + level->done, kScriptLineLimit, &advance, level->line);
  level->done += advance;
  ++level->lineNumber;
}

// Drops lines up to and including the next one containing any of the
// texts, or to the end of the script.
void skip_through(Level* level, const char* text, const char* other = nullptr) {
  while (level->done < level->length) {
    read_line(level);
    if (std::strstr(level->line, text) != nullptr) return;
    if (other != nullptr && std::strstr(level->line, other) != nullptr) return;
  }
}

void replace_line_by_cr(Level* level) {
  std::strcpy(level->line, "\r");
}

void set_option(unsigned bit, const char* value) {
  if (script_option_off(value))
    scriptOptions &= ~bit;
  else
    scriptOptions |= bit;
}

void run_option(const Level& level, const ScriptWords& words) {
  switch (script_option_word(words.first)) {
    case OPTION_ECHO:
      set_option(SCRIPT_ECHO, words.second);
      break;
    case OPTION_FIRST:
      set_option(SCRIPT_FIRST, words.second);
      break;
    case OPTION_ONLY:
      set_option(SCRIPT_ONLY, words.second);
      break;
    case OPTION_NOLOAD:
      target_request(level.job, 6, script_option_off(words.second) ? "on" : "off");
      break;
    case OPTION_OTHER:
      break;
  }
}

bool rooted(const char* path) {
  return path[0] == '/' || path[0] == '\\' ||
         (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':');
}

// An included script's path: as written when it exists from the working
// directory (or is a URL or an absolute path); otherwise, when the including
// script is a file, the same relative path beside it if that exists.
std::string include_path(const char* name, const char* including) {
  std::error_code error;
  if (is_script_url(name) || rooted(name) || is_script_url(including) ||
      std::filesystem::exists(name, error))
    return name;
  const char* slash = std::strrchr(including, '/');
  const char* backslash = std::strrchr(including, '\\');
  if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
  if (slash == nullptr) return name;
  std::string beside(including, static_cast<size_t>(slash - including + 1));
  beside += name;
  return std::filesystem::exists(beside, error) ? beside : std::string(name);
}

int run_level(const DownloadJob* job, ScriptReporter reporter, ScriptFailure* why, int depth);

// Sends the job's send string (when there is one) with its escapes; the
// number of CRs that went out with it, each a line the target may answer,
// or -1 when there is no send string.
int send_leading_text(const DownloadJob* job) {
  if (job->send == nullptr || job->send[0] == '\0') return -1;
  // No escape echoes more than twice its own length.
  std::vector<char> echo(2 * std::strlen(job->send) + 16);
  send_text(job->port, job->send, echo.data(), echo.size());
  return static_cast<int>(std::count(echo.begin(), echo.end(), '\r'));
}

// Lets the replies to what the target was sent before the script arrive,
// and drops them: one wait for each line it was sent (until one stays
// silent). After a send string, whose lines may also end otherwise or be
// answered more than once, also whatever comes before a short quiet spell,
// at most kMaxSettleBytes bytes.
void settle_replies(const DownloadJob* job, int lines, bool afterSendString) {
  for (int i = 0; i < lines; ++i)
    if (wait_ack(job) == 2) break;
  if (!afterSendString) return;
  uint8_t byte = 0;
  for (int n = 0; n < kMaxSettleBytes && serial_get_within(job->port, kSettleTries, &byte); ++n) {
  }
}

int run_include(Level* level, ScriptWords* words) {
  strip_quotes(words->first);
  if (level->depth >= kScriptMaxDepth) {
    return fail(*level, SCRIPT_TOO_DEEP,
                "\"#include\" nested more than " + std::to_string(kScriptMaxDepth) + " deep", true);
  }
  // No name: nothing to open, and no path to name but the line's.
  if (words->first[0] == '\0')
    return fail(*level, SCRIPT_FILE_UNREADABLE, "\"#include\" names no script", true);
  const std::string path = include_path(words->first, level->job->path);
  DownloadJob inner = *level->job;
  inner.path = path.c_str();
  inner.send = nullptr;
  const int result = run_level(&inner, level->reporter, level->why, level->depth + 1);
  if (result != SCRIPT_OK) return result;
  const std::string counter = std::to_string(level->lineNumber);
  if (target_request(level->job, 5, counter.c_str()) != 6)
    return fail(*level, SCRIPT_INCLUDE_NOT_ACKED, "\"#5 " + counter + "\" not acknowledged", true);
  return SCRIPT_OK;
}

// True when the definition on the line also ends on it: a constant without
// braces, braces that open and close on the line, or a function whose
// "endf" follows its name on the line.
bool definition_ends_on_its_line(const char* line) {
  const char* open = std::strchr(line, '{');
  if (open != nullptr && std::strchr(open, '}') != nullptr) return true;
  if (std::strstr(line, "constant") != nullptr) return open == nullptr;
  const char* function = std::strstr(line, "function");
  if (function == nullptr) return false;
  const char* after = function + std::strlen("function");
  if (*after != '\0') ++after;
  while (static_cast<signed char>(*after) > 0x1F && *after != '(') ++after;
  return std::strstr(after, "endf") != nullptr;
}

// The "first" and "only" checks of a line that is neither "#option" nor
// "#include".
void check_definitions(Level* level) {
  char name[kLineBytes];
  if ((scriptOptions & SCRIPT_FIRST) != 0 && level->firstPending &&
      definition_name(level->line, name, sizeof name)) {
    if (target_request(level->job, 1, name) == 6) {
      // The target has the script's first definition: nothing more to send.
      replace_line_by_cr(level);
      level->done = level->length + 1;
    } else {
      level->firstPending = false;
    }
  }
  if ((scriptOptions & SCRIPT_ONLY) != 0 && definition_name(level->line, name, sizeof name) &&
      target_request(level->job, 1, name) == 6) {
    // The target has it: leave the definition out.
    if (!definition_ends_on_its_line(level->line)) skip_through(level, "endf", "}");
    replace_line_by_cr(level);
  }
}

void note(const Level& level, std::string text) {
  if (level.why != nullptr) level.why->notes.push_back(std::move(text));
}

void run_saveto(const Level& level, ScriptWords* words) {
  if (std::strncmp(words->first, "host", 4) != 0) return;
  strip_quotes(words->second);
  std::string error = "\"#saveto host\" names no file";
  if (words->second[0] == '\0' ||
      !write_file_replacing(words->second, level.text.data(), static_cast<size_t>(level.length),
                            &error)) {
    report(level, "cant open file ");
    report(level, words->second);
    note(level, "the copy of the script was not saved: " + error);
  }
}

// Carries out a directive other than "#option" and "#include". False for an
// ordinary line.
bool run_directive(Level* level, ScriptDirective directive, ScriptWords* words) {
  switch (directive) {
    case DIRECTIVE_COMMENT:
      skip_through(level, "#comment");
      return true;
    case DIRECTIVE_SAVETO:
      run_saveto(*level, words);
      return true;
    case DIRECTIVE_OPENLOG:
      strip_quotes(words->first);
      if (target_request(level->job, 3, words->first) != 6)
        report(*level, "**unable to open requested file at logto**");
      return true;
    case DIRECTIVE_CLOSELOG:
      target_request(level->job, 4, " ");
      return true;
    case DIRECTIVE_SEND:
      if (target_request(level->job, 2, words->first) != 6) {
        report(*level, "**Error at send command**");
        report(*level, words->first);
      }
      return true;
    default:
      return false;
  }
}

// Writes an ordinary line with its CR and waits for the reply.
int send_line(Level* level) {
  serial_write(level->job->port, level->line, static_cast<int>(std::strlen(level->line)));
  const int reply = wait_ack(level->job);
  if (stop_requested()) return fail(*level, SCRIPT_STOPPED, "stopped", true);
  if (reply == 5) return fail(*level, SCRIPT_REFUSED, {}, true);
  if (reply == 2) return fail(*level, SCRIPT_NO_ANSWER, {}, true);
  const bool echo = (scriptOptions & SCRIPT_ECHO) != 0;
  if (report(*level, echo ? level->line : "") != 0)
    return fail(*level, SCRIPT_STOPPED, "stopped by the reporter", true);
  return SCRIPT_OK;
}

int run_lines(Level* level) {
  while (level->done < level->length) {
    if (stop_requested()) return fail(*level, SCRIPT_STOPPED, "stopped");
    ScriptWords words;
    read_line(level);
    std::strcat(level->line, "\r");
    if (level->line[0] == '#') script_words(level->line, &words);
    const ScriptDirective directive = script_directive(words.word);
    if (directive == DIRECTIVE_OPTION) {
      run_option(*level, words);
      continue;
    }
    if (directive == DIRECTIVE_INCLUDE) {
      const int result = run_include(level, &words);
      if (result != SCRIPT_OK) return result;
      continue;
    }
    check_definitions(level);
    if (run_directive(level, directive, &words)) continue;
    const int result = send_line(level);
    if (result != SCRIPT_OK) return result;
  }
  return SCRIPT_OK;
}

int run_level(const DownloadJob* job, ScriptReporter reporter, ScriptFailure* why, int depth) {
  Level level;
  level.job = job;
  level.reporter = reporter;
  level.why = why;
  level.depth = depth;
  if (!serial_is_open(job->port)) return fail(level, SCRIPT_PORT_CLOSED, "the port is not open");
  if (job->path == nullptr) return fail(level, SCRIPT_FILE_UNREADABLE, "no script given");
  const int loaded = is_script_url(job->path) ? load_url(&level) : load_file(&level);
  if (loaded != SCRIPT_OK) return loaded;
  const int sentLines = send_leading_text(job);
  // Whatever the target answers to the first CR, the script starts.
  serial_write(job->port, "\r", 1);
  settle_replies(job, std::max(sentLines, 0) + 1, sentLines >= 0);
  return run_lines(&level);
}

}  // namespace

int tload(const DownloadJob* job, ScriptReporter reporter, ScriptFailure* why) {
  if (why != nullptr) *why = ScriptFailure{};
  if (job == nullptr) return SCRIPT_PORT_CLOSED;
  return run_level(job, reporter, why, 1);
}

int wait_ack(const DownloadJob* job) {
  for (;;) {
    uint8_t byte = 0;
    if (!get_reply(job->port, &byte)) return 2;
    if (byte == REFUSE) return 5;
    if (byte == ACK) return 6;
  }
}

int target_request(const DownloadJob* job, int code, const char* argument) {
  char request[kRequestBytes];
  const int n = std::snprintf(request, sizeof request, "#%d %s\r", code, argument);
  if (n < 0 || static_cast<size_t>(n) >= sizeof request) return 5;
  serial_write(job->port, request, n);
  return wait_ack(job);
}

int script_put(const DownloadJob* job, uint8_t byte) {
  return serial_put(job->port, byte);
}

bool is_script_url(const char* path) {
  auto starts = [path](const char* scheme) {
    for (size_t i = 0; scheme[i] != '\0'; ++i)
      if (std::tolower(static_cast<unsigned char>(path[i])) != scheme[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

std::string fetch_timeout_text(int timeoutS) {
  return "no whole document within " + std::to_string(timeoutS) + " s (--fetch-timeout)";
}
