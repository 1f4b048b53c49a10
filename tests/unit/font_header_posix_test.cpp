// Every C header that font_to_header writes compiles: with every byte value
// as a glyph label (the comment markers among them), and the example fonts'
// headers are what font_to_header makes of their .bff files today.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/test_font.h"
#include "toolkit/font/font.h"

namespace fs = std::filesystem;

namespace {

// A checkerboard in the third bytes; widths 2 to 14.
std::vector<uint8_t> font_file(uint32_t w, uint32_t h, uint32_t cw, uint32_t ch, uint8_t first) {
  TestFont font(w, h, cw, ch);
  font.firstChar = first;
  for (int c = 0; c < 256; ++c) font.widths[c] = static_cast<uint8_t>(c % 13 + 2);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = (y % 2); x < w; x += 2) font.set(x, y, 2, 0x80);
  return font.bytes();
}

std::vector<uint8_t> read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Exit status of a shell command line.
int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FontHeaderCompiles : public testing::Test {
 protected:
  void SetUp() override {
    if (run("command -v gcc >/dev/null && command -v g++ >/dev/null") != 0)
      GTEST_SKIP() << "gcc and g++ are needed to compile the headers";
    dir_ = fs::temp_directory_path() /
           ("sf_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes name.bff, runs font_to_header, and returns the header's path.
  fs::path header_of(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir_ / (name + ".bff"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    FontReport report;
    EXPECT_EQ(font_to_header((dir_ / name).string().c_str(), &report), FONT_OK) << report.detail;
    return report.output;
  }

  // Compiles the header with a use of its array; "c" or "c++".
  int compile(const fs::path& header, const std::string& array, const std::string& language,
              const std::string& flags) {
    const fs::path source = dir_ / ("use_" + array + ".c");
    std::ofstream(source) << "#include \"" << header.string() << "\"\n"
                          << "int first_byte(void) { return " << array << "[0]; }\n";
    const std::string compiler = language == "c" ? "gcc" : "g++";
    return run(compiler + " -fsyntax-only " + flags + " -x " + language + " '" + source.string() +
               "' 2>&1");
  }

  fs::path dir_;
};

TEST_F(FontHeaderCompiles, WithEveryLabelByte) {
  // 8 x 8 cells, 16 x 17 of them: 273 lines labelled 32..255, then 0..48,
  // '*', '/' and '\\' among them; names that are no C identifier as they
  // stand.
  const struct {
    const char* name;
    const char* array;
    uint8_t first;
  } fonts[] = {{"labels", "labels", 32},
               {"star*first", "star_first", '*'},
               {"8x8-font.v1", "font_8x8_font", '/'},
               {"int", "int_", '\\'}};
  for (const auto& font : fonts) {
    const fs::path header = header_of(font.name, font_file(128, 136, 8, 8, font.first));
    ASSERT_FALSE(header.empty()) << font.name;
    const std::vector<uint8_t> text = read(header);
    const std::string label = std::string(" /* ") + static_cast<char>(font.first) + "  */\n";
    EXPECT_NE(std::string(text.begin(), text.end()).find(label), std::string::npos) << font.name;
    EXPECT_EQ(compile(header, font.array, "c", "-Wall -Wextra -Werror"), 0) << font.name;
    EXPECT_EQ(compile(header, font.array, "c++", "-Wall -Wextra -Werror"), 0) << font.name;
  }
}

TEST_F(FontHeaderCompiles, GlyphRecordsOfMoreThan255Bytes) {
  // nBytes 512 is listed as the element 512: C takes it (with a warning
  // that it does not fit an unsigned char).
  const fs::path header = header_of("wide", font_file(128, 64, 64, 64, 32));
  EXPECT_EQ(compile(header, "wide", "c", "-Wno-overflow"), 0);
}

TEST_F(FontHeaderCompiles, ExampleHeadersAreCurrent) {
  const fs::path examples = fs::path(STOKER_SOURCE_DIR) / "examples" / "fonts";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(examples)) {
    if (entry.path().extension() != ".bff") continue;
    const std::string name = entry.path().stem().string();
    const fs::path header = header_of(name, read(entry.path()));
    EXPECT_EQ(read(header), read(examples / (name + ".h"))) << name;
    EXPECT_EQ(compile(header, name, "c", "-Wall -Wextra -Werror"), 0) << name;
    ++checked;
  }
  EXPECT_GE(checked, 2);
}

}  // namespace
