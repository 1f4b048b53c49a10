#include <unistd.h>

#include "common/console.h"

bool console_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}
