// The POSIX serial layer against a real pseudo-terminal: time-outs, drain at
// open, raw bytes, and refusal of what is not a serial device.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>

#include "support/pty_port_test.h"
#include "support/test_files.h"

using namespace std::chrono_literals;

using SerialPort = PtyPortTest;

TEST(PortDeviceName, ComNamesPathsAndBareNames) {
  EXPECT_EQ(port_device_name("COM1"), "/dev/ttyS0");
  EXPECT_EQ(port_device_name("COM12"), "/dev/ttyS11");
  EXPECT_EQ(port_device_name("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(port_device_name("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(port_device_name("./link"), "./link");
  EXPECT_EQ(port_device_name("COM0"), "/dev/COM0");
  EXPECT_EQ(port_device_name("COMX"), "/dev/COMX");
  EXPECT_EQ(port_device_name("com3"), "/dev/com3");
}

TEST_F(SerialPort, SilentLineOneByteReadReturnsNothingAfterAbout40ms) {
  open_port();
  uint8_t byte = 0;
  const double quickest = quickest_of(3, [&] { EXPECT_EQ(port_read(port, &byte, 1), 0u); });
  EXPECT_GE(quickest, 0.040);
  EXPECT_LT(quickest, 0.1);  // not the 100 ms gap, not a longer total
}

TEST_F(SerialPort, ReadReturnsAtOnceWhenAllBytesAreThere) {
  open_port();
  std::vector<uint8_t> block(256);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  const double quickest = quickest_of(3, [&] {
    send_bytes(pty.master, block);
    std::vector<uint8_t> got(256);
    EXPECT_EQ(port_read(port, got.data(), got.size()), 256u);
    EXPECT_EQ(got, block);
  });
  EXPECT_LT(quickest, 0.05);  // no time-out waited for
}

TEST_F(SerialPort, PartialReadEndsWhenTheLineGoesQuietFor100ms) {
  open_port();
  send_bytes(pty.master, std::vector<uint8_t>(200, 0x5A));
  std::vector<uint8_t> got(256);
  const auto start = test_clock::now();
  EXPECT_EQ(port_read(port, got.data(), got.size()), 200u);
  const double took = seconds_since(start);
  EXPECT_GE(took, 0.100);
  EXPECT_LT(took, 1.0);  // not the 5.14 s total
}

TEST_F(SerialPort, TrickleEndsAtTheTotalTimeOut) {
  open_port();
  // A byte every 25 ms never trips the 100 ms gap, and 30 bytes would take
  // 750 ms: the 20 * 30 + 20 ms total ends the read with what has come.
  // A sender that the machine held up for most of the gap ends the read by
  // the gap rule instead; such a run proves nothing and is made again.
  constexpr std::size_t asked = 30;
  std::size_t n = 0;
  double took = 0;
  double longest_pause = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::atomic<bool> stop{false};
    longest_pause = 0;
    std::thread trickle([&] {
      auto last = test_clock::now();
      for (int i = 0; i < 40 && !stop; ++i) {
        send_bytes(pty.master, {0x33});
        longest_pause = std::max(longest_pause, seconds_since(last));
        last = test_clock::now();
        std::this_thread::sleep_for(25ms);
      }
    });
    std::vector<uint8_t> got(asked);
    const auto start = test_clock::now();
    n = port_read(port, got.data(), got.size());
    took = seconds_since(start);
    stop = true;
    trickle.join();
    if (longest_pause < 0.075) break;
    uint8_t rest = 0;
    while (port_read(port, &rest, 1) > 0) {
    }
  }
  EXPECT_GE(n, 3u);
  EXPECT_LT(n, asked);
  EXPECT_GE(took, 0.620);
  EXPECT_LT(took, 0.620 + 0.5);
}

TEST_F(SerialPort, OpenDrainsWhatTheLineAlreadyCarries) {
  send_bytes(pty.master, std::vector<uint8_t>(100, 0xEE));
  const auto start = test_clock::now();
  open_port();
  // One empty 16-byte read (340 ms) ends the drain.
  EXPECT_GE(seconds_since(start), 0.33);
  send_bytes(pty.master, {0x75});
  uint8_t byte = 0;
  ASSERT_EQ(port_read(port, &byte, 1), 1u);
  EXPECT_EQ(byte, 0x75);
}

TEST_F(SerialPort, DrainGivesUpOnALineThatNeverGoesQuiet) {
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop) {
      send_bytes(pty.master, {0x00});
      std::this_thread::sleep_for(20ms);
    }
  });
  const auto start = test_clock::now();
  port = port_open(pty.slave_path);
  const double took = seconds_since(start);
  stop = true;
  chatter.join();
  EXPECT_NE(port, nullptr);
  EXPECT_GE(took, 1.9);
  EXPECT_LT(took, 3.5);  // 2 s and the read under way, with room for the machine
}

