// The port operations over the in-memory fake: settings parsing, the settle
// pause of serial_open, pacing, the byte-wise reads and the closed record.
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_port.h"

namespace {

struct ParseCase {
  const char* settings;
  int result;
  int32_t baud, dataBits, parity, stopBits;
};

// Starts from a record holding 1,1,odd,9 so that untouched fields show.
SerialPort closed_record() {
  SerialPort port;
  port.baud = 1;
  port.dataBits = 1;
  port.parity = kParityOdd;
  port.stopBits = 9;
  return port;
}

TEST(SerialSettings, ParsesFieldsIntoTheRecord) {
  const ParseCase cases[] = {
      {"115200,8,N,1", 0, 115200, 8, kParityNone, 1},
      {"9600,7,E,2", 0, 9600, 7, kParityEven, 2},
      {"9600,8,O,1", 0, 9600, 8, kParityOdd, 1},
      {"9600,8,NE,1", 0, 9600, 8, kParityEven, 1},
      {"9600,8,NEO,1", 0, 9600, 8, kParityOdd, 1},
      {"9600,8,x,1", 0, 9600, 8, kParityOdd, 1},  // no letter keeps the parity
      {"9600,8,n,1", 0, 9600, 8, kParityOdd, 1},  // letters are case-sensitive
      {"9600,8,N,3", 0, 9600, 8, kParityNone, 3},
      {"9600,8,N,1.5", 0, 9600, 8, kParityNone, 1},
      {"9600,,8,N,1", 0, 9600, 8, kParityNone, 1},
      {",,9600,8,,,N,,1,", 0, 9600, 8, kParityNone, 1},
      {"9600,8,N,2,rest,ignored", 0, 9600, 8, kParityNone, 2},
      {"fast,8,N,1", 0, 0, 8, kParityNone, 1},
      {"99999999999999,8,N,1", 0, INT32_MAX, 8, kParityNone, 1},
      // Fields before the missing one stay stored.
      {"9600,8,N", 1, 9600, 8, kParityNone, 9},
      {"9600,8", 1, 9600, 8, kParityOdd, 9},
      {"9600", 1, 9600, 1, kParityOdd, 9},
      {"", 1, 1, 1, kParityOdd, 9},
      {",,,", 1, 1, 1, kParityOdd, 9},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.settings);
    SerialPort port = closed_record();
    EXPECT_EQ(serial_configure(&port, c.settings), c.result);
    EXPECT_EQ(port.baud, c.baud);
    EXPECT_EQ(port.dataBits, c.dataBits);
    EXPECT_EQ(port.parity, c.parity);
    EXPECT_EQ(port.stopBits, c.stopBits);
    EXPECT_EQ(port.handle, kInvalidHandle);
  }
}

TEST(SerialSettings, RefusesStringsLongerThanTheWorkingBuffer) {
  const std::string longest = "9600,8,E,2," + std::string(kMaxSettingsLength - 11, 'x');
  ASSERT_EQ(longest.size(), kMaxSettingsLength);
  SerialPort port = closed_record();
  EXPECT_EQ(serial_configure(&port, longest.c_str()), 0);
  EXPECT_EQ(port.parity, kParityEven);

  SerialPort untouched = closed_record();
  EXPECT_EQ(serial_configure(&untouched, (longest + "x").c_str()), 1);
  EXPECT_EQ(untouched.baud, 1);
  EXPECT_EQ(untouched.parity, kParityOdd);
  EXPECT_EQ(serial_configure(&untouched, nullptr), 1);
}

TEST(SerialSettings, WithoutDeviceOnlyTheRecordChanges) {
  FakePort fake;
  EXPECT_EQ(serial_configure(&fake.port, "19200,8,N,1"), 0);
  EXPECT_EQ(fake.port.baud, 19200);
  EXPECT_EQ(fake.configuredBaud, 0);  // the backend was not called
  EXPECT_TRUE(fake.events.empty());
}

