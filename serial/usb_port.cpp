#include "serial/usb_port.h"

#include <cctype>

namespace {

constexpr size_t kMaxIdDigits = 4;
constexpr int kMaxIndex = 9999;

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char l = lower(c);
  return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// One to four hex digits; false for anything else.
bool hex_id(std::string_view text, unsigned* value) {
  if (text.empty() || text.size() > kMaxIdDigits) return false;
  unsigned v = 0;
  for (char c : text) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  *value = v;
  return true;
}

// "VVVV:PPPP" with hex ids; false when text has another shape (a serial).
bool split_ids(std::string_view text, unsigned* vendor, unsigned* product) {
  const size_t colon = text.find(':');
  unsigned v = 0, p = 0;
  if (colon == std::string_view::npos || !hex_id(text.substr(0, colon), &v) ||
      !hex_id(text.substr(colon + 1), &p))
    return false;
  *vendor = v;
  *product = p;
  return true;
}

// The N of a "#N" suffix: 1 to kMaxIndex.
bool index_number(std::string_view text, int* index) {
  if (text.empty() || text.size() > 4 || text[0] == '0') return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *index = n;
  return n >= 1 && n <= kMaxIndex;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A link (a by-id name) to a device that the scan lists under its own name.
bool alias_of_listed(const SerialDeviceInfo& device, const std::vector<SerialDeviceInfo>& all) {
  if (device.target.empty()) return false;
  const std::string name = base_name(device.target);
  for (const SerialDeviceInfo& other : all) {
    if (other.target.empty() && base_name(other.path) == name) return true;
  }
  return false;
}

bool hex_matches(const std::string& text, unsigned id) {
  unsigned value = 0;
  return hex_id(text, &value) && value == id;
}

bool names_device(const UsbPortName& name, const SerialDeviceInfo& device) {
  if (!name.serial.empty()) return same_text_ignoring_case(device.serial, name.serial);
  return hex_matches(device.vendorId, name.vendorId) &&
         hex_matches(device.productId, name.productId);
}

// The four characters after key ("VID_"), in lower case; "" when absent.
std::string id_after(std::string_view id, std::string_view key) {
  for (size_t i = 0; i + key.size() + kMaxIdDigits <= id.size(); ++i) {
    if (!same_text_ignoring_case(id.substr(i, key.size()), key)) continue;
    std::string value(id.substr(i + key.size(), kMaxIdDigits));
    for (char& c : value) c = lower(c);
    unsigned ignored = 0;
    return hex_id(value, &ignored) ? value : "";
  }
  return "";
}

// The serial number a Windows instance id carries; "" when none.
std::string serial_of_instance_id(std::string_view id) {
  const size_t first = id.find('\\');
  if (first == std::string_view::npos) return "";
  const std::string_view bus = id.substr(0, first);
  const std::string_view rest = id.substr(first + 1);
  const size_t second = rest.find('\\');
  if (same_text_ignoring_case(bus, "USB")) {
    if (second == std::string_view::npos) return "";
    const std::string_view serial = rest.substr(second + 1);
    return serial.find('&') == std::string_view::npos ? std::string(serial) : "";
  }
  if (same_text_ignoring_case(bus, "FTDIBUS")) {
    const std::string_view ids = rest.substr(0, second);
    const size_t plus = ids.rfind('+');
    if (plus == std::string_view::npos || ids.size() - plus < 3) return "";
    return std::string(ids.substr(plus + 1, ids.size() - plus - 2));
  }
  return "";
}

}  // namespace

bool usb_ids_from_instance_id(std::string_view id, SerialDeviceInfo* device) {
  const std::string vendor = id_after(id, "VID_");
  const std::string product = id_after(id, "PID_");
  if (vendor.empty() || product.empty()) return false;
  device->vendorId = vendor;
  device->productId = product;
  device->serial = serial_of_instance_id(id);
  return true;
}

bool usb_port_form(std::string_view text) {
  return text.size() >= kUsbPortPrefix.size() &&
         same_text_ignoring_case(text.substr(0, kUsbPortPrefix.size()), kUsbPortPrefix);
}

bool usb_port_parse(std::string_view text, UsbPortName* name, std::string* error) {
  *name = UsbPortName{};
  if (!usb_port_form(text)) {
    *error = "not a usb: port name";
    return false;
  }
  std::string_view rest = text.substr(kUsbPortPrefix.size());
  const size_t hash = rest.rfind('#');
  if (hash != std::string_view::npos) {
    if (!index_number(rest.substr(hash + 1), &name->index)) {
      *error = "'" + std::string(text) + "': after '#' comes the board's number, 1 to 9999";
      return false;
    }
    rest = rest.substr(0, hash);
  }
  if (rest.empty()) {
    *error =
        "'" + std::string(text) + "' names no board: usb:SERIAL, usb:VVVV:PPPP or usb:VVVV:PPPP#N";
    return false;
  }
  if (!split_ids(rest, &name->vendorId, &name->productId)) name->serial = std::string(rest);
  return true;
}

std::vector<SerialDeviceInfo> usb_port_candidates(const std::vector<SerialDeviceInfo>& devices) {
  std::vector<SerialDeviceInfo> candidates;
  for (const SerialDeviceInfo& device : devices) {
    if (!device.vendorId.empty() && !alias_of_listed(device, devices)) candidates.push_back(device);
  }
  return candidates;
}

UsbPortMatch usb_port_pick(const UsbPortName& name, const std::vector<SerialDeviceInfo>& candidates,
                           SerialDeviceInfo* found, int* matches) {
  std::vector<const SerialDeviceInfo*> hits;
  for (const SerialDeviceInfo& device : candidates) {
    if (names_device(name, device)) hits.push_back(&device);
  }
  *matches = static_cast<int>(hits.size());
  if (hits.empty()) return USB_PORT_NONE;
  if (name.index == 0 && hits.size() > 1) return USB_PORT_SEVERAL;
  const size_t pick = name.index == 0 ? 0 : static_cast<size_t>(name.index - 1);
  if (pick >= hits.size()) return USB_PORT_TOO_FEW;
  *found = *hits[pick];
  return USB_PORT_FOUND;
}
