// The terminal's progress reporter for the script sender.
#include <cstdint>

#include "common/console.h"
#include "toolkit/script/script.h"

int report_percent(int total, int done, const char* text) {
  // An empty script (total 0) has nothing left to do. The product is taken
  // in 64 bits, so a script of more than 21 MB can't overflow it.
  const int percent = total > 0 ? static_cast<int>(static_cast<int64_t>(done) * 100 / total) : 100;
  console_print("\n<%d> ", percent);
  if (text != nullptr && text[0] != '\0') console_print("%s\n", text);
  return 0;
}