TEST(SerialSettings, OnAnOpenPortReachTheDeviceAndPassItsError) {
  FakePort fake;
  ASSERT_EQ(fake.open("115200,8,N,1"), 0);
  EXPECT_EQ(fake.configuredBaud, 115200);
  EXPECT_EQ(serial_configure(&fake.port, "57600,8,N,1"), 0);
  EXPECT_EQ(fake.configuredBaud, 57600);
  EXPECT_EQ(serial_configure(&fake.port, "38400,8,N"), 1);
  EXPECT_EQ(fake.configuredBaud, 57600);  // nothing applied
  fake.configureError = 87;
  EXPECT_EQ(serial_configure(&fake.port, "1200,8,N,1"), 87);
}

TEST(SerialOpen, SettlesForHalfASecondAfterOpening) {
  FakePort fake;
  fake.port.charDelay = 7;
  ASSERT_EQ(fake.open("115200,8,N,1"), 0);
  EXPECT_EQ(fake.now_us(), 500'000);
  EXPECT_EQ(serial_is_open(&fake.port), 1);
  EXPECT_EQ(fake.port.charDelay, 0);
  EXPECT_NE(fake.port.handle, kInvalidHandle);
}

TEST(SerialOpen, FailuresLeaveThePortClosedAndReleased) {
  FakePort refused;
  refused.openError = 2;
  EXPECT_EQ(refused.open(), 2);
  EXPECT_EQ(serial_is_open(&refused.port), 0);
  EXPECT_EQ(refused.port.handle, kInvalidHandle);
  EXPECT_EQ(refused.now_us(), 0);

  FakePort malformed;
  EXPECT_EQ(malformed.open("9600,8,N"), 1);
  EXPECT_EQ(serial_is_open(&malformed.port), 0);
  EXPECT_EQ(malformed.port.handle, kInvalidHandle);
  ASSERT_EQ(malformed.events.size(), 1u);
  EXPECT_EQ(malformed.events[0].kind, FakeEvent::Close);

  FakePort unsupported;
  unsupported.configureError = 87;
  EXPECT_EQ(unsupported.open(), 87);
  EXPECT_EQ(serial_is_open(&unsupported.port), 0);
  EXPECT_EQ(unsupported.port.baud, 115200);  // settings stay in the record
}

TEST(SerialOpen, TheKindOfFailureIsKeptApartFromTheErrorCode) {
  // A malformed settings string gives 1, which is also an OS error code
  // (EPERM on POSIX): the message must be about the settings.
  FakePort malformed;
  EXPECT_EQ(malformed.open(",,,,,8,N,1"), 1);
  EXPECT_EQ(malformed.port.failure, SERIAL_FAIL_SETTINGS);
  EXPECT_EQ(serial_open_failure_text(&malformed.port, ",,,,,8,N,1"),
            "the settings ',,,,,8,N,1' are not valid: expected baud,databits,parity,stopbits "
            "(115200,8,N,1)");

  FakePort refused;
  refused.configureError = 1;
  EXPECT_EQ(refused.open("9600,9,N,1"), 1);
  EXPECT_EQ(refused.port.failure, SERIAL_FAIL_REFUSED);
  EXPECT_EQ(serial_open_failure_text(&refused.port, "9600,9,N,1"),
            "the port refused the settings '9600,9,N,1' (error 1)");

  FakePort missing;
  missing.openError = 1;
  EXPECT_EQ(missing.open(), 1);
  EXPECT_EQ(missing.port.failure, SERIAL_FAIL_DEVICE);
  const char* hint = serial_open_hint(1);
  EXPECT_EQ(serial_open_failure_text(&missing.port, "115200,8,N,1"),
            hint != nullptr ? std::string(hint) : std::string("open failed (error 1)"));

  // A later success clears the kind.
  EXPECT_EQ(malformed.open(), 0);
  EXPECT_EQ(malformed.port.failure, SERIAL_FAIL_NONE);
}

TEST(SerialOutput, CharDelayPacesEveryByte) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  EXPECT_EQ(serial_set_char_delay(&fake.port, 3), 3);
  const int64_t start = fake.now_us();
  EXPECT_EQ(serial_put_string(&fake.port, "abc"), 0);
  const std::vector<FakeEvent> writes = fake.writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_GE(writes[0].timeUs - start, 3000);
  EXPECT_GE(writes[1].timeUs - writes[0].timeUs, 3000);
  EXPECT_GE(writes[2].timeUs - writes[1].timeUs, 3000);
  EXPECT_GE(fake.now_us() - start, 9000);
  EXPECT_EQ(fake.written(), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(SerialOutput, WriteErrorsReachSerialPutButNotPutString) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.writeError = 31;
  EXPECT_EQ(serial_put(&fake.port, 'x'), 31);
  EXPECT_EQ(serial_write(&fake.port, "xy", 2), 31);
  EXPECT_EQ(serial_put_string(&fake.port, "xy"), 0);
}

TEST(SerialInput, GetWaitGivesUpAfterItsTries) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  const int64_t start = fake.now_us();
  EXPECT_EQ(serial_get_wait(&fake.port, 200), 0);
  EXPECT_EQ(fake.reads, 200);
  EXPECT_EQ(fake.now_us() - start, 200 * 3000);  // 2 ms read + 1 ms pause each
}

