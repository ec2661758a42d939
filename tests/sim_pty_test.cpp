// vexlor-sim as the programmer meets it: a pty to open, bytes paced at the
// line's baud rate, and a clean end (dumps, log, symlink) on every way out.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "line_channel.h"
#include "support/address.h"
#include "support/e2e.h"
#include "support/pty_pair.h"
#include "support/raw_line.h"

using bytes = std::vector<uint8_t>;

TEST(SimPty, ReadBlockTakesItsWireTimeAtSlowBaud) {
  sim_target sim =
      start_simulator(VEXLOR_SIM_PATH, {"--once", "--baud", "9600", "--max-seconds", "20"});
  ASSERT_FALSE(sim.pty_path.empty());
  int fd = raw_open(sim.pty_path);
  send_bytes(fd, {start_byte});
  ASSERT_EQ(receive_bytes(fd, 1), bytes{ack_byte});

  // One byte in, 256 out, 10 bits each at 9600 baud: 267.7 ms, trickling.
  // Never early, in every block; a loaded machine only delays the reader, so
  // the quickest of three blocks shows the simulator's own pacing.
  double quickest_first_ms = 1e9;
  double quickest_all_ms = 1e9;
  for (int block = 0; block < 3; ++block) {
    send_bytes(fd, {read_command});
    send_bytes(fd, address_bytes(0x20000000));
    ASSERT_EQ(receive_bytes(fd, 2), (bytes{ack_byte, ack_byte}));
    const auto sent = test_clock::now();
    send_bytes(fd, {length_field(block_size)});
    bytes first = receive_bytes(fd, 64);
    const double first_ms = seconds_since(sent) * 1000;
    bytes rest = receive_bytes(fd, 256 - first.size());
    const double all_ms = seconds_since(sent) * 1000;
    EXPECT_EQ(first.size() + rest.size(), 256u);
    EXPECT_GT(all_ms, 266.0);
    quickest_first_ms = std::min(quickest_first_ms, first_ms);
    quickest_all_ms = std::min(quickest_all_ms, all_ms);
  }
  EXPECT_LT(quickest_first_ms, 150.0);
  EXPECT_LT(quickest_all_ms, 285.0);
  close(fd);
  EXPECT_EQ(finish_sim(sim), 0);
}

TEST(SimPty, AdapterHoldsEachAnswerUntilItsLatencyTimerFires) {
  const std::string dir = make_test_dir();
  sim_target sim = start_simulator(VEXLOR_SIM_PATH, {"--once", "--latency", "50", "--max-seconds",
                                                     "20", "--log", dir + "/sim.log"});
  ASSERT_FALSE(sim.pty_path.empty());
  int fd = raw_open(sim.pty_path);
  send_bytes(fd, {start_byte});
  ASSERT_EQ(receive_bytes(fd, 1), (bytes{ack_byte}));
  send_bytes(fd, {read_command});
  ASSERT_EQ(receive_bytes(fd, 1), (bytes{ack_byte}));
  close(fd);
  EXPECT_EQ(finish_sim(sim), 0);
  // The timer restarted with the packet that carried the first answer, so
  // the second waits for the next tick, 50 ms on. Timed on the simulator's
  // clock, which the reader's late wake-ups on a loaded machine do not move.
  std::vector<double> answers;
  for (const sim_event& e : read_sim_log(dir + "/sim.log")) {
    if (e.kind == "tx") answers.push_back(e.t);
  }
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_GT((answers[1] - answers[0]) * 1000, 40.0);
  std::filesystem::remove_all(dir);
}

