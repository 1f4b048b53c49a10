// Fuzz target for the script reader: the input is a script text, split into
// lines as the script sender does, each line then read as a directive (its
// words, the directive, the option keyword) and as a definition (its name).
// Byte 0 picks the line limit (small limits reach the cut often) and the
// name buffer's size; each name buffer is exactly that large, on the heap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "toolkit/script/script.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool has_control(const char* text) {
  for (; *text != '\0'; ++text)
    if (static_cast<signed char>(*text) < 0x20) return true;
  return false;
}

void read_as_directive(const std::string& line) {
  ScriptWords words;
  script_words(line.c_str(), &words);
  for (const char* word : {words.word, words.first, words.second}) {
    check(std::strlen(word) <= line.size());
    check(std::strpbrk(word, " \t\r\n\v\f") == nullptr);
    if (word[0] != '\0') check(line.find(word) != std::string::npos);
  }
  const ScriptDirective directive = script_directive(words.word);
  check(directive == DIRECTIVE_NONE || words.word[0] == '#');
  if (directive == DIRECTIVE_OPTION) script_option_word(words.first);
  std::vector<char> quoted(words.first, words.first + std::strlen(words.first) + 1);
  size_t quotes = 0;
  for (char c : quoted) quotes += c == '"';
  strip_quotes(quoted.data());
  check(std::strchr(quoted.data(), '"') == nullptr);
  check(std::strlen(quoted.data()) + quotes == std::strlen(words.first));
}

void read_as_definition(const std::string& line, size_t nameBytes) {
  std::vector<char> name(nameBytes, '#');
  const bool found = definition_name(line.c_str(), name.empty() ? nullptr : name.data(), nameBytes);
  if (nameBytes > 0) check(std::strlen(name.data()) < nameBytes);
  if (found && nameBytes > 0 && name[0] != '\0') check(line.find(name.data()) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int limit = data[0] < 128 ? kScriptLineLimit : data[0] - 128;
  const size_t nameBytes = data[0] % 64;
  const int length = static_cast<int>(size - 1);
  std::vector<char> source(data + 1, data + size);
  source.push_back('\0');
  source.push_back('\0');
  std::vector<char> line(static_cast<size_t>(limit) + 2);
  int done = 0;
  const std::vector<char> original = source;
  while (done < length) {
    int advance = 0;
    const char* next = split_line(source.data() + done, limit, &advance, line.data());
    check(next == source.data() + done + advance);
    check(advance >= 1 && advance <= limit + 3);
    const size_t copied = std::strlen(line.data());
    check(copied <= static_cast<size_t>(limit) + 1);
    check(!has_control(line.data()));
    // The line is the source with control bytes as spaces; the source is
    // left as it was.
    for (size_t i = 0; i < copied; ++i) {
      const char c = source[static_cast<size_t>(done) + i];
      check(line[i] == (static_cast<signed char>(c) < 0x20 ? ' ' : c));
    }
    // Only a line cut at the limit passes over no line end.
    check(static_cast<size_t>(advance) > copied || copied == static_cast<size_t>(limit) + 1);
    done += advance;
    const std::string withCr = std::string(line.data()) + "\r";
    read_as_directive(withCr);
    read_as_definition(withCr, nameBytes);
  }
  check(done == length || done == length + 1);
  check(source == original);
  return 0;
}
