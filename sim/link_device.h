// The platform side of the link: the device the board's bytes cross (a
// pseudo-terminal's master or a serial port) and the stop request that ends
// every wait. link.cpp models the line over these few operations;
// link_posix.cpp and link_win32.cpp implement them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/link.h"

// device_wait results: bits.
constexpr int kDeviceQuiet = 0;  // the time passed
constexpr int kDeviceInput = 1;  // input waits to be read, or the device hung up
constexpr int kDeviceStop = 2;   // a stop was requested

// device_read result of a device that hung up or failed.
constexpr long kDeviceGone = -1;

// The device a port name stands for: a number n is the port that stoker
// takes for n (COMn; /dev/ttyS(n-1) on POSIX), anything else names the
// device itself. Shared by the platforms.
std::string device_path_of(const std::string& name);

// Creates a pseudo-terminal, its slave raw and held open; *path names the
// slave. Null with *error set on failure.
LinkDevicePtr device_open_pty(std::string* path, std::string* error);

// Opens the serial port `name` raw 8N1 at rate; *path names the device
// opened. Null with *error set on failure.
LinkDevicePtr device_open_port(const std::string& name, long rate, std::string* path,
                               std::string* error);

// Waits up to timeoutMs (-1: no limit) until input is there to read (only
// when watchInput) or a stop is requested. kDeviceQuiet, or the bits of what
// ended the wait. A stop, once requested, ends every later wait at once.
int device_wait(LinkDevice* device, int timeoutMs, bool watchInput);

// Reads up to count bytes of what the host has sent, without waiting: the
// number read, 0 when none is there, kDeviceGone after a hang-up or failure.
long device_read(LinkDevice* device, uint8_t* data, size_t count);

// Writes what the device takes now (a host that does not read loses the
// rest, as on a real line). The number of bytes it took.
size_t device_write(LinkDevice* device, const uint8_t* data, size_t count);

// Whether bytes the host has sent wait in the device, not read yet.
bool device_input_waiting(LinkDevice* device);

// Whether bytes written may not have reached the host yet: unread on a
// pseudo-terminal, not yet sent by a serial port.
bool device_output_unread(LinkDevice* device);
