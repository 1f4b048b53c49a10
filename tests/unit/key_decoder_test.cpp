// The escape-sequence decoder: the function keys in the forms xterm, VT220
// terminals, the Linux console and tmux send, sequences split anywhere, the
// lone Escape, and sequences it doesn't know, which pass through unchanged.
#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Keys = std::vector<int>;

// Feeds every byte, then flushes (the escape time-out passed).
Keys decode(const std::string& bytes, bool flush = true) {
  KeyDecoder decoder;
  Keys keys;
  int out[kKeyDecodeMax];
  for (char c : bytes) {
    const size_t n = key_decoder_feed(&decoder, static_cast<uint8_t>(c), out);
    EXPECT_LE(n, kKeyDecodeMax);
    keys.insert(keys.end(), out, out + n);
  }
  if (flush) {
    const size_t n = key_decoder_flush(&decoder, out);
    keys.insert(keys.end(), out, out + n);
  }
  return keys;
}

// A scan code as the decoder gives it, after the prefix.
int sc(int scan) {
  return kKeyScanCode | scan;
}

Keys bytes_of(const std::string& text) {
  return Keys(text.begin(), text.end());
}

struct KeyForm {
  const char* sequence;
  int scan;
};

// F1 to F12, unmodified, in every form that terminals send.
const KeyForm kFunctionForms[] = {
    // xterm, tmux and most emulators: SS3 for F1 to F4, CSI n ~ above.
    {"\x1bOP", 59},
    {"\x1bOQ", 60},
    {"\x1bOR", 61},
    {"\x1bOS", 62},
    {"\x1b[15~", 63},
    {"\x1b[17~", 64},
    {"\x1b[18~", 65},
    {"\x1b[19~", 66},
    {"\x1b[20~", 67},
    {"\x1b[21~", 68},
    {"\x1b[23~", 133},
    {"\x1b[24~", 134},
    // VT220 and rxvt: CSI 11 ~ to CSI 14 ~ for F1 to F4.
    {"\x1b[11~", 59},
    {"\x1b[12~", 60},
    {"\x1b[13~", 61},
    {"\x1b[14~", 62},
    // Linux console: CSI [ A to CSI [ E for F1 to F5.
    {"\x1b[[A", 59},
    {"\x1b[[B", 60},
    {"\x1b[[C", 61},
    {"\x1b[[D", 62},
    {"\x1b[[E", 63},
    // xterm with an explicit parameter 1 (no modifier).
    {"\x1b[1P", 59},
    {"\x1b[1;1S", 62},
};

TEST(KeyDecoder, FunctionKeysBecomePrefixZeroAndTheirMarkedScanCode) {
  for (const KeyForm& form : kFunctionForms) {
    SCOPED_TRACE(testing::PrintToString(std::string(form.sequence)));
    EXPECT_EQ(decode(form.sequence, false), (Keys{0, sc(form.scan)}));
  }
}

TEST(KeyDecoder, ModifiedFunctionKeysGetTheConsolesShiftCtrlAltCodes) {
  EXPECT_EQ(decode("\x1b[1;2P"), (Keys{0, sc(84)}));    // Shift+F1
  EXPECT_EQ(decode("\x1b[1;5Q"), (Keys{0, sc(95)}));    // Ctrl+F2
  EXPECT_EQ(decode("\x1b[1;3R"), (Keys{0, sc(106)}));   // Alt+F3
  EXPECT_EQ(decode("\x1bO2S"), (Keys{0, sc(87)}));      // Shift+F4, older xterm
  EXPECT_EQ(decode("\x1bO1;5P"), (Keys{0, sc(94)}));    // Ctrl+F1
  EXPECT_EQ(decode("\x1b[15;2~"), (Keys{0, sc(88)}));   // Shift+F5
  EXPECT_EQ(decode("\x1b[21;5~"), (Keys{0, sc(103)}));  // Ctrl+F10
  EXPECT_EQ(decode("\x1b[23;2~"), (Keys{0, sc(135)}));  // Shift+F11
  EXPECT_EQ(decode("\x1b[24;5~"), (Keys{0, sc(138)}));  // Ctrl+F12
  EXPECT_EQ(decode("\x1b[24;3~"), (Keys{0, sc(140)}));  // Alt+F12
  EXPECT_EQ(decode("\x1b[24;7~"), (Keys{0, sc(138)}));  // Ctrl+Alt+F12: Ctrl wins
}

