#include "console/key_decoder.h"

namespace {

// What the held bytes are so far.
enum class Match {
  kPartial,  // the start of a sequence: keep holding
  kKey,      // a whole sequence of a known key
  kUnknown,  // a whole sequence of no known key: passed on as it is
  kBroken,   // the last byte can't continue a sequence: the bytes before it
             // are passed on, and it is read afresh
};

struct Result {
  Match match;
  int prefix;
  int scan;
};

constexpr Result kPartial = {Match::kPartial, 0, 0};
constexpr Result kUnknown = {Match::kUnknown, 0, 0};
constexpr Result kBroken = {Match::kBroken, 0, 0};

// Scan codes of F1 to F12: plain, with Shift, with Ctrl, with Alt.
struct FunctionCodes {
  uint8_t plain, shift, ctrl, alt;
};
constexpr FunctionCodes kFunctionKeys[12] = {
    {59, 84, 94, 104},  {60, 85, 95, 105},  {61, 86, 96, 106},    {62, 87, 97, 107},
    {63, 88, 98, 108},  {64, 89, 99, 109},  {65, 90, 100, 110},   {66, 91, 101, 111},
    {67, 92, 102, 112}, {68, 93, 103, 113}, {133, 135, 137, 139}, {134, 136, 138, 140},
};

// Scan codes of the cursor and editing keys.
constexpr int kHome = 71;
constexpr int kUp = 72;
constexpr int kPageUp = 73;
constexpr int kLeft = 75;
constexpr int kRight = 77;
constexpr int kEnd = 79;
constexpr int kDown = 80;
constexpr int kPageDown = 81;
constexpr int kInsert = 82;
constexpr int kDelete = 83;
// Shift+Tab comes as the function prefix and this code.
constexpr int kBackTab = 15;

// Largest parameter taken as a number; longer ones make the sequence unknown.
constexpr int kMaxParameter = 9999;

// Function key number (1 to 12) with the modifier parameter of the
// sequence (1 or absent: none; 1 + the sum of Shift 1, Alt 2, Ctrl 4).
Result function_key(int number, int modifier) {
  const int bits = modifier > 1 ? modifier - 1 : 0;
  return {Match::kKey, kKeyPrefixFunction, key_function_scan(number, bits)};
}

// Modifiers of the editing keys are not passed on: Ctrl+Page Up would
// otherwise share its code with F12.
Result editing_key(int scan) {
  return {Match::kKey, kKeyPrefixExtended, scan};
}

// The key of a cursor final (A to D, H, F), or 0.
int cursor_scan(uint8_t final) {
  switch (final) {
    case 'A':
      return kUp;
    case 'B':
      return kDown;
    case 'C':
      return kRight;
    case 'D':
      return kLeft;
    case 'H':
      return kHome;
    case 'F':
      return kEnd;
    default:
      return 0;
  }
}

// Up to two numbers separated by ';', each optional. first is -1 and second
// 1 when absent. False for anything else.
bool parse_parameters(const uint8_t* p, size_t n, int* first, int* second) {
  int values[2] = {-1, -1};
  int index = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == ';') {
      if (++index > 1) return false;
      continue;
    }
    if (p[i] < '0' || p[i] > '9') return false;
    int& value = values[index];
    value = (value < 0 ? 0 : value) * 10 + (p[i] - '0');
    if (value > kMaxParameter) return false;
  }
  *first = values[0];
  *second = values[1] < 0 ? 1 : values[1];
  return true;
}

// ESC [ n ~ and ESC [ n ; m ~ (VT220 and xterm; 11 to 15 are the older
// F1 to F5, 7 and 8 Home and End of rxvt).
Result tilde_key(int n, int modifier) {
  switch (n) {
    case 1:
    case 7:
      return editing_key(kHome);
    case 2:
      return editing_key(kInsert);
    case 3:
      return editing_key(kDelete);
    case 4:
    case 8:
      return editing_key(kEnd);
    case 5:
      return editing_key(kPageUp);
    case 6:
      return editing_key(kPageDown);
    case 23:
      return function_key(11, modifier);
    case 24:
      return function_key(12, modifier);
    default:
      break;
  }
  if (n >= 11 && n <= 15) return function_key(n - 10, modifier);
  if (n >= 17 && n <= 21) return function_key(n - 11, modifier);
  return kUnknown;
}

bool is_final(uint8_t byte) {
  return byte >= 0x40 && byte <= 0x7E;
}

