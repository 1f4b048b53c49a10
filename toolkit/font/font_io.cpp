// Delivering a packed font: over the port or into a ".bf" file (send_font),
// or as a C header (font_to_header).
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

// Room for the echo of the send string, as for the other transfers.
// A file written to disk reports progress before every this many bytes.
constexpr int kFileReportBytes = 1000;

enum ReadResult { READ_OK, READ_FAILED, READ_NO_MEMORY };

std::string os_reason(int code) {
  return code != 0 ? std::strerror(code) : "unknown error";
}

// Reads the whole file into *bytes.
ReadResult read_whole_file(const std::string& path, std::vector<uint8_t>* bytes,
                           std::string* detail) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    *detail = "cannot read font file " + path + ": it is a directory";
    return READ_FAILED;
  }
  errno = 0;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    *detail = "cannot open font file " + path + ": " + os_reason(errno);
    return READ_FAILED;
  }
  try {
    // The length as the file tells it first, so the buffer is allocated
    // once; then whatever follows (a file that grew, or one whose length
    // can't be told) in pieces.
    bytes->clear();
    int64_t length = 0;
    if (stream_length(file.get(), &length) && length > 0)
      bytes->resize(static_cast<size_t>(length));
    if (!bytes->empty()) bytes->resize(std::fread(bytes->data(), 1, bytes->size(), file.get()));
    read_rest(file.get(), bytes);
  } catch (const std::bad_alloc&) {
    *detail = "not enough memory to read font file " + path;
    return READ_NO_MEMORY;
  }
  if (std::ferror(file.get())) {
    *detail = "cannot read font file " + path + ": " + os_reason(errno);
    return READ_FAILED;
  }
  return READ_OK;
}

// A font read, checked and packed.
struct PackedFont {
  std::vector<uint8_t> file;
  BffFont font;
  BffPicture picture;
  std::vector<uint8_t> packed;
};

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

bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

int aborted(FontReport* report) {
  report->detail = "stopped before the end of the transfer";
  return FONT_ABORTED;
}

int port_failed(FontReport* report, int code) {
  report->detail = "writing to the port failed (error " + std::to_string(code) + ")";
  return FONT_WRITE_FAILED;
}

int send_to_port(const DownloadJob& job, const PackedFont& font, ProgressFn progress,
                 FontProgressScale scale, FontReport* report) {
  send_text_first(job.port, job.send);
  uint8_t head[kFontStreamHeadBytes];
  font_stream_head(report->bf, head);
  for (uint8_t byte : head) {
    const int code = serial_put(job.port, byte);
    if (code != 0) return port_failed(report, code);
  }
  // Whole blocks: the last one also carries the zeros behind the data.
  const int total = font_stream_total(report->bf);
  for (int offset = 0; offset < total; offset += kFontBlockBytes) {
    const int code = serial_write(job.port, font.packed.data() + offset, kFontBlockBytes);
    if (code != 0) return port_failed(report, code);
    if (report_progress(progress, scale.total, offset / scale.divisor) != 0) return aborted(report);
  }
  return FONT_OK;
}

int write_to_file(FILE* file, const PackedFont& font, ProgressFn progress, FontProgressScale scale,
                  FontReport* report) {
  uint8_t head[kFontStreamHeadBytes];
  font_stream_head(report->bf, head);
  errno = 0;
  bool written = std::fwrite(head, 1, sizeof head, file) == sizeof head;
  const int total = font_stream_total(report->bf);
  for (int i = 0; written && i < total; i += kFileReportBytes) {
    if (report_progress(progress, scale.total, i / scale.divisor) != 0) return aborted(report);
    const size_t piece = static_cast<size_t>(std::min(kFileReportBytes, total - i));
    written = std::fwrite(font.packed.data() + i, 1, piece, file) == piece;
  }
  if (written && std::fflush(file) == 0) return FONT_OK;
  report->detail = "cannot write " + report->output + ": " + os_reason(errno);
  return FONT_BF_UNWRITABLE;
}

int send_font_to(const DownloadJob& job, ProgressFn progress, FontReport* report) {
  const bool toFile = job.toFile != 0;
  if (!toFile && serial_is_open(job.port) == 0) {
    report->detail = "the port is not open";
    return FONT_PORT_CLOSED;
  }
  const std::string fontPath = job.path;
  PackedFont font;
  const ReadResult read = read_whole_file(fontPath, &font.file, &report->detail);
  if (read != READ_OK) return read == READ_NO_MEMORY ? FONT_NO_MEMORY : FONT_UNREADABLE;
  if (!check_font(fontPath, &font, report)) return FONT_BAD_FILE;
  if (!pack_font(&font, report)) return FONT_NO_MEMORY;

  FilePtr out;
  if (toFile) {
    report->path = font_file_path(fontPath);
    if (same_file(fontPath, report->path)) {
      report->detail = "writing " + report->path + " would overwrite the font file itself";
      return FONT_BF_UNWRITABLE;
    }
    errno = 0;
    out.reset(std::fopen(report->path.c_str(), "wb"));
    if (!out) {
      report->detail = "cannot create " + report->path + ": " + os_reason(errno);
      return FONT_BF_UNWRITABLE;
    }
    report->output = report->path;
  }
  report->path = cut_extension(report->path);

  const int total = font_stream_total(report->bf);
  // The port gets whole blocks; the file the data alone.
  const int blocks = (total + kFontBlockBytes - 1) / kFontBlockBytes;
  report->streamBytes =
      static_cast<long long>(kFontStreamHeadBytes) + (toFile ? total : blocks * kFontBlockBytes);
  const FontProgressScale scale = font_progress_scale(total);
  if (report_progress(progress, scale.total, 0) != 0) return aborted(report);
  if (!toFile) return send_to_port(job, font, progress, scale, report);

  const int result = write_to_file(out.get(), font, progress, scale, report);
  errno = 0;
  if (std::fclose(out.release()) != 0 && result == FONT_OK) {
    report->detail = "cannot write " + report->output + ": " + os_reason(errno);
    return FONT_BF_UNWRITABLE;
  }
  return result;
}

}  // namespace

int send_font(const DownloadJob* job, ProgressFn progress, FontReport* report) {
  FontReport local;
  FontReport* out = report != nullptr ? report : &local;
  *out = FontReport{};
  if (job == nullptr || job->path == nullptr) {
    out->detail = "no font file given";
    return FONT_UNREADABLE;
  }
  out->path = job->path;
  return send_font_to(*job, progress, out);
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
  const std::string fontPath = fontName + ".bff";
  PackedFont font;
  const ReadResult read = read_whole_file(fontPath, &font.file, &out->detail);
  if (read != READ_OK) return read == READ_NO_MEMORY ? FONT_HEADER_NO_MEMORY : FONT_UNREADABLE;
  if (!check_font(fontPath, &font, out)) return FONT_BAD_FILE;
  if (!pack_font(&font, out)) return FONT_HEADER_NO_PACKING;

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
