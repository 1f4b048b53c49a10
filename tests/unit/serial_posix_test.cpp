// The POSIX backend on real pseudo-terminals: the test holds the master side
// (the "target") and the port opens the slave, as with the simulated board.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/common.h"
#include "common/stop.h"
#include "serial/serial.h"
#include "tests/support/pty.h"

namespace {

void no_delay(int) {}

class SerialPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    // The 500 ms settle of every open proves nothing here.
    previousHook_ = set_delay_hook(no_delay);
    ASSERT_TRUE(open_pty(&master_, &slave_));
  }

  void TearDown() override {
    serial_close(&port_);
    serial_close(&other_);
    if (holder_ >= 0) close(holder_);
    close_master();
    set_delay_hook(previousHook_);
  }

  int open_port(SerialPort* port, const char* settings = "115200,8,N,1") {
    return serial_open_device(port, slave_.c_str(), settings);
  }

  void close_master() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // A second descriptor on the slave, as the simulated board keeps one.
  int holder() {
    if (holder_ < 0) holder_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return holder_;
  }

  termios slave_termios() {
    termios tio{};
    EXPECT_EQ(tcgetattr(holder(), &tio), 0);
    return tio;
  }

  // Everything the master receives until count bytes came or it stays quiet
  // for a second.
  std::vector<uint8_t> master_read(size_t count) {
    std::vector<uint8_t> got;
    uint8_t buffer[512];
    pollfd watch{master_, POLLIN, 0};
    while (got.size() < count && poll(&watch, 1, 1000) > 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // Reads through the port until count bytes came or 2000 reads were empty.
  std::vector<uint8_t> port_read(size_t count) {
    std::vector<uint8_t> got;
    uint8_t buffer[512];
    for (int empty = 0; got.size() < count && empty < 2000;) {
      const int n = serial_read(&port_, buffer, sizeof buffer);
      got.insert(got.end(), buffer, buffer + n);
      empty += n == 0 ? 1 : 0;
    }
    return got;
  }

  SerialPort port_;
  SerialPort other_;
  int master_ = -1;
  int holder_ = -1;
  std::string slave_;
  DelayHook previousHook_ = nullptr;
};

std::vector<uint8_t> all_byte_values() {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<uint8_t>(i));
  return bytes;
}

TEST_F(SerialPosix, OpensAPseudoTerminalInRawMode) {
  ASSERT_EQ(open_port(&port_, "115200,8,N,2"), 0);
  EXPECT_EQ(serial_is_open(&port_), 1);
  const termios tio = slave_termios();
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  // A pseudo-terminal has no modem lines: they report none.
  EXPECT_EQ(serial_modem_status(&port_), 0);
}

TEST_F(SerialPosix, StopBitsOtherThanOneOrTwoKeepTheDeviceSetting) {
  ASSERT_EQ(open_port(&port_, "9600,8,N,2"), 0);
  EXPECT_EQ(serial_configure(&port_, "9600,8,N,3"), 0);
  EXPECT_NE(slave_termios().c_cflag & CSTOPB, 0u);
  EXPECT_EQ(serial_configure(&port_, "9600,8,N,1"), 0);
  EXPECT_EQ(slave_termios().c_cflag & CSTOPB, 0u);
  EXPECT_EQ(serial_configure(&port_, "9600,8,N,0"), 0);
  EXPECT_EQ(slave_termios().c_cflag & CSTOPB, 0u);
}

TEST_F(SerialPosix, RefusesFramesTheLineCannotCarry) {
  EXPECT_EQ(open_port(&port_, "9600,9,N,1"), EINVAL);
  EXPECT_EQ(open_port(&port_, "9600,4,N,1"), EINVAL);
  EXPECT_EQ(open_port(&port_, "none,8,N,1"), EINVAL);
  EXPECT_EQ(serial_is_open(&port_), 0);
  EXPECT_EQ(port_.handle, kInvalidHandle);
  // Each refusal released the device again.
  EXPECT_EQ(open_port(&port_), 0);
}

