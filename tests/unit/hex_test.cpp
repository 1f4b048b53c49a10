#include "boot/hex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kStart = 0x1d000000;
constexpr uint32_t kSize = 0x1000;
constexpr uint8_t kFill = 0xAA;
// Guard bytes on both sides of the image, to see writes outside it.
constexpr size_t kGuard = 64;

// One record with its checksum, upper-case digits.
std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text + "\r\n";
}

std::string upper(uint16_t value) {
  return record(0, 4, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

const std::string kEnd = ":00000001FF\r\n";

std::vector<uint8_t> bytes_from(uint8_t first, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

// An image buffer of size + 255 bytes inside guard bytes, all kFill.
struct Image {
  explicit Image(uint32_t size = kSize) : buffer(kGuard + size + 255 + kGuard, kFill) {}
  uint8_t* image() { return buffer.data() + kGuard; }
  uint8_t at(size_t k) const { return buffer[kGuard + k]; }
  bool guards_intact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (buffer[i] != kFill || buffer[buffer.size() - 1 - i] != kFill) return false;
    }
    return true;
  }
  std::vector<uint8_t> buffer;
};

struct Converted {
  int result;
  int size;
};

Converted convert(const std::string& text, Image* image, uint32_t start = kStart,
                  uint32_t size = kSize) {
  Converted c{-99, -99};
  c.result = hex_to_image_text(text, start, size, image->image(), &c.size);
  EXPECT_TRUE(image->guards_intact());
  return c;
}

TEST(HexToImage, EndRecordStopsReadingWhateverFollows) {
  Image image;
  const std::string data = upper(0x1d00) + record(0, 0, {1, 2, 3});
  // Any whole count-0 record with a good checksum ends the conversion; the
  // bad record and the data after it are never read.
  for (const std::string& end : {kEnd, record(0x1234, 0, {}), record(0, 4, {})}) {
    const Converted c = convert(data + end + ":0100000000FF\n" + record(0x10, 0, {9}), &image);
    EXPECT_EQ(c.result, HEX_OK) << end;
    EXPECT_EQ(c.size, 3) << end;
    EXPECT_EQ(image.at(0x10), kFill) << end;
  }
}

TEST(HexToImage, CountZeroRecordWithABadChecksumOrCutShortIsABadRecord) {
  // A damaged count byte must not end the image silently.
  const std::string data = upper(0x1d00) + record(0, 0, {1, 2, 3});
  for (const std::string& end :
       {std::string(":00000001FE\n"), std::string(":00ZZZZ"), std::string(":00\n"),
        std::string(":0000000"), std::string(":00000001F")}) {
    Image image;
    const Converted c = convert(data + end + record(0x10, 0, {9}) + kEnd, &image);
    EXPECT_EQ(c.result, HEX_BAD_RECORD) << end;
    EXPECT_EQ(c.size, 3) << end;
  }
}

TEST(HexToImage, UpperAndLowerCaseDigitsGiveTheSameBytes) {
  const std::string text = ":020000041d00dd\n:04001000deadBEEFb4\n:00000001ff\n";
  Image image;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x14);
  EXPECT_EQ(image.at(0x10), 0xDE);
  EXPECT_EQ(image.at(0x11), 0xAD);
  EXPECT_EQ(image.at(0x12), 0xBE);
  EXPECT_EQ(image.at(0x13), 0xEF);
}

TEST(HexToImage, SkipsAnythingBetweenRecords) {
  const std::string text =
      "garbage\r\n" + upper(0x1d00) + "  # note\t" + record(0, 0, {7, 8}) + "\n\n;comment" + kEnd;
  Image image;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 2);
  EXPECT_EQ(image.at(1), 8);
}

TEST(HexToImage, RecordsBeforeAnyType4LoadAtTheLowestAddresses) {
  Image image(0x10000);
  const Converted c = convert(
      record(0x0000, 0, {0x11, 0x22}) + record(0xFFFE, 0, {0x33, 0x44}) + kEnd, &image, 0, 0x10000);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x10000);
  EXPECT_EQ(image.at(0), 0x11);
  EXPECT_EQ(image.at(0xFFFF), 0x44);
}