TEST(KeyDecoder, EditingKeysBecomeTheExtendedPrefixAndScanCode) {
  const KeyForm forms[] = {
      {"\x1b[A", 72},  {"\x1b[B", 80},  {"\x1b[C", 77},    {"\x1b[D", 75},    {"\x1bOA", 72},
      {"\x1bOD", 75},  {"\x1b[H", 71},  {"\x1b[F", 79},    {"\x1bOH", 71},    {"\x1b[1~", 71},
      {"\x1b[7~", 71}, {"\x1b[4~", 79}, {"\x1b[8~", 79},   {"\x1b[2~", 82},   {"\x1b[3~", 83},
      {"\x1b[5~", 73}, {"\x1b[6~", 81}, {"\x1b[1;5C", 77}, {"\x1b[5;5~", 73},
  };
  for (const KeyForm& form : forms) {
    SCOPED_TRACE(testing::PrintToString(std::string(form.sequence)));
    EXPECT_EQ(decode(form.sequence), (Keys{0xE0, sc(form.scan)}));
  }
  EXPECT_EQ(decode("\x1b[Z"), (Keys{0, sc(15)}));  // Shift+Tab
}

TEST(KeyDecoder, OrdinaryBytesPassThroughOneByOne) {
  std::string all;
  Keys expected;
  for (int b = 0; b < 256; ++b) {
    if (b == 0x1B) continue;
    all += static_cast<char>(b);
    expected.push_back(b);
  }
  EXPECT_EQ(decode(all, false), expected);
}

TEST(KeyDecoder, LoneEscapeWaitsThenBecomes27) {
  KeyDecoder decoder;
  int out[kKeyDecodeMax];
  EXPECT_EQ(key_decoder_feed(&decoder, 0x1B, out), 0u);
  EXPECT_TRUE(key_decoder_holding(&decoder));
  ASSERT_EQ(key_decoder_flush(&decoder, out), 1u);
  EXPECT_EQ(out[0], 27);
  EXPECT_FALSE(key_decoder_holding(&decoder));
  EXPECT_EQ(key_decoder_flush(&decoder, out), 0u);
}

TEST(KeyDecoder, EscapeBeforeSomethingElseIsTheEscapeKey) {
  EXPECT_EQ(decode("\x1bx"), (Keys{27, 'x'}));    // Alt+x in most terminals
  EXPECT_EQ(decode("\x1b\x01"), (Keys{27, 1}));   // Escape, then Ctrl+A
  EXPECT_EQ(decode("\x1b\x1b"), (Keys{27, 27}));  // two Escapes
  EXPECT_EQ(decode("\x1b\x1bOP"), (Keys{27, 0, sc(59)}));
  EXPECT_EQ(decode("\x1b[1\x01"), (Keys{27, '[', '1', 1}));
  EXPECT_EQ(decode("\x1b[1\x1bOQ"), (Keys{27, '[', '1', 0, sc(60)}));
  EXPECT_EQ(decode("\x1bO\x1b"), (Keys{27, 'O', 27}));
  EXPECT_EQ(decode("\x1b[[\x1b[24~"), (Keys{27, '[', '[', 0, sc(134)}));
}

TEST(KeyDecoder, UnknownSequencesPassThroughUnchanged) {
  for (const char* sequence : {"\x1b[99~", "\x1b[?1;2c", "\x1bOx", "\x1b[2P", "\x1b[1;2;3P",
                               "\x1b[[Z", "\x1b[<0;1;2M", "\x1b[99999~", "\x1b[ q"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(sequence)));
    EXPECT_EQ(decode(sequence), bytes_of(sequence));
  }
}

TEST(KeyDecoder, OverlongSequenceIsPassedOnWhole) {
  const std::string sequence = "\x1b[" + std::string(40, '1') + "~";
  EXPECT_EQ(decode(sequence), bytes_of(sequence));
}

TEST(KeyDecoder, SplitSequencesDecodeTheSameAsWholeOnes) {
  // Bytes arriving one read at a time: nothing comes out until the sequence
  // is complete, then the key.
  for (const char* sequence : {"\x1bOP", "\x1b[24~", "\x1b[[E", "\x1b[15;5~"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(sequence)));
    KeyDecoder decoder;
    int out[kKeyDecodeMax];
    const std::string bytes = sequence;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
      EXPECT_EQ(key_decoder_feed(&decoder, static_cast<uint8_t>(bytes[i]), out), 0u);
      EXPECT_TRUE(key_decoder_holding(&decoder));
    }
    EXPECT_EQ(key_decoder_feed(&decoder, static_cast<uint8_t>(bytes.back()), out), 2u);
    EXPECT_FALSE(key_decoder_holding(&decoder));
  }
  // Keys and text mixed in one stream.
  EXPECT_EQ(decode("a\x1bOPb\x1b[24~\x01"), (Keys{'a', 0, sc(59), 'b', 0, sc(134), 1}));
}

TEST(KeyDecoder, IncompleteSequenceFlushedAtTheTimeOutIsItsBytes) {
  EXPECT_EQ(decode("\x1b["), (Keys{27, '['}));
  EXPECT_EQ(decode("\x1b[2"), (Keys{27, '[', '2'}));
  EXPECT_EQ(decode("\x1bO"), (Keys{27, 'O'}));
}

}  // namespace
