#include "sim/options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum OptionId {
  kMode = 900,
  kIdleMs,
  kEcho,
  kTimes,
  kHas,
  kRefuseLine,
  kSilentLine,
  kTrace,
  kPort,
  kGen = 1000,
  kSubVersion,
  kOut,
  kLink,
  kBaud,
  kEraseMs,
  kOnce,
  kLog,
  kHelp,
  kVersion,
  kSilent,
  kEarlyAnswer,
  kNoSubVersion,
  kDFlood,
  kNakErase,
  kNoEraseReply,
  kStopAckAfter,
  kNoise,
  kVanishAfter,
  kNakFirst,
  kCancel,
  kSilentAfter,
  kCorruptAcks,
  kNakAlways,
};

const option kLongOptions[] = {
    {"mode", required_argument, nullptr, kMode},
    {"idle-ms", required_argument, nullptr, kIdleMs},
    {"echo", no_argument, nullptr, kEcho},
    {"times", required_argument, nullptr, kTimes},
    {"has", required_argument, nullptr, kHas},
    {"refuse-line", required_argument, nullptr, kRefuseLine},
    {"silent-line", required_argument, nullptr, kSilentLine},
    {"trace", required_argument, nullptr, kTrace},
    {"port", required_argument, nullptr, kPort},
    {"gen", required_argument, nullptr, kGen},
    {"sub-version", required_argument, nullptr, kSubVersion},
    {"out", required_argument, nullptr, kOut},
    {"link", required_argument, nullptr, kLink},
    {"baud", required_argument, nullptr, kBaud},
    {"erase-ms", required_argument, nullptr, kEraseMs},
    {"once", no_argument, nullptr, kOnce},
    {"log", no_argument, nullptr, kLog},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"silent", no_argument, nullptr, kSilent},
    {"early-answer", no_argument, nullptr, kEarlyAnswer},
    {"no-sub-version", no_argument, nullptr, kNoSubVersion},
    {"d-flood", required_argument, nullptr, kDFlood},
    {"nak-erase", no_argument, nullptr, kNakErase},
    {"no-erase-reply", no_argument, nullptr, kNoEraseReply},
    {"stop-ack-after", required_argument, nullptr, kStopAckAfter},
    {"noise", required_argument, nullptr, kNoise},
    {"vanish-after", required_argument, nullptr, kVanishAfter},
    {"nak-first", required_argument, nullptr, kNakFirst},
    {"cancel", no_argument, nullptr, kCancel},
    {"silent-after", required_argument, nullptr, kSilentAfter},
    {"corrupt-acks", no_argument, nullptr, kCorruptAcks},
    {"nak-always", no_argument, nullptr, kNakAlways},
    {nullptr, 0, nullptr, 0},
};

constexpr long kMaxCount = 1000000;