TEST(SimPty, SessionEndsAtCloseWithDumpLogAndLinkRemoved) {
  const std::string dir = make_test_dir();
  write_file(dir + "/image.bin", {'A', 'B'});
  sim_target sim =
      start_simulator(VEXLOR_SIM_PATH,
                      {"--once", "--max-seconds", "20", "--link", dir + "/tty", "--log",
                       dir + "/sim.log", "--chatter", "55", "--load", "0x100:" + dir + "/image.bin",
                       "--dump", "0x100:4:" + dir + "/dump.bin", "--ready-file", dir + "/ready"});
  ASSERT_FALSE(sim.pty_path.empty());
  struct stat link_info {};
  ASSERT_EQ(lstat((dir + "/tty").c_str(), &link_info), 0);
  EXPECT_TRUE(S_ISLNK(link_info.st_mode));
  // A script waits for the ready file, which names the pty once it can be opened.
  const bytes ready = read_file(dir + "/ready");
  EXPECT_EQ(std::string(ready.begin(), ready.end()), sim.pty_path + "\n");
  // A second simulator does not take over the link of one still running.
  sim_target second = start_simulator(VEXLOR_SIM_PATH, {"--link", dir + "/tty"});
  EXPECT_TRUE(second.pty_path.empty());
  EXPECT_EQ(finish_sim(second), 1);
  EXPECT_EQ(std::filesystem::read_symlink(dir + "/tty"), sim.pty_path);

  int fd = raw_open(dir + "/tty");
  ASSERT_EQ(receive_bytes(fd, 1), bytes{0x55});  // chatter waited in the line
  send_bytes(fd, {start_byte, write_command});
  send_bytes(fd, address_bytes(0x102));
  send_bytes(fd, {length_field(1), 'C'});
  ASSERT_EQ(receive_bytes(fd, 4), (bytes{ack_byte, ack_byte, ack_byte, ack_byte}));
  close(fd);

  EXPECT_EQ(finish_sim(sim), 0);
  EXPECT_EQ(read_file(dir + "/dump.bin"), (bytes{'A', 'B', 'C', 0}));
  EXPECT_NE(lstat((dir + "/tty").c_str(), &link_info), 0);
  EXPECT_FALSE(std::filesystem::exists(dir + "/ready"));
  const bytes log_bytes = read_file(dir + "/sim.log");
  const std::string log(log_bytes.begin(), log_bytes.end());
  for (const char* event : {" tx 55\n", " open\n", " rx 7f\n", " tx 75", " rx 43\n", " close\n"}) {
    EXPECT_NE(log.find(event), std::string::npos) << event;
  }
  std::filesystem::remove_all(dir);
}

TEST(SimPty, VanishDropsTheLineAndStillDumps) {
  const std::string dir = make_test_dir();
  sim_target sim =
      start_simulator(VEXLOR_SIM_PATH, {"--max-seconds", "20", "--fault", "read.command:vanish",
                                        "--dump", "0:1:" + dir + "/dump.bin"});
  int fd = raw_open(sim.pty_path);
  send_bytes(fd, {start_byte});
  EXPECT_EQ(receive_bytes(fd, 1), bytes{ack_byte});
  send_bytes(fd, {read_command});
  EXPECT_TRUE(receive_bytes(fd, 1).empty());
  EXPECT_EQ(finish_sim(sim), 0);
  uint8_t byte = 0;
  EXPECT_LT(write(fd, &byte, 1), 1);  // as after an unplugged adapter
  close(fd);
  EXPECT_EQ(read_file(dir + "/dump.bin"), bytes{0});
  std::filesystem::remove_all(dir);
}

TEST(SimPty, TermWhileWaitingDumpsAndBadOptionsExitTwo) {
  const std::string dir = make_test_dir();
  sim_target sim =
      start_simulator(VEXLOR_SIM_PATH, {"--dump", "0x20000000:2:" + dir + "/dump.bin"});
  ASSERT_FALSE(sim.pty_path.empty());
  EXPECT_EQ(stop_process(sim.process).exit_code, 0);
  EXPECT_EQ(read_file(dir + "/dump.bin"), (bytes{0xFF, 0xFF}));

  sim_target bad = start_simulator(VEXLOR_SIM_PATH, {"--fault", "start:refuse@0"});
  EXPECT_TRUE(bad.pty_path.empty());
  EXPECT_EQ(finish_sim(bad), 2);
  std::filesystem::remove_all(dir);
}

// An application's prints on the real line, on the simulator's clock: its
// banner from the first open on, again and again, or a crash's fault line
// in its place, each never early.
TEST(SimPty, ApplicationPrintsByItself) {
  const std::string banner = "app v1\r\n";
  const std::string fault(app_fault_line);
  struct row {
    std::vector<std::string> extra;
    std::string printed;
    double at_least_ms;  // after the open
  };
  for (const row& r : {row{{"--app-every", "50"}, banner + banner + banner, 100},
                       row{{"--app-crash"}, fault + fault, 200}}) {
    SCOPED_TRACE(r.extra[0]);
    std::vector<std::string> args{"--once", "--max-seconds", "20", "--app-banner", "app v1\\r\\n"};
    args.insert(args.end(), r.extra.begin(), r.extra.end());
    sim_target sim = start_simulator(VEXLOR_SIM_PATH, args);
    ASSERT_FALSE(sim.pty_path.empty());
    const auto opened = test_clock::now();
    int fd = raw_open(sim.pty_path);
    const bytes printed = receive_bytes(fd, r.printed.size());
    EXPECT_GE(seconds_since(opened) * 1000, r.at_least_ms);
    EXPECT_EQ(std::string(printed.begin(), printed.end()), r.printed);
    close(fd);
    EXPECT_EQ(finish_sim(sim), 0);
  }
}

