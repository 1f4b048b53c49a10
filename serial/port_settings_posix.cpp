// The settings of a POSIX serial port in the DCB's terms: what the terminal
// interface and the modem lines hold where they have an equivalent, and the
// port layer's read time-out.
#include <sys/ioctl.h>
#include <termios.h>

#include "serial/custom_baud.h"
#include "serial/flow_flags_posix.h"
#include "serial/port_settings.h"
#include "serial/serial.h"

namespace {

constexpr const char* kNoEquivalent = "no POSIX equivalent";
constexpr const char* kNotReported = "not reported by the device";
constexpr const char* kWriteBound =
    "no POSIX equivalent; a write gives up after 10 s without progress";

// DCB values of the settings that have one.
constexpr int32_t kDtrEnable = 1;
constexpr int32_t kRtsEnable = 1;
constexpr int32_t kRtsHandshake = 2;
constexpr int32_t kOneStopBit = 0;
constexpr int32_t kTwoStopBits = 2;
constexpr int32_t kMarkParity = 3;
constexpr int32_t kSpaceParity = 4;

void set(PortSettings* out, int item, int32_t value) {
  out->state[item] = PortSetting{value, nullptr};
}

int32_t byte_size(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

int32_t parity(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return kParityNone;
#ifdef CMSPAR
  if ((cflag & CMSPAR) != 0) return (cflag & PARODD) != 0 ? kMarkParity : kSpaceParity;
#else
  (void)kMarkParity;
  (void)kSpaceParity;
#endif
  return (cflag & PARODD) != 0 ? kParityOdd : kParityEven;
}

}  // namespace

void serial_read_port_settings(intptr_t handle, PortSettings* out) {
  *out = PortSettings{};
  const int fd = static_cast<int>(handle);
  termios tio{};
  if (handle == kInvalidHandle || tcgetattr(fd, &tio) != 0) return;
  out->stateRead = true;
  for (PortSetting& setting : out->state) setting.note = kNoEquivalent;

  int32_t baud = 0;
  if (custom_baud_get(fd, &baud) == 0) {
    set(out, PS_BAUD, baud);
  } else {
    out->state[PS_BAUD].note = kNotReported;
  }
  set(out, PS_PARITY_CHECK, (tio.c_iflag & INPCK) != 0 ? 1 : 0);
  set(out, PS_CTS_FLOW, (tio.c_cflag & kCtsFlow) != 0 ? 1 : 0);
  set(out, PS_OUT_X, (tio.c_iflag & IXON) != 0 ? 1 : 0);
  set(out, PS_IN_X, (tio.c_iflag & IXOFF) != 0 ? 1 : 0);
  set(out, PS_BYTE_SIZE, byte_size(tio.c_cflag));
  set(out, PS_PARITY, parity(tio.c_cflag));
  set(out, PS_STOP_BITS, (tio.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit);
  set(out, PS_XON_CHAR, static_cast<signed char>(tio.c_cc[VSTART]));
  set(out, PS_XOFF_CHAR, static_cast<signed char>(tio.c_cc[VSTOP]));

  // DTR and RTS as the lines stand (a pseudo-terminal has none).
  int lines = 0;
  const bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
  if (haveLines) {
    set(out, PS_DTR_CONTROL, (lines & TIOCM_DTR) != 0 ? kDtrEnable : 0);
  } else {
    out->state[PS_DTR_CONTROL].note = kNotReported;
  }
  if ((tio.c_cflag & kRtsFlow) != 0) {
    set(out, PS_RTS_CONTROL, kRtsHandshake);
  } else if (haveLines) {
    set(out, PS_RTS_CONTROL, (lines & TIOCM_RTS) != 0 ? kRtsEnable : 0);
  } else {
    out->state[PS_RTS_CONTROL].note = kNotReported;
  }

  // The port layer's reads: at most kSerialReadTimeoutMs each, no interval
  // or per-byte share. Its writes have no total time-out; they give up when
  // the device takes nothing for kSerialWriteStallMs.
  static_assert(kSerialWriteStallMs == 10000, "kWriteBound names the bound");
  out->timeoutsRead = true;
  out->timeouts[PT_READ_CONSTANT].value = kSerialReadTimeoutMs;
  out->timeouts[PT_WRITE_MULTIPLIER].note = kNoEquivalent;
  out->timeouts[PT_WRITE_CONSTANT].note = kWriteBound;
}
