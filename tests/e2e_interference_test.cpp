// What happens to a flash from outside: a second program on the same port,
// an operator's Ctrl-C or a kill, a reader that goes away. The flash already
// under way must never be spoiled by the first, and must end cleanly, lines
// and all, on the others.
//
// Natively only: signals and the port lock are the POSIX backend's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

using bytes = std::vector<uint8_t>;

// 20 000 bytes at 0x20000000: sectors 0 to 2, then 79 blocks each way;
// about 3.5 s of wire time at 115200 baud, so there is time to interfere.
constexpr std::size_t raced_image_size = 20000;
constexpr std::size_t blocks = (raced_image_size + 255) / 256;
constexpr std::size_t erase_wire = 3 * 4;
constexpr std::size_t block_header_wire = 1 + 4 + 1;

struct Interference : ::testing::Test {
  std::string dir = make_test_dir();
  bytes image = pattern_bytes(raced_image_size, 42);
  std::string dump = dir + "/memory.bin";
  void SetUp() override {
    if (running_under_wine()) GTEST_SKIP() << "signals and the port lock are the POSIX backend's";
    write_file(dir + "/image.bin", image);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  sim_target paced_sim() {
    return start_sim(dir, {"--baud", "115200", "--dump",
                           "0x20000000:" + std::to_string(raced_image_size) + ":" + dump});
  }
  child_process start_flash(const sim_target& sim, const std::vector<std::string>& env = {},
                            const std::vector<std::string>& extra_words = {}) {
    std::vector<std::string> argv{VEXLOR_PROG_PATH, "--port", sim.pty_path, "--write", "--verify"};
    argv.insert(argv.end(), extra_words.begin(), extra_words.end());
    argv.push_back("image.bin");
    return start_process(argv, dir, env);
  }
};

}  // namespace

TEST_F(Interference, SecondRunOnAPortInUseIsRefusedAndTheFirstGoesOn) {
  sim_target sim = paced_sim();
  child_process first = start_flash(sim);
  std::string first_out;
  ASSERT_TRUE(read_until(first, first_out, "writting", 10));

  // Root passes the kernel's exclusive mode but not the lock; anyone else is
  // stopped by the exclusive mode before the open can touch the lines.
  chmod(sim.pty_path.c_str(), 0666);
  std::vector<std::vector<std::string>> intruders = {{VEXLOR_PROG_PATH}};
  if (geteuid() == 0) {
    intruders.push_back(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VEXLOR_PROG_PATH});
  }
  for (std::vector<std::string> argv : intruders) {
    SCOPED_TRACE(argv.front());
    argv.insert(argv.end(), {"--port", sim.pty_path, "--write", "image.bin"});
    const process_result second = run_process(argv, dir, {}, 30);
    // Root may look into the first run's open files, and names it; anyone
    // else is told only that another program has the port.
    const std::string holder = VEXLOR_NAMES_PORT_HOLDER && argv.front() == VEXLOR_PROG_PATH
                                   ? "vexlor-prog (pid " + std::to_string(first.pid) + ")"
                                   : "another program";
    EXPECT_EQ(second.out, banner + "error: cannot open port " + sim.pty_path + "\n  in use by " +
                              holder + "\n" + done_error);
    EXPECT_EQ(second.exit_code, 1);
  }

  EXPECT_TRUE(read_until(first, first_out, "", 30));
  EXPECT_EQ(wait_process(first, 30).exit_code, 0);
  EXPECT_TRUE(first_out.ends_with(ok_tail + done_ok)) << first_out;
  EXPECT_EQ(finish_sim(sim), 0);
  EXPECT_EQ(read_file(dump), image);
  // Not one byte of the refused runs reached the target.
  EXPECT_EQ(bytes_received(read_sim_log(sim.log_path)).size(),
            1 + erase_wire + 2 * blocks * block_header_wire + raced_image_size);
}

