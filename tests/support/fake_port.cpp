#include "tests/support/fake_port.h"

#include <algorithm>

#include "common/common.h"

namespace {

FakePort* g_current = nullptr;

// What a write to a vanished device fails with (EIO).
constexpr int kVanishedWriteError = 5;

void virtual_delay(int ms) {
  if (g_current != nullptr && ms > 0) g_current->advance_ms(ms);
}

SteadyClock::time_point virtual_now() {
  const int64_t us = g_current != nullptr ? g_current->now_us() : 0;
  return SteadyClock::time_point(std::chrono::microseconds(us));
}

FakePort* fake(SerialPort* port) {
  return static_cast<FakePort*>(port->user);
}

int fake_open(SerialPort* port, const char*) {
  FakePort* f = fake(port);
  f->openTriesUs.push_back(f->now_us());
  if (f->onOpen) f->onOpen(*f);
  if (f->openError != 0) return f->openError;
  f->vanished = false;
  ++f->opens;
  port->handle = 3;
  return 0;
}

int fake_configure(SerialPort* port) {
  FakePort* f = fake(port);
  if (f->configureError != 0) return f->configureError;
  f->configuredBaud = port->baud;
  f->dtr = false;
  f->rtsHandshake = false;
  f->ctsFlow = false;
  return 0;
}

int fake_timeouts(SerialPort*) {
  return 0;
}

void fake_close(SerialPort* port) {
  fake(port)->events.push_back({FakeEvent::Close, fake(port)->now_us(), {}, false});
}

int fake_write(SerialPort* port, const uint8_t* data, int count) {
  return fake(port)->backend_write(data, count);
}

int fake_read(SerialPort* port, uint8_t* data, int count) {
  return fake(port)->backend_read(data, count);
}

void fake_set_dtr(SerialPort* port, bool on) {
  FakePort* f = fake(port);
  f->dtr = on;
  f->events.push_back({FakeEvent::Dtr, f->now_us(), {}, on});
  if (f->onDtr) f->onDtr(*f, on);
}

void fake_set_rts(SerialPort* port, bool on) {
  FakePort* f = fake(port);
  f->rtsHandshake = on;
  f->events.push_back({FakeEvent::Rts, f->now_us(), {}, on});
}

int fake_set_cts(SerialPort* port, bool on) {
  FakePort* f = fake(port);
  f->ctsFlow = on;
  f->events.push_back({FakeEvent::Cts, f->now_us(), {}, on});
  return 1;
}

void fake_set_rts_line(SerialPort* port, bool on) {
  FakePort* f = fake(port);
  f->rts = on;
  f->events.push_back({FakeEvent::RtsLine, f->now_us(), {}, on});
}

void fake_send_break(SerialPort* port) {
  FakePort* f = fake(port);
  f->events.push_back({FakeEvent::Break, f->now_us(), {}, false});
}

bool fake_present(SerialPort* port, const char*) {
  return fake(port)->openError == 0;
}

int fake_modem_status(SerialPort* port) {
  return fake(port)->modemBits;
}

int fake_wait_input(SerialPort* port, int ms) {
  return fake(port)->backend_wait_input(ms);
}

const SerialBackend kFakeBackend = {
    fake_open,       fake_configure,  fake_timeouts,     fake_close,   fake_write,
    fake_read,       fake_set_dtr,    fake_set_rts,      fake_set_cts, fake_modem_status,
    fake_wait_input, fake_send_break, fake_set_rts_line, fake_present};

}  // namespace

FakePort::FakePort() {
  port.backend = &kFakeBackend;
  port.user = this;
  g_current = this;
  previousHook_ = set_delay_hook(virtual_delay);
  previousClock_ = set_clock_hook(virtual_now);
}

FakePort::~FakePort() {
  set_delay_hook(previousHook_);
  set_clock_hook(previousClock_);
  if (g_current == this) g_current = nullptr;
}

int FakePort::open(const char* settings) {
  return serial_open_device(&port, "fake", settings);
}

void FakePort::send(const std::vector<uint8_t>& bytes, double delayMs) {
  int64_t at = nowUs_ + static_cast<int64_t>(delayMs * 1000.0);
  // Bytes arrive in order: never before those already queued.
  if (!incoming_.empty()) at = std::max(at, incoming_.back().timeUs);
  for (uint8_t b : bytes) incoming_.push_back({at, b});
}

void FakePort::send(const std::string& text, double delayMs) {
  send(std::vector<uint8_t>(text.begin(), text.end()), delayMs);
}

void FakePort::cancel_future() {
  while (!incoming_.empty() && incoming_.back().timeUs > nowUs_) incoming_.pop_back();
}

int FakePort::backend_read(uint8_t* data, int count) {
  ++reads;
  if (onRead) onRead(*this);
  if (vanished) {
    port.lost = 1;
    ++emptyReads;
    nowUs_ += 2000;  // as quiet as silence
    return 0;
  }
  if (deadLine) {
    ++emptyReads;
    return 0;
  }
  constexpr int64_t kReadTimeoutUs = 2000;
  // Nothing due yet: wait for the first byte, at most the read time-out.
  if (incoming_.empty() || incoming_.front().timeUs > nowUs_ + kReadTimeoutUs) {
    nowUs_ += kReadTimeoutUs;
    ++emptyReads;
    return 0;
  }
  nowUs_ = std::max(nowUs_, incoming_.front().timeUs);
  int n = 0;
  while (n < count && !incoming_.empty() && incoming_.front().timeUs <= nowUs_) {
    data[n++] = incoming_.front().byte;
    incoming_.pop_front();
  }
  return n;
}

int FakePort::backend_wait_input(int ms) {
  const int64_t deadline = nowUs_ + static_cast<int64_t>(ms) * 1000;
  if (vanished) port.lost = 1;
  if (!deadLine && !vanished && !incoming_.empty() && incoming_.front().timeUs <= deadline) {
    nowUs_ = std::max(nowUs_, incoming_.front().timeUs);
    return 1;
  }
  nowUs_ = deadline;
  return 0;
}

int FakePort::backend_write(const uint8_t* data, int count) {
  if (vanished) {
    port.lost = 1;
    return kVanishedWriteError;
  }
  if (writeError != 0) return writeError;
  int64_t perByte = usPerByte;
  if (perByte < 0) perByte = port.baud > 0 ? 10'000'000 / port.baud : 0;
  nowUs_ += perByte * count;
  std::vector<uint8_t> bytes(data, data + count);
  events.push_back({FakeEvent::Write, nowUs_, bytes, false});
  if (onWrite) onWrite(*this, bytes);
  return 0;
}

std::vector<uint8_t> FakePort::written() const {
  std::vector<uint8_t> all;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::Write) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

std::vector<FakeEvent> FakePort::writes() const {
  std::vector<FakeEvent> out;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::Write) out.push_back(e);
  return out;
}
