// stoker-kit flash on several boards: the port list, the checks made before
// any port is touched, the run and its table.
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/kit_flash.h"
#include "app/stoker_cli.h"
#include "common/console.h"
#include "common/stop.h"
#include "serial/devices.h"
#include "serial/usb_port.h"

namespace {

constexpr const char* kWho = "stoker-kit flash";

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The entries of a comma-separated list, blanks around them dropped; false
// when one is empty.
bool split_list(const std::string& list, std::vector<std::string>* entries, std::string* error) {
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string entry =
        trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (entry.empty()) {
      *error = "the port list '" + list + "' has an empty entry";
      return false;
    }
    entries->push_back(entry);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// usb:VVVV:PPPP without #N: every board with these ids.
bool every_board_form(const std::string& text, UsbPortName* name) {
  std::string ignored;
  return usb_port_form(text) && usb_port_parse(text, name, &ignored) && name->serial.empty() &&
         name->index == 0;
}

GangBoard board_at(const std::string& label, const SerialDeviceInfo& device) {
  GangBoard board;
  board.label = label;
  board.device = serial_device_open_path(device);
  board.serial = device.serial;
  return board;
}

// The boards of a usb: entry: the one it names, or with usb:VVVV:PPPP every
// one with these ids, each under its device's name.
bool add_usb_entry(const std::string& entry, const std::vector<SerialDeviceInfo>& candidates,
                   const KitScanRoots& roots, std::vector<GangBoard>* boards, std::string* error) {
  UsbPortName name;
  const bool every = every_board_form(entry, &name);
  if (!every && !usb_port_parse(entry, &name, error)) return false;
  SerialDeviceInfo found;
  int matches = 0;
  if (usb_port_pick(name, candidates, &found, &matches) == USB_PORT_FOUND ||
      (every && matches > 0)) {
    if (!every) {
      boards->push_back(board_at(entry, found));
      return true;
    }
    for (name.index = 1; name.index <= matches; ++name.index) {
      usb_port_pick(name, candidates, &found, &matches);
      boards->push_back(board_at(found.path, found));
    }
    return true;
  }
  // The single port's message, with the boards present (a scan that probes
  // each of them, as `ports` shows them).
  GangBoard board;
  board.label = entry;
  if (!kit_resolve_usb_port(entry, roots, &board.device, error)) return false;
  boards->push_back(std::move(board));
  return true;
}

bool add_entry(const std::string& entry, const std::vector<SerialDeviceInfo>& candidates,
               const KitScanRoots& roots, std::vector<GangBoard>* boards, std::string* error) {
  KitPortName name;
  if (!kit_parse_port(entry, &name, error)) return false;
  if (!name.usb.empty()) return add_usb_entry(entry, candidates, roots, boards, error);
  GangBoard board;
  board.label = entry;
  board.device = name.device.empty() ? serial_device_name(name.number) : name.device;
  boards->push_back(std::move(board));
  return true;
}

// The USB serial numbers of boards named by their device, from the scan.
void add_serials(const std::vector<SerialDeviceInfo>& scan, std::vector<GangBoard>* boards) {
  for (GangBoard& board : *boards) {
    if (!board.serial.empty()) continue;
    const std::string identity = serial_device_identity(board.device);
    for (const SerialDeviceInfo& device : scan) {
      if (device.serial.empty() ||
          serial_device_identity(serial_device_open_path(device)) != identity)
        continue;
      board.serial = device.serial;
      break;
    }
  }
}

// False when two boards are one port, however the entries name it.
bool all_different(const std::vector<GangBoard>& boards, std::string* error) {
  std::vector<std::string> identities;
  for (const GangBoard& board : boards) identities.push_back(serial_device_identity(board.device));
  for (size_t i = 0; i < boards.size(); ++i) {
    for (size_t j = i + 1; j < boards.size(); ++j) {
      if (identities[i] != identities[j]) continue;
      const std::string& a = boards[i].label;
      const std::string& b = boards[j].label;
      *error = a == b ? "the port " + a + " is listed twice"
                      : a + " and " + b + " are the same port (" + boards[i].device + ")";
      return false;
    }
  }
  return true;
}

bool check_trace_dir(const std::string& dir, std::string* error) {
  std::error_code failed;
  if (dir.empty() || std::filesystem::is_directory(dir, failed)) return true;
  *error = "--trace " + dir +
           " is not a directory: with several ports it names the directory that gets one trace "
           "file per board";
  return false;
}

// Creates each board's trace file in dir, named after its port; none of
// them when one can't be created.
bool start_traces(const std::string& dir, std::vector<GangBoard>* boards, std::string* error) {
  if (dir.empty()) return true;
  std::vector<std::string> labels;
  for (const GangBoard& board : *boards) labels.push_back(board.label);
  const std::vector<std::string> names = kit_gang_trace_names(labels);
  for (size_t i = 0; i < boards->size(); ++i) {
    const std::string path = (std::filesystem::path(dir) / names[i]).string();
    (*boards)[i].trace = serial_trace_create(path, error);
    if ((*boards)[i].trace) continue;
    *error = "no trace: " + *error;
    for (size_t j = 0; j < i; ++j) serial_trace_discard(std::move((*boards)[j].trace));
    return false;
  }
  return true;
}

// Status lines redrawn in place when standard output is a terminal that
// takes them and has room for them, with the cursor's line below them (more
// boards get a line per change).
void pick_display(size_t boards, GangSetup* setup) {
  int rows = 0;
  setup->display = GANG_LINES;
  if (!console_begin_redraw(&rows, &setup->columns)) return;
  if (rows == 0 || boards < static_cast<size_t>(rows)) setup->display = GANG_REDRAW;
}

void report_after_table(const std::vector<GangBoard>& boards,
                        const std::vector<GangResult>& results) {
  std::fflush(stdout);
  for (size_t i = 0; i < results.size(); ++i) {
    if (!results[i].traceError.empty())
      std::fprintf(stderr, "%s: the trace of %s is incomplete: %s\n", kWho, boards[i].label.c_str(),
                   results[i].traceError.c_str());
  }
  if (stop_requested())
    std::fprintf(stderr, "%s: stopped (%s); the boards not ok may be partly programmed\n", kWho,
                 stop_cause());
}

}  // namespace

bool kit_gang_form(const std::string& portArg) {
  UsbPortName name;
  return portArg.find(',') != std::string::npos || every_board_form(portArg, &name);
}

bool kit_gang_boards(const std::string& portArg, const KitScanRoots& roots,
                     std::vector<GangBoard>* boards, std::string* error) {
  std::vector<std::string> entries;
  if (!split_list(portArg, &entries, error)) return false;
  const std::vector<SerialDeviceInfo> scan =
      serial_scan_devices(roots.dev.c_str(), roots.sys.c_str(), false);
  const std::vector<SerialDeviceInfo> candidates = usb_port_candidates(scan);
  for (const std::string& entry : entries) {
    if (!add_entry(entry, candidates, roots, boards, error)) return false;
  }
  add_serials(scan, boards);
  return all_different(*boards, error);
}

int kit_flash_gang(const KitFlashArgs& args) {
  DownloadJob job;
  std::string settings;
  std::vector<GangBoard> boards;
  std::string error;
  if (!kit_flash_check(args, &job, &error) || !kit_settings(args.baud, &settings, &error) ||
      !kit_gang_boards(args.port, kit_scan_roots(), &boards, &error) ||
      !check_trace_dir(args.trace, &error)) {
    std::fprintf(stderr, "%s: %s\n", kWho, error.c_str());
    return 1;
  }
  LoadedImage image;
  const int loaded = download_load_image(&job, &image);
  if (loaded != RESULT_OK) {
    std::fprintf(stderr, "%s: the image cannot be flashed (code %d): %s\n", kWho, loaded,
                 download_failure_text(job, loaded).c_str());
    return 1;
  }
  if (!start_traces(args.trace, &boards, &error)) {
    std::fprintf(stderr, "%s: %s\n", kWho, error.c_str());
    return 1;
  }
  GangSetup setup;
  setup.job = job;
  setup.settings = settings;
  setup.image = &image;
  pick_display(boards.size(), &setup);
  const std::vector<GangResult> results = kit_gang_run(&boards, setup);
  console_end_redraw();
  console_print("%s", kit_gang_table(boards, results).c_str());
  report_after_table(boards, results);
  return kit_gang_exit_status(results);
}
