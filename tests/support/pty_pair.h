// Pseudo-terminals in the tests: a pty whose master side plays the target,
// and bytes across either side of one.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "pty_link.h"

// Opens a pty as the simulator does (raw, the slave closed, the master
// non-blocking), so that the code under test opens it by name as it would
// open a real port. Throws when it cannot.
pty_link open_pty_pair();

// Writes bytes to one side of a pty: the master, as the target sends them,
// or the slave, as a host does. Throws when the write fails.
void send_bytes(int fd, const std::vector<uint8_t>& bytes);

// Sends bytes after a delay, from another thread; join before closing.
std::thread send_later(int fd, std::vector<uint8_t> bytes, std::chrono::milliseconds delay);

// What the other side has written, once `count` bytes are in or `timeout_s`
// has passed: a pty hands bytes over to the other side a moment after the
// write, later still on a loaded machine.
std::vector<uint8_t> receive_bytes(int fd, std::size_t count, double timeout_s = 3.0);

// Whether the tool as built can set a line to `rate`: any rate through
// termios2 on Linux; with the portable termios backend, the rates termios names.
bool line_rate_settable(uint32_t rate);