// The line channel (--lines-from) of the real simulator, with the test as
// the host on both the pty and the socket: a change waits for the bytes
// written before it, holds its sender until then, and lands after their
// wire time; the board then sees its reset pulse, and once released
// without its boot pin, starts its application, which prints its banner.
// The simulator's second line names what a programmer is run after for its
// lines to come here.
TEST(SimPty, LineChangeTakesItsPlaceAfterTheBytesBeforeIt) {
  const std::string dir = make_test_dir();
  const std::string channel = dir + "/lines";
  sim_target sim =
      start_simulator(VEXLOR_SIM_PATH, {"--once", "--baud", "9600", "--max-seconds", "20",
                                        "--wiring", "D1:R0:20", "--app-banner", "app v1\\r\\n",
                                        "--lines-from", channel, "--log", dir + "/sim.log"});
  ASSERT_FALSE(sim.pty_path.empty());
  EXPECT_EQ(read_line(sim.process, 5),
            "env LD_PRELOAD=" VEXLOR_LINE_RECORDER_PATH " VEXLOR_LINES_TO=" + channel);
  int fd = raw_open(sim.pty_path);
  const int host = line_channel_connect(channel);
  ASSERT_GE(host, 0);

  constexpr std::size_t noise = 100;  // bytes before the start byte, which the target ignores
  const std::string first = line_change_text({{control_line::rts, false}, 0, noise});
  ASSERT_EQ(send(host, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
  pollfd answer{host, POLLIN, 0};
  EXPECT_EQ(poll(&answer, 1, 100), 0) << "taken before the bytes it follows were in";
  send_bytes(fd, bytes(noise, 0x00));
  EXPECT_EQ(poll(&answer, 1, 5000), 1);
  char taken = 0;
  EXPECT_EQ(recv(host, &taken, 1, 0), 1);
  EXPECT_TRUE(line_channel_tell(host, {{control_line::dtr, true}, 0, noise}, 5000));
  EXPECT_TRUE(line_channel_tell(host, {{control_line::dtr, false}, 0, noise}, 5000));
  // The noise takes 104 ms on the wire, then the board starts in 20 ms: a
  // start byte that came sooner would be lost.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  send_bytes(fd, {start_byte});
  EXPECT_EQ(receive_bytes(fd, 1), bytes{ack_byte});
  for (const line_level change : {line_level{control_line::rts, true},
                                  {control_line::dtr, true},
                                  {control_line::dtr, false}}) {
    EXPECT_TRUE(line_channel_tell(host, {change, 0, noise + 1}, 5000));
  }
  EXPECT_EQ(receive_bytes(fd, 8), text_bytes("app v1\r\n"));
  close(host);
  close(fd);
  EXPECT_EQ(finish_sim(sim), 0);

  std::vector<std::string> order;
  double first_rx = -1;
  double first_change = -1;
  std::size_t received = 0;
  for (const sim_event& e : read_sim_log(dir + "/sim.log")) {
    if (e.kind == "rx" && first_rx < 0) first_rx = e.t;
    if (e.kind == "line" && first_change < 0) first_change = e.t;
    if (e.kind == "rx") received += e.bytes.size();
    if (e.kind == "line" || e.kind == "board")
      order.push_back(std::to_string(received) + " " + e.text);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"100 clear rts", "100 set dtr", "100 held in reset",
                                             "100 clear dtr", "100 starts its boot loader",
                                             "101 set rts", "101 set dtr", "101 held in reset",
                                             "101 clear dtr", "101 starts its application",
                                             "101 application prints its banner"}));
  // 100 bytes at 9600 baud take 104.2 ms to arrive from the first on.
  EXPECT_GE(first_change - first_rx, 0.1041);
  std::filesystem::remove_all(dir);
}
