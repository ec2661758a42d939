// A pseudo-terminal whose master side plays the target in unit tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serial/serial_port.h"

struct pty_pair {
  int master = -1;
  std::string slave_path;
};

// Opens a pty in raw mode and closes the slave side, so that the code under
// test opens it by name as it would open a real port.
pty_pair open_pty_pair();
void close_pty_pair(pty_pair& pty);

// Writes bytes to the master, as the target sends them.
void send_bytes(const pty_pair& pty, const std::vector<uint8_t>& bytes);

// Sends bytes after a delay, from another thread; join before closing.
std::thread send_later(const pty_pair& pty, std::vector<uint8_t> bytes,
                       std::chrono::milliseconds delay);

// Everything the code under test has written so far (non-blocking).
std::vector<uint8_t> received_bytes(const pty_pair& pty);

// What the code under test has written, once `count` bytes are in or
// `timeout_s` has passed: a pty hands bytes over to the other side a moment
// after the write, later still on a loaded machine.
std::vector<uint8_t> receive_bytes(const pty_pair& pty, std::size_t count, double timeout_s = 2.0);

double seconds_since(std::chrono::steady_clock::time_point start);

// Whether the tool as built can set a line to `rate`: any rate through
// termios2 on Linux; with the portable termios backend, the rates termios names.
bool line_rate_settable(uint32_t rate);

// The quickest of `runs` timings of `step`. A loaded machine only ever adds
// time, so the quickest run shows what the code itself takes.
template <typename Step>
double quickest_of(int runs, Step step) {
  double quickest = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    step();
    quickest = std::min(quickest, seconds_since(start));
  }
  return quickest;
}

// A test with a pty target and the port under test open on its slave side.
struct PtyPortTest : ::testing::Test {
  pty_pair pty = open_pty_pair();
  port_handle port = nullptr;
  void open_port() {
    port = port_open(pty.slave_path);
    ASSERT_NE(port, nullptr);
  }
  void TearDown() override {
    port_close(port);
    close_pty_pair(pty);
  }
};
