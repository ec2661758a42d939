// vexlor-sim as the programmer meets it: a pty to open, bytes paced at the
// line's baud rate, and a clean end (dumps, log, symlink) on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/e2e.h"

using namespace std::string_literals;

namespace {

using clock_type = std::chrono::steady_clock;

struct sim_process {
  pid_t pid = -1;
  std::string pty_path;
};

std::string temp_dir()
{
  char pattern[] = "/tmp/vexlor-sim-test-XXXXXX";
  return mkdtemp(pattern);
}

// Starts the sim and reads the pty path it prints; pid stays -1 when it printed none.
sim_process start_sim(std::vector<std::string> args)
{
  args.insert(args.begin(), VEXLOR_SIM_PATH);
  int out[2];
  if (pipe(out) != 0) return {};
  sim_process sim;
  sim.pid = fork();
  if (sim.pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  pollfd watch{out[0], POLLIN, 0};
  char c = 0;
  while (poll(&watch, 1, 5000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') sim.pty_path += c;
  close(out[0]);
  return sim;
}

int wait_exit(sim_process& sim)
{
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(sim.pid, &status, WNOHANG) == sim.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10'000);
  }
  kill(sim.pid, SIGKILL);
  waitpid(sim.pid, &status, 0);
  return -1;
}

int open_port(const std::string& path)
{
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  termios mode{};
  tcgetattr(fd, &mode);
  cfmakeraw(&mode);
  tcsetattr(fd, TCSANOW, &mode);
  return fd;
}

std::vector<uint8_t> read_exactly(int fd, std::size_t count, int timeout_ms = 3000)
{
  std::vector<uint8_t> bytes;
  pollfd watch{fd, POLLIN, 0};
  while (bytes.size() < count && poll(&watch, 1, timeout_ms) == 1) {
    uint8_t buffer[512];
    ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
}

void send(int fd, std::vector<uint8_t> bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

std::string read_text(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(SimPty, ReadBlockTakesItsWireTimeAtSlowBaud)
{
  sim_process sim = start_sim({"--once", "--baud", "9600", "--max-seconds", "20"});
  ASSERT_FALSE(sim.pty_path.empty());
  int fd = open_port(sim.pty_path);
  send(fd, {0x7F});
  ASSERT_EQ(read_exactly(fd, 1), std::vector<uint8_t>{0x75});

  // One byte in, 256 out, 10 bits each at 9600 baud: 267.7 ms, trickling.
  // Never early, in every block; a loaded machine only delays the reader, so
  // the quickest of three blocks shows the simulator's own pacing.
  double quickest_first_ms = 1e9;
  double quickest_all_ms = 1e9;
  for (int block = 0; block < 3; ++block) {
    send(fd, {0x11, 0x20, 0x00, 0x00, 0x00});
    ASSERT_EQ(read_exactly(fd, 2), (std::vector<uint8_t>{0x75, 0x75}));
    const auto sent = clock_type::now();
    send(fd, {0xFF});
    std::vector<uint8_t> first = read_exactly(fd, 64);
    const double first_ms = std::chrono::duration<double, std::milli>(clock_type::now() - sent).count();
    std::vector<uint8_t> rest = read_exactly(fd, 256 - first.size());
    const double all_ms = std::chrono::duration<double, std::milli>(clock_type::now() - sent).count();
    EXPECT_EQ(first.size() + rest.size(), 256u);
    EXPECT_GT(all_ms, 266.0);
    quickest_first_ms = std::min(quickest_first_ms, first_ms);
    quickest_all_ms = std::min(quickest_all_ms, all_ms);
  }
  EXPECT_LT(quickest_first_ms, 150.0);
  EXPECT_LT(quickest_all_ms, 285.0);
  close(fd);
  EXPECT_EQ(wait_exit(sim), 0);
}

TEST(SimPty, AdapterHoldsEachAnswerUntilItsLatencyTimerFires)
{
  const std::string dir = temp_dir();
  sim_process sim = start_sim({"--once", "--latency", "50", "--max-seconds", "20", "--log", dir + "/sim.log"});
  ASSERT_FALSE(sim.pty_path.empty());
  int fd = open_port(sim.pty_path);
  send(fd, {0x7F});
  ASSERT_EQ(read_exactly(fd, 1), (std::vector<uint8_t>{0x75}));
  send(fd, {0x11});
  ASSERT_EQ(read_exactly(fd, 1), (std::vector<uint8_t>{0x75}));
  close(fd);
  EXPECT_EQ(wait_exit(sim), 0);
  // The timer restarted with the packet that carried the first answer, so
  // the second waits for the next tick, 50 ms on. Timed on the simulator's
  // clock, which the reader's late wake-ups on a loaded machine do not move.
  std::vector<double> answers;
  for (const sim_event& e : read_sim_log(dir + "/sim.log")) {
    if (e.kind == "tx") answers.push_back(e.t);
  }
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_GT((answers[1] - answers[0]) * 1000, 40.0);
  std::system(("rm -rf " + dir).c_str());
}

TEST(SimPty, SessionEndsAtCloseWithDumpLogAndLinkRemoved)
{
  const std::string dir = temp_dir();
  {
    std::ofstream image(dir + "/image.bin", std::ios::binary);
    image << "AB";
  }
  sim_process sim = start_sim({"--once", "--max-seconds", "20", "--link", dir + "/tty", "--log", dir + "/sim.log",
                               "--chatter", "55", "--load", "0x100:" + dir + "/image.bin", "--dump",
                               "0x100:4:" + dir + "/dump.bin"});
  ASSERT_FALSE(sim.pty_path.empty());
  struct stat link_info{};
  ASSERT_EQ(lstat((dir + "/tty").c_str(), &link_info), 0);
  EXPECT_TRUE(S_ISLNK(link_info.st_mode));

  int fd = open_port(dir + "/tty");
  ASSERT_EQ(read_exactly(fd, 1), std::vector<uint8_t>{0x55});  // chatter waited in the line
  send(fd, {0x7F, 0x31, 0x00, 0x00, 0x01, 0x02, 0x00, 0x43});
  ASSERT_EQ(read_exactly(fd, 4), (std::vector<uint8_t>{0x75, 0x75, 0x75, 0x75}));
  close(fd);

  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_EQ(read_text(dir + "/dump.bin"), "ABC\0"s);
  EXPECT_NE(lstat((dir + "/tty").c_str(), &link_info), 0);
  const std::string log = read_text(dir + "/sim.log");
  for (const char* event : {" tx 55\n", " open\n", " rx 7f\n", " tx 75", " rx 43\n", " close\n"}) {
    EXPECT_NE(log.find(event), std::string::npos) << event;
  }
  std::system(("rm -rf " + dir).c_str());
}

TEST(SimPty, VanishDropsTheLineAndStillDumps)
{
  const std::string dir = temp_dir();
  sim_process sim = start_sim({"--max-seconds", "20", "--fault", "read.command:vanish", "--dump",
                               "0:1:" + dir + "/dump.bin"});
  int fd = open_port(sim.pty_path);
  send(fd, {0x7F});
  EXPECT_EQ(read_exactly(fd, 1), std::vector<uint8_t>{0x75});
  send(fd, {0x11});
  EXPECT_TRUE(read_exactly(fd, 1).empty());
  EXPECT_EQ(wait_exit(sim), 0);
  uint8_t byte = 0;
  EXPECT_LT(write(fd, &byte, 1), 1);  // as after an unplugged adapter
  close(fd);
  EXPECT_EQ(read_text(dir + "/dump.bin"), "\0"s);
  std::system(("rm -rf " + dir).c_str());
}

TEST(SimPty, TermWhileWaitingDumpsAndBadOptionsExitTwo)
{
  const std::string dir = temp_dir();
  sim_process sim = start_sim({"--dump", "0x20000000:2:" + dir + "/dump.bin"});
  ASSERT_FALSE(sim.pty_path.empty());
  kill(sim.pid, SIGTERM);
  EXPECT_EQ(wait_exit(sim), 0);
  EXPECT_EQ(read_text(dir + "/dump.bin"), "\xFF\xFF");

  sim_process bad = start_sim({"--fault", "start:refuse@0"});
  EXPECT_TRUE(bad.pty_path.empty());
  EXPECT_EQ(wait_exit(bad), 2);
  std::system(("rm -rf " + dir).c_str());
}