TEST_F(SerialPosix, OpenIsExclusiveUntilClosed) {
  ASSERT_GE(holder(), 0);
  ASSERT_EQ(open_port(&port_), 0);
  EXPECT_EQ(open_port(&other_), EBUSY);
  EXPECT_EQ(serial_is_open(&other_), 0);
  EXPECT_EQ(other_.handle, kInvalidHandle);
  serial_close(&port_);
  ASSERT_EQ(open_port(&other_), 0);
  serial_close(&other_);
  ASSERT_EQ(open_port(&port_), 0);
}

#ifdef TIOCGEXCL
TEST_F(SerialPosix, CloseLiftsTheExclusiveFlag) {
  ASSERT_EQ(open_port(&port_), 0);
  int exclusive = 0;
  ASSERT_EQ(ioctl(holder(), TIOCGEXCL, &exclusive), 0);
  EXPECT_NE(exclusive, 0);
  serial_close(&port_);
  ASSERT_EQ(ioctl(holder(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}
#endif

TEST_F(SerialPosix, CarriesEveryByteValueUnchanged) {
  ASSERT_EQ(open_port(&port_), 0);
  const std::vector<uint8_t> bytes = all_byte_values();
  ASSERT_EQ(serial_write(&port_, bytes.data(), static_cast<int>(bytes.size())), 0);
  EXPECT_EQ(master_read(bytes.size()), bytes);

  ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(port_read(bytes.size()), bytes);
  // Nothing was echoed back to the sender.
  pollfd watch{master_, POLLIN, 0};
  EXPECT_EQ(poll(&watch, 1, 100), 0);
}

TEST_F(SerialPosix, SilentLineReadsNothing) {
  ASSERT_EQ(open_port(&port_), 0);
  uint8_t buffer[16] = {};
  EXPECT_EQ(serial_read(&port_, buffer, sizeof buffer), 0);
  EXPECT_EQ(serial_wait_input(&port_, 5), 0);
  EXPECT_EQ(serial_lost(&port_), 0) << "silence is not a lost port";
  EXPECT_TRUE(serial_device_present(&port_, slave_.c_str()));
  EXPECT_FALSE(serial_device_present(&port_, "/nonexistent/ttyX"));
  uint8_t byte = 0x5A;
  EXPECT_EQ(serial_get(&port_, &byte), 0);
  EXPECT_EQ(byte, 0x5A);
}

TEST_F(SerialPosix, VanishedPortFailsWithoutHanging) {
  ASSERT_EQ(open_port(&port_), 0);
  ASSERT_EQ(write(master_, "x", 1), 1);
  EXPECT_EQ(serial_lost(&port_), 0);
  close_master();
  uint8_t buffer[16] = {};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(serial_read(&port_, buffer, sizeof buffer), 0);
  EXPECT_EQ(serial_lost(&port_), 1) << "a hang-up is a lost port, not silence";
  EXPECT_EQ(serial_get_wait(&port_, 3), 0);
  EXPECT_NE(serial_write(&port_, "abc", 3), 0);
  EXPECT_NE(serial_put(&port_, 'a'), 0);
  EXPECT_EQ(serial_modem_status(&port_), 0);
  serial_close(&port_);
}

TEST_F(SerialPosix, RefusesMissingAndNonTerminalDevices) {
  EXPECT_EQ(serial_open_device(&port_, "/nonexistent/ttyX", "9600,8,N,1"), ENOENT);
  EXPECT_EQ(serial_open_device(&port_, "/dev/null", "9600,8,N,1"), ENOTTY);
  EXPECT_EQ(serial_is_open(&port_), 0);
  EXPECT_EQ(port_.handle, kInvalidHandle);
}

TEST_F(SerialPosix, SetsStandardAndNonStandardRates) {
  ASSERT_EQ(open_port(&port_, "9600,8,N,1"), 0);
  const int custom = serial_configure(&port_, "250000,8,N,1");
#ifdef __linux__
  // termios2 on a Linux pseudo-terminal takes any rate: the speed code says
  // "other" (BOTHER, which glibc calls CBAUDEX).
  EXPECT_EQ(custom, 0);
  const termios other = slave_termios();
  EXPECT_EQ(cfgetospeed(&other), static_cast<speed_t>(CBAUDEX));
#else
  EXPECT_TRUE(custom == 0 || custom == EINVAL) << custom;
#endif
  ASSERT_EQ(serial_configure(&port_, "115200,8,N,1"), 0);
  const termios tio = slave_termios();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
#ifdef CIBAUD
  EXPECT_EQ(tio.c_cflag & CIBAUD, 0u);  // the input rate follows again
#endif
}

TEST_F(SerialPosix, FlowControlSwitchesTheTermiosFlags) {
  ASSERT_EQ(open_port(&port_), 0);
  EXPECT_EQ(serial_set_cts_flow(&port_, 1), 1);
  EXPECT_NE(slave_termios().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(serial_set_cts_flow(&port_, 0), 1);
  EXPECT_EQ(slave_termios().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(serial_set_rts_handshake(&port_, 1), 0);
  EXPECT_NE(slave_termios().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(serial_set_rts_handshake(&port_, 0), 0);
  EXPECT_EQ(slave_termios().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(serial_set_dtr(&port_, 1), 0);  // no modem lines: ignored
  serial_set_rts(&port_, 1);                // likewise
  serial_send_break(&port_);                // a pseudo-terminal takes it
  int status = 0;
  EXPECT_FALSE(serial_read_modem_status(&port_, &status)) << "a pseudo-terminal has no lines";
  EXPECT_EQ(serial_lost(&port_), 0);
}

// A port that takes nothing (the master never reads): a write ends at once
// on a stop request, and gives up after the stall bound with its reason on
// the record; neither hangs. The close after it does not wait either.
TEST_F(SerialPosix, WriteIntoAPortThatTakesNothingEnds) {
  const std::vector<uint8_t> big(1 << 20, 0x55);
  const struct {
    const char* what;
    bool stop;
    SerialFailure failure;
    const char* text;
  } cases[] = {
      {"stop requested", true, SERIAL_FAIL_WRITE, "a write to the port failed"},
      {"stalled", false, SERIAL_FAIL_WRITE_STALLED, "the port took no data for 300 ms"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(open_port(&port_), 0) << c.what;
    port_.writeStallMs = 300;
    if (c.stop) stop_request();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(serial_write(&port_, big.data(), static_cast<int>(big.size())), 0) << c.what;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(port_.failure, c.failure) << c.what;
    EXPECT_EQ(serial_write_failure_text(&port_).rfind(c.text, 0), 0u)
        << c.what << ": " << serial_write_failure_text(&port_);
    // Not before the port has taken nothing for the whole bound.
    if (!c.stop) {
      EXPECT_GE(took, std::chrono::milliseconds(300)) << c.what;
      // The device has had its time: the next write it takes nothing of
      // ends without waiting the bound again...
      const auto again = std::chrono::steady_clock::now();
      EXPECT_NE(serial_write(&port_, big.data(), 100), 0);
      EXPECT_EQ(port_.failure, SERIAL_FAIL_WRITE_STALLED);
      EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(300));
      // ...until it takes data again.
      EXPECT_FALSE(master_read(1 << 20).empty());
      EXPECT_EQ(serial_write(&port_, big.data(), 100), 0);
      EXPECT_EQ(port_.writeStalled, 0);
    }
    serial_close(&port_);
    stop_clear();
    // The master's side still holds what the port took; a fresh line for
    // the next case.
    close_master();
    ASSERT_TRUE(open_pty(&master_, &slave_));
  }
}

TEST(SerialPosixNames, PortNumbersCountFromTtyS0) {
  EXPECT_EQ(serial_device_name(1), "/dev/ttyS0");
  EXPECT_EQ(serial_device_name(12), "/dev/ttyS11");
}

}  // namespace

#endif  // _WIN32
