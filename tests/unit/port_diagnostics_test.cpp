// list_ports over a scripted probe (the list text, the probed numbers, the
// cut at a whole entry), the settings dump's texts, and the device lines of
// stoker-kit ports.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "app/kit_ports.h"
#include "common/console.h"
#include "serial/port_settings.h"
#include "serial/serial.h"
#include "toolkit/terminal/terminal.h"

namespace {

std::vector<int> g_probed;
std::vector<int> g_free;

int scripted_probe(int n) {
  g_probed.push_back(n);
  for (int f : g_free)
    if (f == n) return 0;
  return 2;
}

int every_port_free(int) {
  return 0;
}

struct PortList : testing::Test {
  PortProbe previous = nullptr;
  void SetUp() override {
    g_probed.clear();
    g_free.clear();
    previous = set_port_probe(scripted_probe);
  }
  void TearDown() override { set_port_probe(previous); }
};

TEST_F(PortList, ListsFreePortsAscendingWithACommaAfterEach) {
  g_free = {4, 1, 3, 999};
  char out[kPortListSize];
  EXPECT_EQ(list_ports(out, sizeof out, 1000), 4);
  EXPECT_STREQ(out, "1,3,4,999,");
  ASSERT_EQ(g_probed.size(), 999u);
  EXPECT_EQ(g_probed.front(), 1);
  EXPECT_EQ(g_probed.back(), 999);
}

TEST_F(PortList, NoFreePortGivesTheEmptyString) {
  char out[kPortListSize];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(list_ports(out, sizeof out, 20), 0);
  EXPECT_STREQ(out, "");
}

TEST_F(PortList, LimitOneProbesNothing) {
  g_free = {1};
  char out[kPortListSize];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(list_ports(out, sizeof out, 1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(g_probed.empty());
  EXPECT_EQ(list_ports(out, sizeof out, 0), 0);
  EXPECT_EQ(list_ports(out, sizeof out, -5), 0);
  EXPECT_TRUE(g_probed.empty());
}

TEST_F(PortList, LimitIsExclusive) {
  g_free = {3, 4};
  char out[kPortListSize];
  EXPECT_EQ(list_ports(out, sizeof out, 4), 1);
  EXPECT_STREQ(out, "3,");
  EXPECT_EQ(g_probed, (std::vector<int>{1, 2, 3}));
}

TEST_F(PortList, MorePortsThanTheBufferHoldsAreCutAtAWholeEntry) {
  set_port_probe(every_port_free);
  // Canaries after the buffer catch a write past it.
  char out[kPortListSize + 8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(list_ports(out, kPortListSize, 1000), 999) << "every port that opened is counted";
  const std::string list = out;
  EXPECT_LE(list.size(), kPortListSize - 1);
  // "1," to "9," take 18 characters, "10," on three each: 86 is the last
  // whole entry within 249.
  std::string expected;
  for (int n = 1; n <= 86; ++n) expected += std::to_string(n) + ",";
  EXPECT_EQ(list, expected);
  for (size_t i = kPortListSize; i < sizeof out; ++i) EXPECT_EQ(out[i], '#');
}

TEST_F(PortList, SmallBuffersKeepOnlyWholeEntries) {
  set_port_probe(every_port_free);
  char out[8];
  std::memset(out, '#', sizeof out);
  list_ports(out, 5, 100);
  EXPECT_STREQ(out, "1,2,");
  EXPECT_EQ(out[5], '#');
  std::memset(out, '#', sizeof out);
  list_ports(out, 1, 100);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(out[1], '#') << "nothing written past the capacity";
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(list_ports(out, 0, 100), 99);
  EXPECT_EQ(out[0], '#');
}

// A record as a Windows port gives it.
PortSettings windows_like() {
  PortSettings s;
  s.stateRead = true;
  s.timeoutsRead = true;
  const int32_t values[PS_STATE_COUNT] = {28, 115200, 1, 0,  0,  1,      0,    1,    0,
                                          0,  0,      0, 2,  0,  131071, 0,    2048, 512,
                                          8,  0,      0, 17, 19, -1,     -128, 0,    65535};
  for (int i = 0; i < PS_STATE_COUNT; ++i) s.state[i].value = values[i];
  const int32_t timeouts[PT_COUNT] = {0, 0, 2, 0, 0};
  for (int i = 0; i < PT_COUNT; ++i) s.timeouts[i].value = timeouts[i];
  return s;
}

const char kWindowsDump[] =
    "\nLength 28\nBaud 115200\nfBinary 1\nfParity 0\nfOutxCtsFlow 0\nfDtrControl 1"
    "\nfDsrSensitivity 0\nfTXContinueOnXoff 1\nfOutX 0\nfInX 0\nfErrorChar 0\nfNull 0"
    "\nfRtsControl 2\nfAbortOnError 0\nfDummy2 131071\nwReserved 0\nXonLim 2048\nXoffLim 512"
    "\nByteSize 8\nParity 0\nStopBits 0\nXonChar 17\nXoffChar 19\nErrorChar -1\nEofChar -128"
    "\nEvtChar 0\nwReserved1 65535";
const char kTimeoutDump[] =
    "\nReadIntervalTimeout 0\nReadTotalTimeoutMultiplier 0\nReadTotalTimeoutConstant 2"
    "\nWriteTotalTimeoutMultiplier 0\nWriteTotalTimeoutConstant 0";

struct SettingsDump : testing::Test {
  std::string screen;
  void SetUp() override { console_capture(&screen); }
  void TearDown() override { console_capture(nullptr); }
};

TEST_F(SettingsDump, EveryLineInOrderWithItsValue) {
  print_port_settings(windows_like());
  EXPECT_EQ(screen, std::string(kWindowsDump) + kTimeoutDump);
}

TEST_F(SettingsDump, UnreadableStatePrintsOneLineAndNoTimeouts) {
  PortSettings s = windows_like();
  s.stateRead = false;
  print_port_settings(s);
  EXPECT_EQ(screen, "\ncant access DCB");
}

TEST_F(SettingsDump, UnreadableTimeoutsEndTheDump) {
  PortSettings s = windows_like();
  s.timeoutsRead = false;
  print_port_settings(s);
  EXPECT_EQ(screen, std::string(kWindowsDump) + "\ncant access COMMTIMEOUTS");
}

TEST_F(SettingsDump, SettingsWithoutValueSayWhy) {
  PortSettings s = windows_like();
  s.state[PS_LENGTH].note = "no POSIX equivalent";
  s.state[PS_DTR_CONTROL].note = "not reported by the device";
  print_port_settings(s);
  EXPECT_EQ(screen.find("\nLength (no POSIX equivalent)\nBaud 115200\n"), 0u) << screen;
  EXPECT_NE(screen.find("\nfOutxCtsFlow 0\nfDtrControl (not reported by the device)\n"),
            std::string::npos)
      << screen;
}

TEST_F(SettingsDump, InvalidHandleCantBeRead) {
  dump_port_settings(kInvalidHandle);
  EXPECT_EQ(screen, "\ncant access DCB");
  EXPECT_EQ(port_settings_summary(kInvalidHandle), "cannot read the port's settings");
}

struct SummaryCase {
  const char* name;
  void (*change)(PortSettings* s);
  const char* line;
};

// The case's name in test listings.
void PrintTo(const SummaryCase& c, std::ostream* os) {
  *os << c.name;
}

void set(PortSettings* s, int item, int32_t value) {
  s->state[item].value = value;
}

const SummaryCase kSummaryCases[] = {
    // windows_like has RTS handshake: RTS/CTS flow.
    {"as read", [](PortSettings*) {}, "115200 8N1, flow RTS/CTS, DTR on, RTS handshake"},
    {"lines off, no flow",
     [](PortSettings* s) {
       set(s, PS_DTR_CONTROL, 0);
       set(s, PS_RTS_CONTROL, 0);
     },
     "115200 8N1, flow none, DTR off, RTS off"},
    {"7E2 with XON/XOFF",
     [](PortSettings* s) {
       set(s, PS_BYTE_SIZE, 7);
       set(s, PS_PARITY, 2);
       set(s, PS_STOP_BITS, 2);
       set(s, PS_RTS_CONTROL, 1);
       set(s, PS_IN_X, 1);
     },
     "115200 7E2, flow XON/XOFF, DTR on, RTS on"},
    {"odd, 1.5 stop bits, both flows",
     [](PortSettings* s) {
       set(s, PS_PARITY, 1);
       set(s, PS_STOP_BITS, 1);
       set(s, PS_OUT_X, 1);
     },
     "115200 8O1.5, flow RTS/CTS and XON/XOFF, DTR on, RTS handshake"},
    {"CTS flow, RTS toggle, mark parity",
     [](PortSettings* s) {
       set(s, PS_CTS_FLOW, 1);
       set(s, PS_RTS_CONTROL, 3);
       set(s, PS_PARITY, 3);
     },
     "115200 8M1, flow RTS/CTS, DTR on, RTS toggle"},
    {"a pseudo-terminal: no lines",
     [](PortSettings* s) {
       s->state[PS_DTR_CONTROL].note = "not reported by the device";
       s->state[PS_RTS_CONTROL].note = "not reported by the device";
     },
     "115200 8N1, flow none, DTR n/a, RTS n/a"},
    {"unknown rate and parity value",
     [](PortSettings* s) {
       s->state[PS_BAUD].note = "not reported by the device";
       set(s, PS_PARITY, 9);
       set(s, PS_RTS_CONTROL, 0);
     },
     "baud n/a 8?1, flow none, DTR on, RTS off"},
    {"unreadable", [](PortSettings* s) { s->stateRead = false; },
     "cannot read the port's settings"},
};

class SettingsSummary : public testing::TestWithParam<SummaryCase> {};

TEST_P(SettingsSummary, OneLine) {
  PortSettings s = windows_like();
  GetParam().change(&s);
  EXPECT_EQ(port_settings_line(s), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsSummary, testing::ValuesIn(kSummaryCases),
                         [](const testing::TestParamInfo<SummaryCase>& info) {
                           std::string name;
                           for (char c : std::string(info.param.name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

TEST(KitPorts, DeviceLineNamesWhatTheSystemKnows) {
  SerialDeviceInfo usb;
  usb.path = "/dev/serial/by-id/usb-FTDI_FT232R_A50-if00-port0";
  usb.target = "/dev/ttyUSB0";
  usb.vendorId = "0403";
  usb.productId = "6001";
  usb.manufacturer = "FTDI";
  usb.product = "FT232R USB UART";
  usb.serial = "A50";
  EXPECT_EQ(kit_device_line(usb),
            "/dev/serial/by-id/usb-FTDI_FT232R_A50-if00-port0 -> /dev/ttyUSB0  free  USB "
            "0403:6001  FTDI  FT232R USB UART  serial A50");
  SerialDeviceInfo plain;
  plain.path = "/dev/ttyS0";
  EXPECT_EQ(kit_device_line(plain), "/dev/ttyS0  free");
}

}  // namespace