TEST(SerialInput, GetWaitReturnsAByteAtOnce) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  const int64_t start = fake.now_us();
  fake.send(std::vector<uint8_t>{0x41}, 13.0);  // during the fifth attempt (12 to 14 ms)
  EXPECT_EQ(serial_get_wait(&fake.port, 200), 0x41);
  EXPECT_EQ(fake.reads, 5);
  EXPECT_EQ(fake.now_us() - start, 13000);
}

TEST(SerialInput, GetWaitWithoutLimitWaitsForTheByte) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.send(std::vector<uint8_t>{0x7E}, 5000.0);
  EXPECT_EQ(serial_get_wait(&fake.port, 0), 0x7E);
  EXPECT_GT(fake.reads, 1000);
}

TEST(SerialInput, GetLeavesTheOutputUntouchedOnSilence) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  uint8_t byte = 0xAA;
  EXPECT_EQ(serial_get(&fake.port, &byte), 0);
  EXPECT_EQ(byte, 0xAA);
  fake.send(std::vector<uint8_t>{0x00});
  EXPECT_EQ(serial_get(&fake.port, &byte), 1);
  EXPECT_EQ(byte, 0x00);
}

TEST(SerialInput, DrainStopsAtTheFirstQuietReadTimeOut) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  for (int i = 0; i < 10; ++i) fake.send(std::vector<uint8_t>{static_cast<uint8_t>(i)}, i * 1.5);
  fake.send("later", 30.0);
  serial_drain(&fake.port);
  EXPECT_EQ(fake.pending(), 5u);
  uint8_t buffer[8] = {};
  EXPECT_EQ(serial_read(&fake.port, buffer, 8), 0);  // "later" is still far off
}

TEST(SerialOpen, ReopeningALostPortSkipsTheSettleAndClearsTheLoss) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.vanished = true;
  uint8_t byte = 0;
  EXPECT_EQ(serial_get(&fake.port, &byte), 0);
  EXPECT_EQ(serial_lost(&fake.port), 1);
  serial_close(&fake.port);
  EXPECT_EQ(serial_lost(&fake.port), 0) << "a closed port is not lost";
  const int64_t before = fake.now_us();
  ASSERT_EQ(serial_reopen_device(&fake.port, "fake", "9600,8,N,1"), 0);
  EXPECT_EQ(fake.now_us(), before) << "no settling wait";
  EXPECT_EQ(serial_lost(&fake.port), 0);
  EXPECT_EQ(fake.configuredBaud, 9600);
  fake.send("x");
  EXPECT_EQ(serial_get(&fake.port, &byte), 1);
}