TEST(HexToImage, WindowOfProgramFlashSkipsBootFlash) {
  Image image(0x80000);
  const std::string text = ":020000041D00DD\n" + record(0x0000, 0, {0xA1, 0xA2}) +
                           record(0x0100, 0, {0xB1}) + ":020000041FC01B\n" +
                           record(0x0000, 0, bytes_from(0, 16)) + kEnd;
  const Converted c = convert(text, &image, kStart, 0x80000);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x101);  // the boot flash records don't enlarge the image
  EXPECT_EQ(image.at(0), 0xA1);
  EXPECT_EQ(image.at(1), 0xA2);
  EXPECT_EQ(image.at(0x100), 0xB1);
}

TEST(HexToImage, WindowTopIsExclusiveAndRecordsAreCutThere) {
  // kSize is 0x1000: the top of the window is address 0x1d001000.
  Image image;
  Converted c = convert(upper(0x1d00) + record(0x1000, 0, bytes_from(1, 255)) + kEnd, &image);
  EXPECT_EQ(c.result, HEX_NO_DATA);  // starts at the top: skipped
  EXPECT_EQ(image.at(kSize), kFill);

  // A record that runs past the top keeps only the bytes below it.
  Image cut;
  c = convert(upper(0x1d00) + record(0x0FF0, 0, bytes_from(1, 32)) + kEnd, &cut);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, static_cast<int>(kSize));
  EXPECT_EQ(cut.at(0xFF0), 1);
  EXPECT_EQ(cut.at(0xFFF), 16);
  for (size_t k = kSize; k < kSize + 255; ++k) ASSERT_EQ(cut.at(k), kFill) << k;

  Image other;
  c = convert(upper(0x1d00) + record(0x0FF0, 0, {5}) + record(0x1001, 0, {6}) + kEnd, &other);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0xFF1);
  EXPECT_EQ(other.at(kSize + 1), kFill);
}

TEST(HexToImage, RecordsBelowTheWindowAreSkipped) {
  Image image;
  // One wholly below, one that starts below and runs into the window.
  const std::string text = upper(0x1cff) + record(0xFFF0, 0, bytes_from(0, 16)) +
                           record(0xFFFE, 0, {1, 2, 3, 4}) + upper(0x1d00) +
                           record(0x0008, 0, {9}) + kEnd;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 9);
  EXPECT_EQ(image.at(0), kFill);
  EXPECT_EQ(image.at(1), kFill);
  EXPECT_EQ(image.at(8), 9);
}

TEST(HexToImage, WindowAtTheTopOfTheAddressSpaceDoesNotWrapAround) {
  Image image(0x10000);
  // The window ends at 2^32 and the record runs past it: cut at the top.
  const Converted c = convert(upper(0xFFFF) + record(0xFFF0, 0, bytes_from(0, 32)) + kEnd, &image,
                              0xFFFF0000, 0x10000);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x10000);
  EXPECT_EQ(image.at(0xFFF0), 0);
  EXPECT_EQ(image.at(0xFFFF), 15);
  EXPECT_EQ(image.at(0x10000), kFill);
}

TEST(HexToImage, LaterRecordsOverwriteAndSizeFollowsTheHighestEnd) {
  Image image;
  const std::string text = upper(0x1d00) + record(0x0020, 0, {1, 1, 1, 1}) +
                           record(0x0000, 0, {2, 2}) + record(0x0022, 0, {3}) + kEnd;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x24);
  EXPECT_EQ(image.at(0x21), 1);
  EXPECT_EQ(image.at(0x22), 3);
  EXPECT_EQ(image.at(0x23), 1);
}

TEST(HexToImage, GapBytesKeepTheBufferContent) {
  Image image;
  const Converted c = convert(upper(0x1d00) + record(0x0100, 0, bytes_from(0, 16)) + kEnd, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x110);
  for (size_t k = 0; k < 0x100; ++k) ASSERT_EQ(image.at(k), kFill) << k;
  EXPECT_EQ(image.at(0x10F), 15);
}

TEST(HexToImage, BadChecksumStopsWithTheGoodRecordsKept) {
  Image image;
  std::string bad = record(0x0040, 0, {1, 2, 3, 4});
  bad[bad.size() - 3] ^= 1;  // spoil the checksum
  const std::string text = upper(0x1d00) + record(0x0000, 0, {1, 2}) + record(0x0010, 0, {3, 4}) +
                           bad + record(0x0080, 0, {5}) + kEnd;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_BAD_RECORD);
  EXPECT_EQ(c.size, 0x12);
  EXPECT_EQ(image.at(0x40), kFill);
  EXPECT_EQ(image.at(0x80), kFill);  // nothing after the bad record is read

  // A bad record before any data: 20, size 0.
  Image other;
  const Converted first = convert(bad + kEnd, &other);
  EXPECT_EQ(first.result, HEX_BAD_RECORD);
  EXPECT_EQ(first.size, 0);
}