// Parameter (0x30-0x3F) and intermediate (0x20-0x2F) bytes.
bool is_inner(uint8_t byte) {
  return byte >= 0x20 && byte <= 0x3F;
}

// A whole CSI sequence: params, then its final byte.
Result decode_csi(const uint8_t* params, size_t n, uint8_t final) {
  int first = -1;
  int second = 1;
  if (!parse_parameters(params, n, &first, &second)) return kUnknown;
  if (final == '~') return first < 0 ? kUnknown : tilde_key(first, second);
  if (first > 1) return kUnknown;
  if (final >= 'P' && final <= 'S') return function_key(final - 'P' + 1, second);
  if (const int scan = cursor_scan(final)) return editing_key(scan);
  if (final == 'Z' && n == 0) return {Match::kKey, kKeyPrefixFunction, kBackTab};
  return kUnknown;
}

// The bytes after ESC [.
Result classify_csi(const uint8_t* body, size_t n) {
  if (n == 0) return kPartial;
  if (body[0] == '[') {
    // Linux console: ESC [ [ A to ESC [ [ E are F1 to F5.
    if (n == 1) return kPartial;
    if (body[1] >= 'A' && body[1] <= 'E') return function_key(body[1] - 'A' + 1, 1);
    return is_final(body[1]) ? kUnknown : kBroken;
  }
  const uint8_t last = body[n - 1];
  if (is_inner(last)) return kPartial;
  if (is_final(last)) return decode_csi(body, n - 1, last);
  return kBroken;
}

// The bytes after ESC O (xterm's F1 to F4 and application cursor keys; the
// modifier as ESC O 2 P or ESC O 1 ; 2 P).
Result classify_ss3(const uint8_t* body, size_t n) {
  if (n == 0) return kPartial;
  const uint8_t last = body[n - 1];
  if ((last >= '0' && last <= '9') || last == ';') return kPartial;
  if (!is_final(last)) return kBroken;
  int first = -1;
  int second = 1;
  if (!parse_parameters(body, n - 1, &first, &second)) return kUnknown;
  const int modifier = n - 1 > 0 && second == 1 && first > 1 ? first : second;
  if (last >= 'P' && last <= 'S') return function_key(last - 'P' + 1, modifier);
  if (const int scan = cursor_scan(last)) return editing_key(scan);
  return kUnknown;
}

Result classify(const uint8_t* held, size_t count) {
  if (count == 1) return kPartial;
  if (held[1] == '[') return classify_csi(held + 2, count - 2);
  if (held[1] == 'O') return classify_ss3(held + 2, count - 2);
  return kBroken;
}

size_t pass_on(const uint8_t* bytes, size_t n, int* out) {
  for (size_t i = 0; i < n; ++i) out[i] = bytes[i];
  return n;
}

}  // namespace

size_t key_decoder_feed(KeyDecoder* decoder, uint8_t byte, int* out) {
  if (decoder->count == 0) {
    if (byte != kEscapeByte) {
      out[0] = byte;
      return 1;
    }
    decoder->held[0] = byte;
    decoder->count = 1;
    return 0;
  }
  decoder->held[decoder->count++] = byte;
  const Result result = classify(decoder->held, decoder->count);
  switch (result.match) {
    case Match::kPartial:
      if (decoder->count < kKeySequenceMax) return 0;
      return key_decoder_flush(decoder, out);  // too long for a key
    case Match::kKey:
      decoder->count = 0;
      out[0] = result.prefix;
      out[1] = kKeyScanCode | result.scan;
      return 2;
    case Match::kUnknown:
      return key_decoder_flush(decoder, out);
    case Match::kBroken:
      break;
  }
  const size_t n = pass_on(decoder->held, decoder->count - 1, out);
  decoder->count = 0;
  return n + key_decoder_feed(decoder, byte, out + n);
}

size_t key_decoder_flush(KeyDecoder* decoder, int* out) {
  const size_t n = pass_on(decoder->held, decoder->count, out);
  decoder->count = 0;
  return n;
}

bool key_decoder_holding(const KeyDecoder* decoder) {
  return decoder->count > 0;
}

int key_function_scan(int number, int modifiers) {
  if (number < 1 || number > 12) return 0;
  const FunctionCodes& codes = kFunctionKeys[number - 1];
  if ((modifiers & kKeyCtrl) != 0) return codes.ctrl;
  if ((modifiers & kKeyAlt) != 0) return codes.alt;
  if ((modifiers & kKeyShift) != 0) return codes.shift;
  return codes.plain;
}
