// A minimal host side of a line: a pty opened raw, whole writes, and reads
// under a time-out. The benchmarks' lean client and pacing check drive the
// simulator's pty through it, and the tests their pty targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Opens the pty raw for reading and writing; -1 on failure.
int raw_open(const std::string& path);

// Writes every byte, waiting while a non-blocking line is full; false on a
// failed write.
bool raw_write(int fd, const uint8_t* bytes, std::size_t n);

// Reads up to n bytes; returns how many came before timeout_s passed or the
// line failed (hung up, say).
std::size_t raw_read(int fd, uint8_t* buffer, std::size_t n, double timeout_s);

// Sends the start byte and takes its acknowledge, so that the simulator has
// seen the port open before anything is timed.
bool raw_handshake(int fd);
