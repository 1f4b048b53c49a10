// Baud rates outside the termios speed table (250000, for instance), where
// the platform can set them. Kept apart from the POSIX backend because the
// Linux interface needs kernel headers that clash with <termios.h>.
#pragma once

#include <cstdint>

// Sets the input and output rate of the open terminal fd to baud, leaving
// every other setting as it is. Call after the rest of the line settings
// were applied with tcsetattr. 0, or an errno value: EINVAL where the
// platform has no way to set an arbitrary rate.
int custom_baud_set(int fd, int32_t baud);

// The output rate of the open terminal fd, whether standard or not. 0, or an
// errno value when it can't be read.
int custom_baud_get(int fd, int32_t* baud);
