#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/console.h"

void console_write_stdout(const void* data, size_t size) {
  std::fflush(stdout);
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, next, size);
    if (n > 0) {
      next += n;
      size -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // a closed or failing output: what is shown is lost, as with printf
    }
  }
}

bool console_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

bool console_begin_redraw(int* rows, int* columns) {
  *rows = 0;
  *columns = 0;
  if (!console_is_terminal()) return false;
  // A terminal that says it moves no cursor gets plain lines.
  const char* term = std::getenv("TERM");
  if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0) return false;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
    *rows = size.ws_row;
    *columns = size.ws_col;
  }
  return true;
}

void console_end_redraw() {}
