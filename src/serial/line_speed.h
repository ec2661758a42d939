// Baud rate and 8N1 framing on a POSIX terminal; the platform decides how an
// arbitrary (non-standard) rate is expressed.
#pragma once

#include <cstdint>

// Returns false, changing nothing, when the terminal settings cannot be read
// or the new ones are not accepted.
bool set_line_speed_8n1(int fd, uint32_t baud);

// The output rate the terminal has now; 0 when it cannot be read.
uint32_t line_speed(int fd);
