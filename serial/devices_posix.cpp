// Serial devices on Linux and macOS: the device directory's serial names,
// each probed with the port's exclusive open, and on Linux the USB details
// that sysfs gives for the device behind each.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>

#include "serial/devices.h"
#include "serial/serial.h"

namespace {

// Steps from the tty's device up to the USB device that has the ids.
constexpr int kMaxSysfsDepth = 8;

// Splits "ttyUSB12" into "ttyUSB" and 12 (-1 without a number at the end).
std::pair<std::string, long> split_number(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  if (digits == name.size() || name.size() - digits > 9) return {name, -1};
  return {name.substr(0, digits), std::strtol(name.c_str() + digits, nullptr, 10)};
}

// ttyUSB2 before ttyUSB10.
bool natural_less(const std::string& a, const std::string& b) {
  return split_number(a) < split_number(b);
}

// The entries of dir whose names begin with prefix, in natural order.
std::vector<std::string> entries(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return names;
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end(), natural_less);
  return names;
}

// The first line of a small sysfs file, without trailing white space; ""
// when it can't be read.
std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

// The USB details of tty `name` from sysfs (root: its resolved path, empty
// when there is none): its device, then up towards the USB device that
// carries idVendor (the interface sits between them).
void usb_details(const std::string& root, const std::string& name, SerialDeviceInfo* info) {
  if (root.empty()) return;
  std::string dir = resolved(root + "/class/tty/" + name + "/device");
  for (int depth = 0; depth < kMaxSysfsDepth && dir.size() > root.size(); ++depth) {
    if (exists(dir + "/idVendor")) {
      info->vendorId = first_line(dir + "/idVendor");
      info->productId = first_line(dir + "/idProduct");
      info->manufacturer = first_line(dir + "/manufacturer");
      info->product = first_line(dir + "/product");
      info->serial = first_line(dir + "/serial");
      return;
    }
    dir.erase(dir.rfind('/'));
  }
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

SerialDeviceInfo describe(const std::string& path, const std::string& target,
                          const std::string& sysRoot, bool probe) {
  SerialDeviceInfo info;
  info.path = path;
  info.target = target;
  usb_details(sysRoot, base_name(target.empty() ? path : target), &info);
  info.openError = probe ? serial_probe_device(path.c_str()) : 0;
  return info;
}

// A built-in port without a UART behind it refuses to open with these.
bool answers(int openError) {
  return openError != EIO && openError != ENXIO && openError != ENODEV && openError != ENOENT;
}

}  // namespace

std::vector<SerialDeviceInfo> serial_scan_devices(const char* devRoot, const char* sysRoot,
                                                  bool probe) {
  const std::string dev = devRoot;
  const std::string sys = resolved(sysRoot);
  std::vector<SerialDeviceInfo> found;
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const std::string& name : entries(dev, prefix))
      found.push_back(describe(dev + "/" + name, "", sys, probe));
  }
  for (const std::string& name : entries(dev, "ttyS")) {
    SerialDeviceInfo info = describe(dev + "/" + name, "", sys, probe);
    if (answers(info.openError)) found.push_back(info);
  }
  const std::string byId = dev + "/serial/by-id";
  for (const std::string& name : entries(byId, "")) {
    const std::string path = byId + "/" + name;
    found.push_back(describe(path, resolved(path), sys, probe));
  }
#ifdef __APPLE__
  for (const std::string& name : entries(dev, "cu."))
    found.push_back(describe(dev + "/" + name, "", sys, probe));
#endif
  return found;
}

std::string serial_device_open_path(const SerialDeviceInfo& device) {
  return device.path;
}

std::string serial_device_state(int openError) {
  switch (openError) {
    case 0:
      return "free";
    case EBUSY:
      return "busy";
    case EACCES:
    case EPERM:
      return "no permission";
    default:
      return std::generic_category().message(openError);
  }
}