// Parses a whole decimal number within [low, high].
bool parse_number(const char* text, long low, long high, long* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// Name of a long option, as written on the command line.
std::string option_name(int id) {
  for (const option& entry : kLongOptions) {
    if (entry.val == id) return std::string("--") + entry.name;
  }
  return "?";
}

// Stores the number argument of option id in *field, or explains why not.
bool take_number(int id, long low, long high, long* field, std::string* error) {
  if (parse_number(optarg, low, high, field)) return true;
  *error = "bad value '" + std::string(optarg) + "' for " + option_name(id) + " (expected " +
           std::to_string(low) + ".." + std::to_string(high) + ")";
  return false;
}

bool take_int(int id, long low, long high, int* field, std::string* error) {
  long value = 0;
  if (!take_number(id, low, high, &value, error)) return false;
  *field = static_cast<int>(value);
  return true;
}

struct ModeName {
  const char* name;
  SimMode mode;
};
constexpr ModeName kModes[] = {{"boot", kModeBoot}, {"sink", kModeSink}, {"script", kModeScript}};

bool take_mode(SimOptions* out, std::string* error) {
  for (const ModeName& entry : kModes) {
    if (std::strcmp(optarg, entry.name) != 0) continue;
    out->mode = entry.mode;
    return true;
  }
  *error = "unknown mode '" + std::string(optarg) + "' (boot, sink or script)";
  return false;
}

bool is_block_fault(int id) {
  return id >= kEarlyAnswer && id <= kVanishAfter;
}
bool is_xmodem_fault(int id) {
  return id >= kNakFirst && id <= kNakAlways;
}

// Applies a switch without argument; false when id is not one.
bool apply_flag(int id, SimOptions* out) {
  switch (id) {
    case kOnce:
      out->once = true;
      return true;
    case kLog:
      out->log = true;
      return true;
    case kSilent:
      out->silent = true;
      return true;
    case kEarlyAnswer:
      out->earlyAnswer = true;
      return true;
    case kNoSubVersion:
      out->noSubVersion = true;
      return true;
    case kNakErase:
      out->nakErase = true;
      return true;
    case kNoEraseReply:
      out->noEraseReply = true;
      return true;
    case kCancel:
      out->cancel = true;
      return true;
    case kCorruptAcks:
      out->corruptAcks = true;
      return true;
    case kNakAlways:
      out->nakAlways = true;
      return true;
    case kEcho:
      out->echo = true;
      return true;
    default:
      return false;
  }
}

// Applies an option with an argument. False with *error set on a bad value.
bool apply_value(int id, SimOptions* out, std::string* error) {
  switch (id) {
    case kMode:
      return take_mode(out, error);
    case kIdleMs:
      return take_int(id, 0, 3600000, &out->idleMs, error);
    case kGen:
      return take_int(id, 1, 3, &out->gen, error);
    case kSubVersion:
      return take_int(id, 0, 255, &out->subVersion, error);
    case kOut:
      out->outPath = optarg;
      return true;
    case kHas:
      out->has = optarg;
      return true;
    case kRefuseLine:
      out->refuseLine = optarg;
      return true;
    case kSilentLine:
      out->silentLine = optarg;
      return true;
    case kLink:
      out->linkPath = optarg;
      return true;
    case kTimes:
      out->timesPath = optarg;
      return true;
    case kTrace:
      out->tracePath = optarg;
      return true;
    case kPort:
      out->portName = optarg;
      if (!out->portName.empty()) return true;
      *error = "--port needs the name of a serial port";
      return false;
    case kBaud:
      return take_number(id, 1, 100000000, &out->baud, error);
    case kEraseMs:
      return take_int(id, 0, 3600000, &out->eraseMs, error);
    case kDFlood:
      return take_int(id, 0, kMaxCount, &out->dFlood, error);
    case kStopAckAfter:
      return take_int(id, 0, INT_MAX, &out->stopAckAfter, error);
    case kNoise:
      return take_int(id, 0, kMaxCount, &out->noise, error);
    case kVanishAfter:
      return take_int(id, 0, INT_MAX, &out->vanishAfter, error);
    case kNakFirst:
      return take_int(id, 0, INT_MAX, &out->nakFirst, error);
    case kSilentAfter:
      return take_int(id, 0, INT_MAX, &out->silentAfter, error);
    default:
      *error = "internal: unhandled option";
      return false;
  }
}

// Text for an option getopt_long refused.
std::string refusal(int code, char** argv) {
  const char* word = argv[optind - 1];
  if (code == ':') return std::string("option ") + word + " needs a value";
  if (std::strchr(word, '=') != nullptr) return std::string("option ") + word + ": takes no value";
  return std::string("unknown option ") + word;
}

// Fault switches of one protocol make no sense with the other generation.
bool check_generation(const SimOptions& opts, int blockFault, int xmodemFault, std::string* error) {
  if (opts.gen == 1 && blockFault != 0) {
    *error = option_name(blockFault) + " applies to generations 2 and 3 only";
    return false;
  }
  if (opts.gen != 1 && xmodemFault != 0) {
    *error = option_name(xmodemFault) + " applies to generation 1 only";
    return false;
  }
  return true;
}

}  // namespace

long port_rate(const SimOptions& opts) {
  return opts.baud > 0 ? opts.baud : kDefaultPortRate;
}