TEST_F(SerialPort, BytesPassUnalteredBothWays) {
  open_port();
  ASSERT_TRUE(port_set_line(port, {115200}));
  // Flow-control, line-editing and signal characters are protocol bytes here.
  const std::vector<uint8_t> special = {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x04, 0x7F, 0x1A, 0xFF, 0x00};
  ASSERT_TRUE(port_write(port, special.data(), special.size()).ok);
  EXPECT_EQ(receive_bytes(pty.master, special.size()), special);
  send_bytes(pty.master, special);
  std::vector<uint8_t> got(special.size());
  EXPECT_EQ(port_read(port, got.data(), got.size()), special.size());
  EXPECT_EQ(got, special);
}

TEST_F(SerialPort, LineRatesAnyPositiveNothingElse) {
  open_port();
  EXPECT_TRUE(port_set_line(port, {115200}));
  if (line_rate_settable(250000)) {
    EXPECT_TRUE(port_set_line(port, {250000}));  // not a standard rate
  }
  EXPECT_TRUE(port_set_line(port, {2000000}));
  EXPECT_FALSE(line_rate_from(0));
  EXPECT_FALSE(line_rate_from(-9600));
  EXPECT_FALSE(port_set_line(nullptr, {9600}));
}

TEST_F(SerialPort, VanishedLineReadsNothingWithoutWaiting) {
  open_port();
  pty_close_master(pty);  // the adapter is unplugged
  uint8_t buffer[256];
  const auto start = test_clock::now();
  EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0u);
  EXPECT_LT(seconds_since(start), 1.0);  // not the 5.14 s a silent line would take
}

TEST(PortOpen, RefusesWhatIsNotASerialDevice) {
  const std::filesystem::path dir = make_test_dir();
  const auto file = dir / "not-a-port";
  const std::vector<uint8_t> content = {'k', 'e', 'e', 'p'};
  write_file(file.string(), content);
  const auto before = std::filesystem::last_write_time(file);

  EXPECT_EQ(port_open(file.string()), nullptr);
  EXPECT_EQ(port_open(dir.string()), nullptr);
  EXPECT_EQ(port_open("/dev/null"), nullptr);
  EXPECT_EQ(port_open((dir / "missing").string()), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));  // never created
  EXPECT_EQ(port_open(""), nullptr);
  EXPECT_EQ(port_open("/dev/" + std::string(300, 'x')), nullptr);

  EXPECT_EQ(read_file(file.string()), content);
  EXPECT_EQ(std::filesystem::last_write_time(file), before);
  std::filesystem::remove_all(dir);
  port_close(nullptr);  // closing no port does nothing
}

// The gap rule, judged while a block comes in: a pause of more than 100 ms
// between received bytes ends the read with what came before it; a shorter
// one does not. A sender that the machine held up far from the pause it
// meant proves nothing, and the row is tried again.
TEST_F(SerialPort, GapsOfMoreThan100msEndTheRead) {
  open_port();
  struct gap_row {
    int gap_ms;
    std::size_t got;  // of the 20 bytes, sent 10 before the gap and 10 after
  };
  for (const gap_row row : {gap_row{80, 20}, {120, 10}, {160, 10}, {200, 10}}) {
    SCOPED_TRACE(row.gap_ms);
    std::size_t got = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
      double paused = 0;
      std::thread sender([&] {
        send_bytes(pty.master, std::vector<uint8_t>(10, 0x44));
        const auto sent = test_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(row.gap_ms));
        paused = seconds_since(sent);
        send_bytes(pty.master, std::vector<uint8_t>(10, 0x55));
      });
      std::vector<uint8_t> buffer(64);
      got = port_read(port, buffer.data(), buffer.size());
      sender.join();
      uint8_t rest = 0;
      while (port_read(port, &rest, 1) > 0) {
      }
      if (std::abs(paused * 1000 - row.gap_ms) < 5) break;
    }
    EXPECT_EQ(got, row.got);
  }
}
