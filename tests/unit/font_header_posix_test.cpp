// Every C header that font_to_header writes compiles: with every byte value
// as a glyph label (the comment markers among them), and with fonts at the
// limits of what the packed font can carry, holding their values unchanged;
// the example fonts' headers are what font_to_header makes of their .bff
// files today.
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

  // Builds and runs a program that prints every element of the header's
  // array; the values, or nothing when it can't be built.
  std::vector<unsigned> array_values(const fs::path& header, const std::string& array,
                                     const std::string& language) {
    const fs::path source = dir_ / ("print_" + array + ".c");
    const fs::path program = dir_ / ("print_" + array + "_" + (language == "c" ? "c" : "cpp"));
    const fs::path out = dir_ / ("values_" + array + ".txt");
    std::ofstream(source) << "#include <stdio.h>\n#include \"" << header.string() << "\"\n"
                          << "int main(void) {\n  for (unsigned i = 0; i < sizeof " << array
                          << "; ++i) printf(\"%u\\n\", (unsigned)" << array << "[i]);\n"
                          << "  return 0;\n}\n";
    const std::string compiler = language == "c" ? "gcc" : "g++";
    if (run(compiler + " -x " + language + " '" + source.string() + "' -o '" + program.string() +
            "' 2>&1") != 0 ||
        run("'" + program.string() + "' > '" + out.string() + "'") != 0)
      return {};
    std::vector<unsigned> values;
    std::ifstream in(out);
    for (unsigned v; in >> v;) values.push_back(v);
    return values;
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

TEST_F(FontHeaderCompiles, AtTheLimitsWithEveryValueAsPacked) {
  // The largest glyph records (255 bytes), the widest and the tallest cell:
  // the header compiles without a warning in C and C++, and a program built
  // from it holds every value of the packed font unchanged.
  const struct {
    const char* name;
    uint32_t w, h, cw, ch;
  } fonts[] = {{"big_cells", 510, 16, 255, 8},
               {"wide_cells", 512, 7, 256, 7},
               {"tall_cells", 16, 255, 8, 255}};
  for (const auto& font : fonts) {
    const std::vector<uint8_t> file = font_file(font.w, font.h, font.cw, font.ch, 32);
    const fs::path header = header_of(font.name, file);
    ASSERT_FALSE(header.empty()) << font.name;
    EXPECT_EQ(compile(header, font.name, "c", "-Wall -Wextra -Werror"), 0) << font.name;
    EXPECT_EQ(compile(header, font.name, "c++", "-Wall -Wextra -Werror"), 0) << font.name;

    // What the header should hold: the eight header values, the listed
    // glyph lines of the packed buffer, and a final 0.
    BffFont parsed;
    BffPicture picture;
    ASSERT_EQ(read_bff(file.data(), file.size(), &parsed, &picture), BFF_OK);
    BfHeader bf;
    std::vector<uint8_t> packed;
    ASSERT_GT(pack_glyphs(parsed, &bf, picture, &packed), 0);
    ASSERT_LE(bf.nBytes, 255);
    std::vector<unsigned> expected = {bf.head[0], bf.head[1], bf.head[2], bf.head[3],
                                      bf.nBytes,  bf.head[6], bf.head[7], 0u};
    for (size_t i = 0; i < size_t{bf.dataBytes} + bf.nBytes; i += bf.nBytes)
      for (size_t j = 0; j < bf.nBytes; ++j) expected.push_back(packed[i + j]);
    expected.push_back(0);
    EXPECT_EQ(array_values(header, font.name, "c"), expected) << font.name;
    EXPECT_EQ(array_values(header, font.name, "c++"), expected) << font.name;
  }
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
