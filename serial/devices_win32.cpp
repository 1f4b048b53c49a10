// The COM ports Windows knows (its DOS device names COMn), each with the
// driver's device behind it and probed with the port's exclusive open.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "serial/devices.h"
#include "serial/serial.h"

namespace {

// Every DOS device name, NUL-separated; empty when they can't be listed.
std::vector<char> dos_device_names() {
  std::vector<char> names(1 << 16);
  for (int tries = 0; tries < 6; ++tries) {
    const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n != 0) {
      names.resize(n);
      return names;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    names.resize(names.size() * 2);
  }
  return {};
}

// n for "COMn", else 0.
int com_number(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0') return 0;
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - name > 12) return 0;
  }
  return std::atoi(name + 3);
}

std::string device_behind(const char* name) {
  char target[1024];
  return QueryDosDeviceA(name, target, sizeof target) != 0 ? target : "";
}

}  // namespace

std::vector<SerialDeviceInfo> serial_scan_devices(const char*, const char*) {
  const std::vector<char> names = dos_device_names();
  std::vector<std::pair<int, std::string>> ports;
  for (size_t i = 0; i < names.size() && names[i] != '\0'; i += std::strlen(&names[i]) + 1) {
    const int n = com_number(&names[i]);
    if (n > 0) ports.emplace_back(n, &names[i]);
  }
  std::sort(ports.begin(), ports.end());
  std::vector<SerialDeviceInfo> found;
  for (const auto& [n, name] : ports) {
    SerialDeviceInfo info;
    info.path = name;
    info.target = device_behind(name.c_str());
    info.openError = serial_probe_device(serial_device_name(n).c_str());
    found.push_back(info);
  }
  return found;
}

std::string serial_device_state(int openError) {
  switch (openError) {
    case 0:
      return "free";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "busy";
    default:
      return "cannot open (error " + std::to_string(openError) + ")";
  }
}
