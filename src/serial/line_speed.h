// Baud rate and 8N1 framing on a POSIX terminal, the count of bytes that
// makes it readable, and whether its transmitter has emptied; the platform
// decides how an arbitrary (non-standard) rate is expressed, how cheaply a
// setting changes and whether the driver can tell.
#pragma once

#include <cstdint>
#include <optional>

// Returns false, changing nothing, when the terminal settings cannot be read
// or the new ones are not accepted.
bool set_line_speed_8n1(int fd, uint32_t baud);

// The output rate the terminal has now; 0 when it cannot be read.
uint32_t line_speed(int fd);

// VMIN: with VTIME 0 the line discipline reports the terminal readable only
// once this many bytes are in, so a block arrives in one wake-up instead of
// one per byte. A read hands over everything only with a count of 1, so
// readers set 1 again before they read. Changes only what differs.
bool set_read_minimum(int fd, uint8_t count);

// True once every byte written has left the transmitter (the driver's
// buffer, the FIFO and the shift register are empty); nothing where the
// driver cannot tell.
std::optional<bool> transmitter_empty(int fd);

// The settings this process knows of fd may be stale: it was opened anew,
// or changed by other means.
void forget_line_settings();
