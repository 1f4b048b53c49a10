// Reading a script: lines, definition names, directive words and options.
#include <cstring>
#include <string_view>

#include "toolkit/script/script.h"

namespace {

bool line_end(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

bool starts_with(const char* text, std::string_view prefix) {
  return std::strncmp(text, prefix.data(), prefix.size()) == 0;
}

// Copies text[0, length) into out (outBytes bytes), cut to fit, with a NUL.
void copy_cut(const char* text, size_t length, char* out, size_t outBytes) {
  if (outBytes == 0) return;
  if (length > outBytes - 1) length = outBytes - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// "%s" of formatted input: skips white space, then takes the word.
const char* next_word(const char* p, char* out, size_t outBytes) {
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (space(*p)) ++p;
  const char* begin = p;
  while (*p != '\0' && !space(*p)) ++p;
  copy_cut(begin, static_cast<size_t>(p - begin), out, outBytes);
  return p;
}

}  // namespace

const char* split_line(const char* source, int limit, int* advance, char* line) {
  const char* p = source;
  int copied = 0;
  while (!line_end(*p) && copied <= limit) {
    // Control bytes, and every byte from 0x80 up (negative as a signed
    // char), reach the target as spaces: a tab too.
    line[copied++] = static_cast<signed char>(*p) < 0x20 ? ' ' : *p;
    ++p;
  }
  line[copied] = '\0';
  // A line cut at the limit keeps its next character for the next line;
  // otherwise the line end is passed, and a CR or LF right after it.
  if (line_end(*p)) {
    ++p;
    if (*p == '\r' || *p == '\n') ++p;
  }
  *advance = static_cast<int>(p - source);
  return p;
}

bool definition_name(const char* line, char* name, size_t nameBytes) {
  if (nameBytes > 0) name[0] = '\0';
  if (const char* constant = std::strstr(line, "constant")) {
    const char* start = constant + std::strlen("constant");
    if (const char* flash = std::strstr(start, "flash")) start = flash + std::strlen("flash");
    const char* space = std::strchr(start, ' ');
    if (space == nullptr) return false;  // nothing follows to be named
    const char* begin = space + 1;
    const size_t length = std::strcspn(begin, " {\r\n");
    copy_cut(begin, length, name, nameBytes);
    return true;
  }
  if (const char* function = std::strstr(line, "function")) {
    // The word and the one character after it (a line may end right there).
    const char* begin = function + std::strlen("function");
    if (*begin != '\0') ++begin;
    const char* end = begin;
    while (static_cast<signed char>(*end) > 0x1F && *end != '(') ++end;
    copy_cut(begin, static_cast<size_t>(end - begin), name, nameBytes);
    return true;
  }
  return false;
}

void strip_quotes(char* text) {
  char* out = text;
  for (const char* p = text; *p != '\0'; ++p)
    if (*p != '"') *out++ = *p;
  *out = '\0';
}

void script_words(const char* line, ScriptWords* out) {
  const char* p = next_word(line, out->word, sizeof out->word);
  p = next_word(p, out->first, sizeof out->first);
  next_word(p, out->second, sizeof out->second);
}

ScriptDirective script_directive(const char* word) {
  struct Entry {
    std::string_view prefix;
    ScriptDirective directive;
  };
  static constexpr Entry kDirectives[] = {
      {"#option", DIRECTIVE_OPTION},   {"#include", DIRECTIVE_INCLUDE},
      {"#comment", DIRECTIVE_COMMENT}, {"#saveto", DIRECTIVE_SAVETO},
      {"#openlog", DIRECTIVE_OPENLOG}, {"#closelog", DIRECTIVE_CLOSELOG},
      {"#send", DIRECTIVE_SEND},
  };
  for (const Entry& entry : kDirectives)
    if (starts_with(word, entry.prefix)) return entry.directive;
  return DIRECTIVE_NONE;
}

ScriptOptionWord script_option_word(const char* keyword) {
  if (starts_with(keyword, "echo")) return OPTION_ECHO;
  if (starts_with(keyword, "first")) return OPTION_FIRST;
  if (starts_with(keyword, "only")) return OPTION_ONLY;
  if (starts_with(keyword, "noload")) return OPTION_NOLOAD;
  return OPTION_OTHER;
}

bool script_option_off(const char* value) {
  return starts_with(value, "off");
}
