// The COM ports Windows knows (its DOS device names COMn), each with the
// driver's device behind it, probed with the port's exclusive open, and with
// the USB details of SetupAPI's port devices: hardware ids, serial number,
// maker and description.
#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "serial/devices.h"
#include "serial/serial.h"
#include "serial/usb_port.h"

namespace {

// The device setup class "Ports (COM & LPT)".
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A string property of a device; "" when it has none.
std::string device_property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
  char text[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyA(set, data, property, nullptr,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
    return "";
  return text;
}

// The port's name ("COM3") from the device's registry key; "" for none.
std::string port_name(HDEVINFO set, SP_DEVINFO_DATA* data) {
  const HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  char name[64] = {};
  DWORD size = sizeof name - 1;
  DWORD type = 0;
  const LONG result =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_SZ ? name : "";
}

std::string instance_id(DEVINST device) {
  char id[MAX_DEVICE_ID_LEN + 1] = {};
  return CM_Get_Device_IDA(device, id, sizeof id, 0) == CR_SUCCESS ? id : "";
}

// The USB details of one port device. An interface of a composite device
// ("&MI_" in its id) has its serial number on its parent, the device.
void usb_details(HDEVINFO set, SP_DEVINFO_DATA* data, SerialDeviceInfo* info) {
  const std::string id = instance_id(data->DevInst);
  if (!usb_ids_from_instance_id(id, info)) return;
  DEVINST parent = 0;
  if (info->serial.empty() && id.find("&MI_") != std::string::npos &&
      CM_Get_Parent(&parent, data->DevInst, 0) == CR_SUCCESS) {
    SerialDeviceInfo outer;
    if (usb_ids_from_instance_id(instance_id(parent), &outer)) info->serial = outer.serial;
  }
  info->manufacturer = device_property(set, data, SPDRP_MFG);
  info->product = device_property(set, data, SPDRP_DEVICEDESC);
}

// USB details of every present port device, by port name in upper case.
std::map<std::string, SerialDeviceInfo> usb_port_devices() {
  std::map<std::string, SerialDeviceInfo> found;
  const HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    std::string name = port_name(set, &data);
    if (name.empty()) continue;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    SerialDeviceInfo info;
    usb_details(set, &data, &info);
    found[name] = info;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

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

std::vector<SerialDeviceInfo> serial_scan_devices(const char*, const char*, bool probe) {
  const std::vector<char> names = dos_device_names();
  std::vector<std::pair<int, std::string>> ports;
  for (size_t i = 0; i < names.size() && names[i] != '\0'; i += std::strlen(&names[i]) + 1) {
    const int n = com_number(&names[i]);
    if (n > 0) ports.emplace_back(n, &names[i]);
  }
  std::sort(ports.begin(), ports.end());
  const std::map<std::string, SerialDeviceInfo> usb = usb_port_devices();
  std::vector<SerialDeviceInfo> found;
  for (const auto& [n, name] : ports) {
    const auto details = usb.find("COM" + std::to_string(n));
    SerialDeviceInfo info = details != usb.end() ? details->second : SerialDeviceInfo{};
    info.path = name;
    info.target = device_behind(name.c_str());
    info.openError = probe ? serial_probe_device(serial_device_name(n).c_str()) : 0;
    found.push_back(info);
  }
  return found;
}

std::string serial_device_open_path(const SerialDeviceInfo& device) {
  const int n = com_number(device.path.c_str());
  return n > 0 ? serial_device_name(n) : device.path;
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
