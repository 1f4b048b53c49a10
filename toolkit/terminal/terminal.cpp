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

struct TerminalState {
  bool quit = false;
  int key = 0;
  char list[kPortListSize] = {};
  uint8_t received = 0;
  uint8_t modem = 0;
};

struct StatusLine {
  int bit;
  const char* text;
};

constexpr StatusLine kStatusLines[] = {
    {MS_CTS, "\nCTS_ON"}, {MS_DSR, "\nDSR_ON"}, {MS_RING, "\nRING_ON"}, {MS_RLSD, "\nRLSD_ON"}};

void show_modem_status(TerminalState* state, SerialPort* port) {
  state->modem = static_cast<uint8_t>(serial_modem_status(port));
  for (const StatusLine& line : kStatusLines) {
    if ((state->modem & line.bit) != 0) console_print("%s", line.text);
  }
}

void show_port_list(TerminalState* state) {
  console_print("\nF3");
  list_ports(state->list, sizeof state->list, kPortListLimit);
  console_print("\nTest - all ports list:\n%s", state->list);
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

// Acts on the key just read (not F4, which the loop handles).
void act(TerminalState* state, DownloadJob* job) {
  SerialPort* port = job->port;
  switch (state->key) {
    case kKeyEnd:
    case kKeyQuit:
      state->quit = true;
      break;
    case kKeyModemStatus:
      show_modem_status(state, port);
      break;
    case kKeyPortList:
      show_port_list(state);
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
      serial_put(port, static_cast<uint8_t>(state->key & 0xFF));
      break;
  }
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
  TerminalState state;
  SerialPort* port = job->port;
  while (!state.quit && !stop_requested()) {
    bool busy = false;
    if (keys->kbhit(keys)) {
      state.key = keys->getch(keys);
      busy = true;
      if (state.key == kKeyWatch) {
        watch(port);
        return;
      }
      act(&state, job);
    }
    if (serial_get(port, &state.received)) {
      console_print("%c", state.received);
      busy = true;
    }
    if (busy) continue;
    const PortWait wait = terminal_port_wait(port);
    keys->wait(keys, &wait, kIdleWaitMs);
  }
}