TEST(HexToImage, Type4WithBadChecksumIsABadRecord) {
  // Carrying on with the old upper address would put the data that follows
  // in the wrong 64 KiB page.
  Image image;
  const std::string text =
      upper(0x1d00) + record(0x0000, 0, {1}) + ":020000041FC01C\n" + record(0x0004, 0, {7}) + kEnd;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_BAD_RECORD);
  EXPECT_EQ(c.size, 1);
  EXPECT_EQ(image.at(4), kFill);
}

TEST(HexToImage, OtherRecordTypesAreIgnored) {
  Image image;
  const std::string text = upper(0x1d00) + record(0, 2, {0x10, 0x00}) + record(0, 3, {1, 2, 3, 4}) +
                           record(0, 5, {0x9d, 0, 0x10, 0}) + record(0, 0xFF, {1, 2}) +
                           record(0x0001, 0, {6}) + kEnd;
  const Converted c = convert(text, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 2);  // type 2 doesn't move the load address
  EXPECT_EQ(image.at(0), kFill);
  EXPECT_EQ(image.at(1), 6);
}

TEST(HexToImage, FullLengthRecordOf255Bytes) {
  Image image;
  const std::vector<uint8_t> data = bytes_from(0x80, 255);
  const Converted c = convert(upper(0x1d00) + record(0x0010, 0, data) + kEnd, &image);
  EXPECT_EQ(c.result, HEX_OK);
  EXPECT_EQ(c.size, 0x10 + 255);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(image.at(0x10 + i), data[i]) << i;
}

TEST(HexToImage, NothingInsideTheWindowIsNoData) {
  for (const std::string& text :
       {kEnd, upper(0x1d00) + kEnd, upper(0x1fc0) + record(0, 0, {1, 2}) + kEnd}) {
    Image image;
    const Converted c = convert(text, &image);
    EXPECT_EQ(c.result, HEX_NO_DATA) << text;
    EXPECT_EQ(c.size, 0) << text;
  }
}

TEST(HexToImage, TruncatedInputIsABadRecord) {
  const std::string good = upper(0x1d00) + record(0x0000, 0, {1, 2, 3, 4});
  const std::string cut = record(0x0010, 0, {5, 6, 7, 8});
  const std::string type4 = upper(0x1d01);
  // No end record; cut inside the count, the address, the data, the
  // checksum; a type-4 record cut inside its payload.
  for (const std::string& text :
       {good, good + ":", good + ":0", good + cut.substr(0, 5), good + cut.substr(0, 12),
        good + cut.substr(0, 18), good + type4.substr(0, 11)}) {
    Image image;
    const Converted c = convert(text, &image);
    EXPECT_EQ(c.result, HEX_BAD_RECORD) << text;
    EXPECT_EQ(c.size, 4) << text;
  }
  Image image;
  EXPECT_EQ(convert("", &image).result, HEX_BAD_RECORD);  // not even an end record
}

TEST(HexReadRecord, Type4PayloadIsTwoBytesWhateverTheCount) {
  // Count 4, payload 0x1234, checksum over the bytes actually read.
  const std::string text = ":040000041234B2" + record(0x0002, 0, {0x55});
  HexCursor cursor{text.data(), text.data() + text.size()};
  uint32_t address = 0;
  uint8_t data[255];
  uint8_t count = 99;
  EXPECT_EQ(hex_read_record(&cursor, &address, data, &count), HEX_RECORD_UPPER);
  EXPECT_EQ(address, 0x1234u);
  EXPECT_EQ(hex_read_record(&cursor, &address, data, &count), 0);
  EXPECT_EQ(address, 2u);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(data[0], 0x55);
  EXPECT_EQ(hex_read_record(&cursor, &address, data, &count), HEX_RECORD_BAD);  // input ended

  // A record whose own type byte is 255 and whose checksum is right reads as
  // 255 too, but the conversion ignores it like other types.
  const std::string typeFF = record(0x0000, 0xFF, {1});
  HexCursor other{typeFF.data(), typeFF.data() + typeFF.size()};
  EXPECT_EQ(hex_read_record(&other, &address, data, &count), HEX_RECORD_BAD_UPPER);
  Image image;
  EXPECT_EQ(convert(upper(0x1d00) + typeFF + record(0, 0, {3}) + kEnd, &image).result, HEX_OK);
}

