// The acknowledge rule and the start handshake against a pty target.
#include <gtest/gtest.h>

#include "bootloader/bootloader.h"
#include "support/pty_port_test.h"

using namespace std::chrono_literals;

namespace {

struct Handshake : PtyPortTest {
  void SetUp() override { open_port(); }
};

}  // namespace

TEST_F(Handshake, FirstByteDecides) {
  send_bytes(pty.master, {ack_byte, refusal_byte, 0x00, ack_byte});
  EXPECT_TRUE(wait_ack(port, 10));
  EXPECT_FALSE(wait_ack(port, 10));  // the simulator's refusal byte refuses,
  EXPECT_FALSE(wait_ack(port, 10));  // and so does any byte but the acknowledge,
  EXPECT_TRUE(wait_ack(port, 1));    // each using no more tries: the acknowledge after is left
}

TEST_F(Handshake, NoTriesMeansNoRead) {
  send_bytes(pty.master, {ack_byte});
  EXPECT_FALSE(wait_ack(port, 0));
  EXPECT_FALSE(wait_ack(port, -3));
  EXPECT_TRUE(wait_ack(port, 1));  // the byte was left for the next reader
}

// The exact count of reads and pauses is checked in-process (target_faults_test.cpp);
// here the real port's time-out and the real pause add up.
TEST_F(Handshake, EmptyTriesCostAReadAndAPauseEach) {
  const double quickest = quickest_of(2, [&] { EXPECT_FALSE(wait_ack(port, 3)); });
  EXPECT_GE(quickest, 3 * 0.14);
  EXPECT_LT(quickest, 3 * 0.14 + 0.1);  // a fourth try would take 0.14 s more
}

TEST_F(Handshake, AnswerAfterOneSecondIsInTime) {
  std::thread target = send_later(pty.master, {ack_byte}, 1000ms);
  EXPECT_TRUE(wait_ack(port, 10));
  target.join();
}

TEST_F(Handshake, AnswerAfterTwoSecondsIsTooLate) {
  std::thread target = send_later(pty.master, {ack_byte}, 2000ms);
  const auto start = test_clock::now();
  EXPECT_FALSE(wait_ack(port, 10));  // so it gave up before the answer came
  EXPECT_GE(seconds_since(start), 1.4);
  target.join();
}

TEST_F(Handshake, DeviceInitSendsTheStartByteAndReports) {
  std::vector<bootloader_event> events;
  const event_sink record = [&](const bootloader_event& e) { events.push_back(e); };
  send_bytes(pty.master, {ack_byte});
  EXPECT_TRUE(device_init(port, record));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<handshake_begun>(events[0]));
  EXPECT_TRUE(std::get<handshake_ended>(events[1]).ok);
  EXPECT_EQ(receive_bytes(pty.master, 1), std::vector<uint8_t>{start_byte});

  events.clear();
  send_bytes(pty.master, {refusal_byte});
  EXPECT_FALSE(device_init(port, record));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(std::get<handshake_ended>(events[1]).ok);
  EXPECT_EQ(std::get<handshake_ended>(events[1]).reason,
            "the target refused the start byte (answered 0x1f): wrong baud rate or wiring?");
}
