// Reading a font file from disk, and delivering the packed font: over the
// port or into a ".bf" file (send_font), or as a C header (font_to_header).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "common/file.h"
#include "common/job.h"
#include "serial/serial.h"
#include "toolkit/font/font.h"
#include "toolkit/text/text.h"

namespace {

// A file written to disk reports progress before every this many bytes.
constexpr int kFileReportBytes = 1000;

std::string os_reason(int code) {
  return code != 0 ? std::strerror(code) : "unknown error";
}

// How far loading a font got.
enum LoadStage { LOADED, LOAD_UNREADABLE, LOAD_BAD_FILE, LOAD_NO_MEMORY_READ, LOAD_NO_MEMORY_PACK };

// Reads the whole regular file into *bytes: the length it has when opened,
// never more (a file that grows while it is read, or a device, can't make
// it read without end).
LoadStage read_whole_file(const std::string& path, std::vector<uint8_t>* bytes,
                          std::string* detail) {
  std::string why;
  FilePtr file = open_regular_file(path.c_str(), &why);
  if (!file) {
    *detail = "cannot open font file " + path + ": " + why;
    return LOAD_UNREADABLE;
  }
  int64_t length = 0;
  if (!stream_length(file.get(), &length)) {
    *detail = "cannot read font file " + path + ": its length can't be told";
    return LOAD_UNREADABLE;
  }
  try {
    bytes->assign(static_cast<size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    *detail = "not enough memory to read font file " + path;
    return LOAD_NO_MEMORY_READ;
  }
  errno = 0;
  // A file that shrank reads shorter, and the font check tells what is missing.
  if (!bytes->empty()) bytes->resize(std::fread(bytes->data(), 1, bytes->size(), file.get()));
  if (std::ferror(file.get())) {
    *detail = "cannot read font file " + path + ": " + os_reason(errno);
    return LOAD_UNREADABLE;
  }
  return LOADED;
}

// Checks the font in font->file and records the problem in the report.
bool check_font(const std::string& path, PackedFont* font, FontReport* report) {
  report->problem = read_bff(font->file.data(), font->file.size(), &font->font, &font->picture);
  if (report->problem == BFF_OK) return true;
  report->detail = path + " is not a usable font: " +
                   bff_problem_text(report->problem, font->font, font->picture.size);
  return false;
}

// Packs the checked font into a packed buffer of at least (file length +
// 100) / 10 bytes. False when there is no memory for it.
bool pack_font(PackedFont* font, FontReport* report) {
  try {
    font->packed.assign((font->file.size() + 100) / 10, 0);
    report->records = pack_glyphs(font->font, &report->bf, font->picture, &font->packed);
  } catch (const std::bad_alloc&) {
    report->detail = "not enough memory to pack the font";
    return false;
  }
  return true;
}

LoadStage load(const std::string& path, PackedFont* font, FontReport* report) {
  const LoadStage read = read_whole_file(path, &font->file, &report->detail);
  if (read != LOADED) return read;
  if (!check_font(path, font, report)) return LOAD_BAD_FILE;
  return pack_font(font, report) ? LOADED : LOAD_NO_MEMORY_PACK;
}

bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

int aborted(FontReport* report) {
  report->detail = "stopped before the end of the transfer";
  return FONT_ABORTED;
}

int port_failed(FontReport* report, const SerialPort* port) {
  report->detail = serial_write_failure_text(port) + "; the target got part of the font";
  return FONT_WRITE_FAILED;
}

int send_to_port(const DownloadJob& job, const PackedFont& font, ProgressFn progress,
                 FontProgressScale scale, FontReport* report) {
  send_text_first(job.port, job.send);
  uint8_t head[kFontStreamHeadBytes];
  font_stream_head(report->bf, head);
  for (uint8_t byte : head) {
    const int code = serial_put(job.port, byte);
    if (code != 0) return port_failed(report, job.port);
  }
  // Whole blocks: the last one also carries the zeros behind the data.
  const int total = font_stream_total(report->bf);
  for (int offset = 0; offset < total; offset += kFontBlockBytes) {
    const int code = serial_write(job.port, font.packed.data() + offset, kFontBlockBytes);
    if (code != 0) return port_failed(report, job.port);
    if (report_progress(progress, scale.total, offset / scale.divisor) != 0) return aborted(report);
  }
  return FONT_OK;
}

// The stream bytes into the ".bf" file, which is replaced only once they
// are all written.
int write_to_file(const std::string& output, const PackedFont& font, ProgressFn progress,
                  FontProgressScale scale, FontReport* report) {
  const int total = font_stream_total(report->bf);
  std::vector<uint8_t> bytes(kFontStreamHeadBytes + static_cast<size_t>(total));
  font_stream_head(report->bf, bytes.data());
  for (int i = 0; i < total; i += kFileReportBytes) {
    if (report_progress(progress, scale.total, i / scale.divisor) != 0) return aborted(report);
    const int piece = std::min(kFileReportBytes, total - i);
    std::copy_n(font.packed.begin() + i, piece, bytes.begin() + kFontStreamHeadBytes + i);
  }
  std::string error;
  if (!write_file_replacing(output, bytes.data(), bytes.size(), &error)) {
    report->detail = error;
    return FONT_BF_UNWRITABLE;
  }
  report->output = output;
  return FONT_OK;
}

}  // namespace

int load_font(const char* path, PackedFont* font, FontReport* report) {
  switch (load(path != nullptr ? path : "", font, report)) {
    case LOADED:
      return FONT_OK;
    case LOAD_BAD_FILE:
      return FONT_BAD_FILE;
    case LOAD_NO_MEMORY_READ:
    case LOAD_NO_MEMORY_PACK:
      return FONT_NO_MEMORY;
    default:
      return FONT_UNREADABLE;
  }
}

int deliver_font(const DownloadJob* job, const PackedFont& font, ProgressFn progress,
                 FontReport* report) {
  const bool toFile = job->toFile != 0;
  if (!toFile && serial_is_open(job->port) == 0) {
    report->detail = "the port is not open";
    return FONT_PORT_CLOSED;
  }
  const std::string fontPath = job->path;
  report->path = fontPath;
  std::string output;
  if (toFile) {
    output = font_file_path(fontPath);
    report->path = output;
    if (same_file(fontPath, output)) {
      report->detail = "writing " + output + " would overwrite the font file itself";
      return FONT_BF_UNWRITABLE;
    }
  }
  report->path = cut_extension(report->path);

  const int total = font_stream_total(report->bf);
  // The port gets whole blocks; the file the data alone.
  const int blocks = (total + kFontBlockBytes - 1) / kFontBlockBytes;
  report->streamBytes =
      static_cast<long long>(kFontStreamHeadBytes) + (toFile ? total : blocks * kFontBlockBytes);
  const FontProgressScale scale = font_progress_scale(total);
  if (report_progress(progress, scale.total, 0) != 0) return aborted(report);
  if (!toFile) return send_to_port(*job, font, progress, scale, report);
  return write_to_file(output, font, progress, scale, report);
}

int send_font(const DownloadJob* job, ProgressFn progress, FontReport* report) {
  FontReport local;
  FontReport* out = report != nullptr ? report : &local;
  *out = FontReport{};
  if (job == nullptr || job->path == nullptr) {
    out->detail = "no font file given";
    return FONT_UNREADABLE;
  }
  out->path = job->path;
  if (job->toFile == 0 && serial_is_open(job->port) == 0) {
    out->detail = "the port is not open";
    return FONT_PORT_CLOSED;
  }
  PackedFont font;
  const int loaded = load_font(job->path, &font, out);
  if (loaded != FONT_OK) return loaded;
  return deliver_font(job, font, progress, out);
}

int font_to_header(const char* name, FontReport* report) {
  FontReport local;
  FontReport* out = report != nullptr ? report : &local;
  *out = FontReport{};
  if (name == nullptr) {
    out->detail = "no font name given";
    return FONT_UNREADABLE;
  }
  const std::string fontName = name;
  if (fontName.size() > kMaxFontNameLength) {
    out->detail = "the font name is " + std::to_string(fontName.size()) +
                  " characters long; at most " + std::to_string(kMaxFontNameLength) + " fit";
    return FONT_NAME_TOO_LONG;
  }
  PackedFont font;
  switch (load(fontName + ".bff", &font, out)) {
    case LOADED:
      break;
    case LOAD_BAD_FILE:
      return FONT_BAD_FILE;
    case LOAD_NO_MEMORY_READ:
      return FONT_HEADER_NO_MEMORY;
    case LOAD_NO_MEMORY_PACK:
      return FONT_HEADER_NO_PACKING;
    default:
      return FONT_UNREADABLE;
  }

  const std::string headerPath = cut_extension(fontName) + ".h";
  out->arrayName = font_array_name(fontName);
  std::string text;
  try {
    text = font_header_text(out->bf, font.packed, font.font.firstChar, out->arrayName);
  } catch (const std::bad_alloc&) {
    out->detail = "not enough memory for the header text";
    return FONT_HEADER_NO_PACKING;
  }
  std::string error;
  if (!write_file_replacing(headerPath, text.data(), text.size(), &error)) {
    out->detail = error;
    return FONT_HEADER_UNWRITABLE;
  }
  out->output = headerPath;
  return FONT_OK;
}