TEST(SerialLines, BreakRtsAndModemLinesOnlyOnAnOpenPort) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  int status = -5;
  fake.modemBits = -1;  // no modem lines
  EXPECT_FALSE(serial_read_modem_status(&fake.port, &status));
  EXPECT_EQ(status, -5);
  EXPECT_EQ(serial_modem_status(&fake.port), 0);
  fake.modemBits = MS_DSR;
  EXPECT_TRUE(serial_read_modem_status(&fake.port, &status));
  EXPECT_EQ(status, MS_DSR);
  serial_send_break(&fake.port);
  serial_set_rts(&fake.port, 1);
  EXPECT_TRUE(fake.rts);
  EXPECT_FALSE(fake.rtsHandshake) << "RTS without flow control";
  serial_close(&fake.port);
  serial_send_break(&fake.port);
  serial_set_rts(&fake.port, 0);
  EXPECT_FALSE(serial_read_modem_status(&fake.port, &status));
  std::vector<FakeEvent::Kind> kinds;
  for (const FakeEvent& e : fake.events) kinds.push_back(e.kind);
  EXPECT_EQ(kinds,
            (std::vector<FakeEvent::Kind>{FakeEvent::Break, FakeEvent::RtsLine, FakeEvent::Close}));
}

TEST(SerialLines, ControlsAndModemStatusReachTheBackend) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.modemBits = 0x1F0;
  EXPECT_EQ(serial_modem_status(&fake.port), 0xF0);
  EXPECT_EQ(serial_set_dtr(&fake.port, 1), 0);
  EXPECT_TRUE(fake.dtr);
  EXPECT_EQ(serial_set_dtr(&fake.port, 0), 0);
  EXPECT_FALSE(fake.dtr);
  EXPECT_EQ(serial_set_rts_handshake(&fake.port, 2), 0);
  EXPECT_TRUE(fake.rtsHandshake);
  EXPECT_NE(serial_set_cts_flow(&fake.port, 1), 0);
  EXPECT_TRUE(fake.ctsFlow);
}

TEST(SerialClose, LaterCallsFailHarmlessly) {
  FakePort fake;
  ASSERT_EQ(fake.open(), 0);
  fake.send("pending");
  fake.modemBits = MS_CTS | MS_DSR;
  serial_close(&fake.port);
  serial_close(&fake.port);
  EXPECT_EQ(serial_is_open(&fake.port), 0);
  EXPECT_EQ(fake.port.handle, kInvalidHandle);
  const size_t events = fake.events.size();
  const int reads = fake.reads;

  EXPECT_NE(serial_write(&fake.port, "ab", 2), 0);
  EXPECT_NE(serial_put(&fake.port, 'a'), 0);
  EXPECT_EQ(serial_put_string(&fake.port, "ab"), 0);
  uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(serial_read(&fake.port, buffer, 4), 0);
  EXPECT_EQ(serial_get(&fake.port, buffer), 0);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(serial_get_wait(&fake.port, 3), 0);
  serial_drain(&fake.port);
  EXPECT_EQ(serial_modem_status(&fake.port), 0);
  EXPECT_EQ(serial_set_dtr(&fake.port, 1), 0);
  EXPECT_EQ(serial_set_rts_handshake(&fake.port, 1), 0);
  EXPECT_EQ(serial_set_cts_flow(&fake.port, 1), 0);

  // Only the one Close; nothing reached the backend afterwards.
  EXPECT_EQ(fake.reads, reads);
  ASSERT_EQ(fake.events.size(), events);
  int closes = 0;
  for (const FakeEvent& e : fake.events) closes += e.kind == FakeEvent::Close ? 1 : 0;
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(fake.pending(), 7u);
  EXPECT_FALSE(fake.dtr);
}

}  // namespace
