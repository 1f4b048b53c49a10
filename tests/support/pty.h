// Pseudo-terminals for the tests of the POSIX port and console: the test
// holds the master side, the code under test opens the slave.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <string>

// Opens a master and names its slave. False when the system refuses.
inline bool open_pty(int* master, std::string* slavePath) {
  *master = posix_openpt(O_RDWR | O_NOCTTY);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
  const char* name = ptsname(*master);
  if (name == nullptr) return false;
  *slavePath = name;
  return true;
}