// Writes text to a file in the test temp directory and opens it for reading.
std::filesystem::path write_temp(const std::string& name, const std::string& text) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
  FILE* f = std::fopen(path.string().c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f != nullptr) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  return path;
}

// A long HEX text: records of every length, upper addresses inside and
// outside the window, and text between records.
std::string long_hex_text() {
  uint32_t state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u, state >> 8; };
  std::string text;
  const uint16_t uppers[] = {0x1d00, 0x1d00, 0x1d01, 0x1fc0};
  while (text.size() < 900000) {
    if (next() % 16 == 0) text += upper(uppers[next() % 4]);
    if (next() % 8 == 0) text += "; note\n";
    text += record(static_cast<uint16_t>(next()), 0,
                   bytes_from(static_cast<uint8_t>(next()), 1 + next() % 255));
  }
  return text;
}

TEST(HexToImageFile, ReadsInPiecesAsTheTextIsRead) {
  const std::string body = long_hex_text();
  // Whole; with a first piece that ends in text between records; without
  // its end record; cut inside records at several places, among them around
  // the 256 KiB pieces of the reader.
  const std::string first = upper(0x1d00) + record(0, 0, {1});
  std::vector<std::pair<std::string, int>> texts = {
      {body + kEnd, HEX_OK},
      {first + std::string((size_t{1} << 18) - first.size(), ' ') + body + kEnd, HEX_OK},
      {body, HEX_BAD_RECORD}};
  for (size_t cut :
       {size_t{1} << 18, (size_t{1} << 18) + 1, (size_t{1} << 19) - 7, body.size() - 3}) {
    texts.emplace_back(body.substr(0, cut), HEX_BAD_RECORD);
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto path = write_temp("stoker_hex_test_pieces.hex", texts[i].first);
    FILE* f = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> fromFile(0x20000 + 255, kFill);
    std::vector<uint8_t> fromText(fromFile);
    int fileSize = -1;
    int textSize = -2;
    const int fileResult = hex_to_image(f, kStart, 0x20000, fromFile.data(), &fileSize);
    std::fclose(f);
    const int textResult =
        hex_to_image_text(texts[i].first, kStart, 0x20000, fromText.data(), &textSize);
    EXPECT_EQ(fileResult, textResult) << i;
    EXPECT_EQ(fileResult, texts[i].second) << i;
    EXPECT_EQ(fileSize, textSize) << i;
    EXPECT_GT(fileSize, 0x10000) << i;  // records landed in both 64 KiB pages
    EXPECT_TRUE(fromFile == fromText) << i;
    std::filesystem::remove(path);
  }
}

TEST(HexToImageFile, ReadErrorIsABadRecord) {
  const auto path = write_temp("stoker_hex_test_wo.hex", upper(0x1d00) + kEnd);
  FILE* f = std::fopen(path.string().c_str(), "ab");  // not readable
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> image(kSize + 255, kFill);
  int size = -1;
  EXPECT_EQ(hex_to_image(f, kStart, kSize, image.data(), &size), HEX_BAD_RECORD);
  EXPECT_EQ(size, 0);
  std::fclose(f);
  std::filesystem::remove(path);
}

TEST(FileLength, MeasuresAndRewinds) {
  const auto path = write_temp("stoker_hex_test_len.bin", std::string(1234, 'x'));
  FILE* f = std::fopen(path.string().c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 100, SEEK_SET);
  EXPECT_EQ(file_length(f), 1234);
  EXPECT_EQ(std::ftell(f), 0);
  std::fclose(f);
  std::filesystem::remove(path);
}

TEST(ParseHex, DigitsLengthAndBadCharacters) {
  uint32_t value = 7;
  EXPECT_EQ(parse_hex("1d000000", &value), 1);
  EXPECT_EQ(value, 0x1D000000u);
  EXPECT_EQ(parse_hex("FFFFFFFF", &value), 1);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(parse_hex("aBc", &value), 1);
  EXPECT_EQ(value, 0xABCu);

  value = 7;
  EXPECT_EQ(parse_hex("", &value), 1);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(parse_hex("123456789", &value), 2);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(parse_hex("12g4", &value), 4);
  EXPECT_EQ(value, 4u);  // the digits right of the bad character
  EXPECT_EQ(parse_hex("0x10", &value), 4);
}

}  // namespace