TEST_F(Interference, StopRequestsEndTheRunAtASafePointWithTheClosingSequence) {
  struct stop_case {
    int signal;
    int exit_code;
    std::string reason;
  };
  for (const stop_case& c : {stop_case{SIGINT, 130, "stopped by SIGINT (Ctrl-C)"},
                             {SIGTERM, 143, "stopped by SIGTERM"},
                             {SIGHUP, 129, "stopped by SIGHUP (the terminal closed)"}}) {
    SCOPED_TRACE(strsignal(c.signal));
    sim_target sim = paced_sim();
    const std::string lines = dir + "/lines.log";
    std::filesystem::remove(lines);
    child_process run = start_flash(sim, line_recorder_env(lines));
    std::string out;
    // After the first block of the write has been acknowledged.
    ASSERT_TRUE(read_until(
        run, out, "writting " + std::to_string(raced_image_size) + " bytes..  0%\b\b\b\b", 10));
    const auto stopped_at = test_clock::now();
    kill(run.pid, c.signal);
    EXPECT_TRUE(read_until(run, out, "", 10));
    const process_result ended = wait_process(run, 10);
    EXPECT_EQ(ended.exit_code, c.exit_code);
    EXPECT_EQ(ended.killed_by, 0) << "a clean stop exits by itself";
    // A pause or a wait ends at once; a block already on its way is finished.
    EXPECT_LT(seconds_since(stopped_at), 1.0);
    EXPECT_EQ(finish_sim(sim), 0);

    EXPECT_TRUE(out.starts_with(banner + handshake_ok + ok_tail + ok_tail + ok_tail + "writting"))
        << out;
    EXPECT_TRUE(out.ends_with("\b\b\b\b" + error_tail + "  " + c.reason + "\n" + done_error))
        << out;
    EXPECT_EQ(out.find("reading"), std::string::npos) << "the verify phase is skipped";
    const std::vector<std::string> requests = line_requests(lines);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(requests.end() - 3, requests.end()),
              (std::vector<std::string>{"set rts", "set dtr", "clear dtr"}));
    // The write ends where a wait began: after a whole block, its command
    // byte or its address, never inside a block's data.
    const std::size_t write_wire =
        bytes_received(read_sim_log(sim.log_path)).size() - 1 - erase_wire;
    const std::size_t into_block = write_wire % (block_header_wire + 256);
    EXPECT_TRUE(into_block == 0 || into_block == 1 || into_block == 5)
        << into_block << " bytes into a block";
  }
}

// With --json the end object says the exit status the process ends with,
// 128 + N after signal N as much as 0 or 1.
TEST_F(Interference, AStoppedRunsEndObjectSaysItsExitStatus) {
  for (const auto& [signal, exit_code] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    SCOPED_TRACE(strsignal(signal));
    sim_target sim = paced_sim();
    child_process run = start_flash(sim, {}, {"--json"});
    std::string out;
    ASSERT_TRUE(read_until(run, out, R"("event":"progress")", 10));
    kill(run.pid, signal);
    EXPECT_TRUE(read_until(run, out, "", 10));
    const process_result ended = wait_process(run, 10);
    EXPECT_EQ(finish_sim(sim), 0);
    EXPECT_EQ(ended.exit_code, exit_code);
    const std::string end = out.substr(out.rfind("{\"event\":\"end\""));
    EXPECT_NE(end.find("\"exit\":" + std::to_string(exit_code) + ","), std::string::npos) << end;
    EXPECT_NE(end.find(R"("phase":"signal")"), std::string::npos) << end;
  }
}

// A second request during the clean-up ends the process at once, by the
// signal's own default action: it dies of it, which the exit status alone
// (130 either way) cannot tell. The line recorder makes each line change take
// 300 ms, so the second request lands in the closing sequence.
TEST_F(Interference, ASecondStopRequestEndsTheProcessAtOnce) {
  sim_target sim = paced_sim();
  std::vector<std::string> env = line_recorder_env(dir + "/lines.log");
  env.push_back("VEXLOR_LINE_FAULT=slow-lines");
  child_process run = start_flash(sim, env);
  std::string out;
  ASSERT_TRUE(read_until(run, out, "writting", 10));
  kill(run.pid, SIGINT);
  // Its reason is printed as the run turns to the closing sequence.
  ASSERT_TRUE(read_until(run, out, "stopped by SIGINT", 10));
  kill(run.pid, SIGINT);
  const process_result ended = wait_process(run, 10);
  finish_sim(sim);
  EXPECT_EQ(ended.killed_by, SIGINT);
  EXPECT_EQ(out.find("done with"), std::string::npos) << "no final line after the second";
}

TEST_F(Interference, ClosedOutputDoesNotStopTheFlash) {
  sim_target sim = paced_sim();
  child_process run = start_flash(sim);
  close(run.out_fd);  // the reader is gone before the first line
  run.out_fd = -1;
  EXPECT_EQ(wait_process(run, 30).exit_code, 0);
  EXPECT_EQ(finish_sim(sim), 0);
  EXPECT_EQ(read_file(dump), image);
}