const char* usage_text() {
  return "usage: stoker-target [options]\n"
         "  --mode M             boot (a boot loader, default), sink (takes and records\n"
         "                       whatever the host sends) or script (a script interpreter)\n"
         "  --gen N              boot loader generation 1, 2 or 3 (default 3)\n"
         "  --sub-version V      byte answered to 'v', 0..255 (default 3)\n"
         "  --out FILE           write each session's received image to FILE\n"
         "  --link PATH          make PATH a symbolic link to the pseudo-terminal\n"
         "  --port PORT          play the board on this serial port (a device path, COMn\n"
         "                       on Windows, or a number n as stoker takes it) instead of\n"
         "                       a pseudo-terminal: raw 8N1 at --baud, else 115200\n"
         "  --baud B             pace both directions like a B-baud 8N1 line\n"
         "  --erase-ms MS        time the erase takes before its reply (default 0)\n"
         "  --once               exit after the first session\n"
         "  --log                trace to standard error\n"
         "  --trace FILE         record every read and write of the board's end of the\n"
         "                       line in FILE, in the wire trace format of stoker-kit\n"
         "  --help, --version    this text; the version\n"
         "generations 2 and 3:\n"
         "  --silent             never answer (also generation 1)\n"
         "  --early-answer       answer the entry byte once at once, then never\n"
         "  --no-sub-version     ignore 'v'\n"
         "  --d-flood N          send the generation letter N more times after 'v'\n"
         "  --nak-erase          refuse the erase with NAK\n"
         "  --no-erase-reply     send no erase reply\n"
         "  --stop-ack-after N   ACK the first N blocks only\n"
         "  --noise N            send N noise bytes before each block ACK\n"
         "  --vanish-after N     close the port for good after ACKing N blocks (exit 3)\n"
         "generation 1:\n"
         "  --nak-first N        NAK the first packet N times\n"
         "  --cancel             answer CAN instead of 'C'\n"
         "  --silent-after N     accept N packets, then never answer\n"
         "  --corrupt-acks       answer good packets with 0x07\n"
         "  --nak-always         NAK every packet\n"
         "sink:\n"
         "  --idle-ms MS         a session ends when the host is quiet this long (default\n"
         "                       1000; 0: never); --out is written as bytes arrive\n"
         "  --echo               send every byte back\n"
         "  --times FILE         write a line per byte as it arrives: the monotonic clock\n"
         "                       in microseconds, then the byte's value\n"
         "script (also --idle-ms, --echo; --out logs every line received):\n"
         "  --has A,B,C          names that request 1 (\"#1 name\") finds (0x06; else 0x05)\n"
         "  --refuse-line TEXT   answer lines containing TEXT with 0x05\n"
         "  --silent-line TEXT   never answer lines containing TEXT\n";
}

int parse_options(int argc, char** argv, SimOptions* out, std::string* error) {
  *out = SimOptions{};
  opterr = 0;
  optind = 1;
  int blockFault = 0;
  int xmodemFault = 0;
  for (;;) {
    const int id = getopt_long(argc, argv, ":", kLongOptions, nullptr);
    if (id == -1) break;
    if (id == '?' || id == ':') {
      *error = refusal(id, argv);
      return kOptionsBad;
    }
    if (id == kHelp) return kOptionsHelp;
    if (id == kVersion) return kOptionsVersion;
    if (is_block_fault(id) && blockFault == 0) blockFault = id;
    if (is_xmodem_fault(id) && xmodemFault == 0) xmodemFault = id;
    if (!apply_flag(id, out) && !apply_value(id, out, error)) return kOptionsBad;
  }
  if (optind < argc) {
    *error = std::string("unexpected argument ") + argv[optind];
    return kOptionsBad;
  }
  if (!out->portName.empty() && !out->linkPath.empty()) {
    *error = "--link names a pseudo-terminal: it does not go with --port";
    return kOptionsBad;
  }
  if (out->mode != kModeBoot && (blockFault != 0 || xmodemFault != 0)) {
    *error = option_name(blockFault != 0 ? blockFault : xmodemFault) +
             " applies to the boot loader (--mode boot) only";
    return kOptionsBad;
  }
  return check_generation(*out, blockFault, xmodemFault, error) ? kOptionsOk : kOptionsBad;
}
