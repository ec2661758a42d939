// The benchmark's own minimal host side of the line: the simulator's pty
// opened raw, whole writes, and exact reads under a time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Opens the pty raw for reading and writing; -1 on failure.
int raw_open(const std::string& path);

bool raw_write(int fd, const uint8_t* bytes, std::size_t n);

// Reads exactly n bytes; false when they do not all come within timeout_s.
bool raw_read(int fd, uint8_t* buffer, std::size_t n, double timeout_s);

// Sends the start byte and takes its acknowledge, so that the simulator has
// seen the port open before anything is timed.
bool raw_handshake(int fd);

double monotonic_s();
