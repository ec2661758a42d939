// A test with a pty target and the port under test open on its slave side.
#pragma once

#include <gtest/gtest.h>

#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "support/timing.h"

struct PtyPortTest : ::testing::Test {
  pty_link pty = open_pty_pair();
  port_handle port = nullptr;
  void open_port() {
    port = port_open(pty.slave_path);
    ASSERT_NE(port, nullptr);
  }
  void TearDown() override {
    port_close(port);
    pty_close_master(pty);
  }
};
