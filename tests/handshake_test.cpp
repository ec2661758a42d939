// The acknowledge rule and the start handshake against a pty target.
#include <gtest/gtest.h>

#include "bootloader/bootloader.h"
#include "support/pty_pair.h"

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

struct Handshake : PtyPortTest {
  void SetUp() override { open_port(); }
};

}  // namespace

TEST_F(Handshake, FirstByteDecides) {
  send_bytes(pty, {ack_byte, 0x1F});
  EXPECT_TRUE(wait_ack(port, 10));
  const auto start = clock_type::now();
  EXPECT_FALSE(wait_ack(port, 10));  // the 0x1F refuses without using more tries
  EXPECT_LT(seconds_since(start), 0.05);
  send_bytes(pty, {0x00, ack_byte});
  EXPECT_FALSE(wait_ack(port, 10));
}

TEST_F(Handshake, NoTriesMeansNoRead) {
  send_bytes(pty, {ack_byte});
  EXPECT_FALSE(wait_ack(port, 0));
  EXPECT_FALSE(wait_ack(port, -3));
  EXPECT_TRUE(wait_ack(port, 1));  // the byte was left for the next reader
}

TEST_F(Handshake, EmptyTriesCostAReadAndAPauseEach) {
  const auto start = clock_type::now();
  EXPECT_FALSE(wait_ack(port, 3));
  const double took = seconds_since(start);
  EXPECT_GE(took, 3 * 0.14 - 0.01);
  EXPECT_LT(took, 3 * 0.14 + 0.15);
}

TEST_F(Handshake, AnswerAfterOneSecondIsInTime) {
  std::thread target = send_later(pty, {ack_byte}, 1000ms);
  EXPECT_TRUE(wait_ack(port, 10));
  target.join();
}

TEST_F(Handshake, AnswerAfterTwoSecondsIsTooLate) {
  std::thread target = send_later(pty, {ack_byte}, 2000ms);
  const auto start = clock_type::now();
  EXPECT_FALSE(wait_ack(port, 10));
  EXPECT_LT(seconds_since(start), 1.7);
  target.join();
}

TEST_F(Handshake, DeviceInitSendsTheStartByteAndReports) {
  send_bytes(pty, {ack_byte});
  testing::internal::CaptureStdout();
  EXPECT_TRUE(device_init(port));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "initializing device..\b\b - OK  \n");
  EXPECT_EQ(received_bytes(pty), std::vector<uint8_t>{start_byte});

  send_bytes(pty, {0x1F});
  testing::internal::CaptureStdout();
  EXPECT_FALSE(device_init(port));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "initializing device..\b\b - error\n");
}
