// The interactive terminal: one key and one received byte per pass.
#include "toolkit/terminal/terminal.h"

#include "common/common.h"
#include "common/console.h"
#include "common/job.h"
#include "common/stop.h"
#include "console/keys.h"
#include "serial/serial.h"
#include "toolkit/script/script.h"

namespace {

// Longest sleep of a pass in which nothing happened. The wait ends as soon
// as a key or a byte comes, so this only bounds how often an idle terminal
// wakes up.
constexpr int kIdleWaitMs = 100;

// F12: the boot loader's reset and entry.
constexpr int kResetPulseMs = 50;
constexpr int kEntryPauseMs = 500;
constexpr uint8_t kEntryByte = 0x5c;
constexpr uint8_t kEntryCommand = 0x63;

struct StatusLine {
  int bit;
  const char* text;
};

constexpr StatusLine kStatusLines[] = {
    {MS_CTS, "\nCTS_ON"}, {MS_DSR, "\nDSR_ON"}, {MS_RING, "\nRING_ON"}, {MS_RLSD, "\nRLSD_ON"}};

void show_modem_status(SerialPort* port) {
  const uint8_t modem = static_cast<uint8_t>(serial_modem_status(port));
  for (const StatusLine& line : kStatusLines) {
    if ((modem & line.bit) != 0) console_print("%s", line.text);
  }
}

void show_port_list() {
  console_print("\nF3");
  char list[kPortListSize] = {};
  list_ports(list, sizeof list, kPortListLimit);
  console_print("\nTest - all ports list:\n%s", list);
}

// The script sender on the job, with the percentage display.
void run_script(DownloadJob* job) {
  console_print("\nF5");
  const int result = tload(job, report_percent);
  console_print("\ntload %d", result);
}

void close_port(DownloadJob* job) {
  console_print("\nF6");
  serial_close(job->port);
}

// DTR pulse, then the loader's entry byte and, after its pause, the command.
void reset_target(SerialPort* port) {
  serial_set_dtr(port, 1);
  delay_ms(kResetPulseMs);
  serial_set_dtr(port, 0);
  serial_put(port, kEntryByte);
  delay_ms(kEntryPauseMs);
  serial_put(port, kEntryCommand);
}

// From here on only the port's bytes, each after a tab. Keys are no longer
// read; only a stop request (the process ending) leaves.
void watch(SerialPort* port) {
  uint8_t byte = 0;
  while (!stop_requested()) {
    if (serial_get(port, &byte)) {
      console_print("\t%c", byte);
    } else {
      serial_wait_input(port, kIdleWaitMs);
    }
  }
}

// Acts on the key just read (not F4, which the loop handles). True when
// the key ends the terminal.
bool act(int key, DownloadJob* job) {
  SerialPort* port = job->port;
  switch (key) {
    case kKeyEnd:
    case kKeyQuit:
      return true;
    case kKeyModemStatus:
      show_modem_status(port);
      break;
    case kKeyPortList:
      show_port_list();
      break;
    case kKeyScript:
      run_script(job);
      break;
    case kKeyClosePort:
      close_port(job);
      break;
    case kKeyReset:
      reset_target(port);
      break;
    default:
      // Write errors (a closed port) are not reported: the key is lost.
      serial_put(port, static_cast<uint8_t>(key & 0xFF));
      break;
  }
  return false;
}

}  // namespace

PortWait terminal_port_wait(SerialPort* port) {
  PortWait wait;
  wait.handle = serial_wait_handle(port);
  wait.open = serial_is_open(port) != 0;
  wait.port = port;
  wait.waitInput = serial_wait_input;
  return wait;
}

void terminal(DownloadJob* job, KeyInput* keys) {
  SerialPort* port = job->port;
  bool quit = false;
  while (!quit && !stop_requested()) {
    bool busy = false;
    if (keys->kbhit(keys)) {
      const int key = keys->getch(keys);
      busy = true;
      if (key == kKeyWatch) {
        watch(port);
        return;
      }
      quit = act(key, job);
    }
    uint8_t received = 0;
    if (serial_get(port, &received)) {
      console_print("%c", received);
      busy = true;
    }
    if (busy) continue;
    const PortWait wait = terminal_port_wait(port);
    keys->wait(keys, &wait, kIdleWaitMs);
  }
}
