// The programmer binary end to end, up to and around the start handshake:
// exact console bytes, exit status, and what reached the target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

struct E2EHandshake : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }

  // One run against a fresh simulator; returns the run and the target's log.
  process_result run_against_sim(const std::vector<std::string>& sim_args,
                                 const std::vector<std::string>& args,
                                 std::vector<sim_event>* log = nullptr) {
    sim_target sim = start_sim(dir, sim_args);
    process_result result = run_programmer(dir, args, sim.pty_path);
    EXPECT_EQ(finish_sim(sim), 0);
    if (log != nullptr) *log = read_sim_log(sim.log_path);
    return result;
  }
};

}  // namespace

TEST_F(E2EHandshake, AnsweringTargetSucceeds) {
  write_file(dir + "/image.bin", {1, 2, 3});
  std::vector<sim_event> log;
  process_result r = run_against_sim({}, {"--port", "@PORT", "image.bin"}, &log);
  EXPECT_EQ(r.out, banner + handshake_ok + done_ok);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(bytes_received(log), std::vector<uint8_t>{0x7F});
}

TEST_F(E2EHandshake, SilentTargetFailsAfterTenTries) {
  write_file(dir + "/image.bin", {});
  process_result r = run_against_sim({"--fault", "start:silent"},
                                     {"image.bin", "--port", "@PORT", "--write", "--verify"});
  EXPECT_EQ(r.out, banner + handshake_error + done_error);
  EXPECT_EQ(r.exit_code, 1);
  if (!running_under_wine()) {
    // Drain 0.34 s, then ten tries of a 40 ms read and a 100 ms pause.
    EXPECT_GE(r.seconds, 1.7);
    EXPECT_LT(r.seconds, 3.0);
  }
}

TEST_F(E2EHandshake, RefusingTargetFailsAtOnce) {
  write_file(dir + "/image.bin", {0xAA});
  std::vector<sim_event> log;
  process_result r =
      run_against_sim({"--fault", "start:refuse"}, {"--port", "@PORT", "--write", "image.bin"}, &log);
  EXPECT_EQ(r.out, banner + handshake_error + done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(bytes_received(log), std::vector<uint8_t>{0x7F});  // nothing written after it
  if (!running_under_wine()) {
    EXPECT_LT(r.seconds, 1.0);
  }
}

TEST_F(E2EHandshake, AnswerWithinTheTriesStillCounts) {
  write_file(dir + "/image.bin", {});
  process_result r = run_against_sim({"--fault", "start:late:900"}, {"--port", "@PORT", "image.bin"});
  EXPECT_EQ(r.out, banner + handshake_ok + done_ok);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(E2EHandshake, LineNoiseBeforeAndAtOpenIsDrained) {
  write_file(dir + "/image.bin", {});
  process_result r = run_against_sim({"--chatter", "1f1f75001f", "--on-open", "1f1f"},
                                     {"--port", "@PORT", "image.bin"});
  EXPECT_EQ(r.out, banner + handshake_ok + done_ok);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(E2EHandshake, MissingImageSendsNoStartByte) {
  std::vector<sim_event> log;
  process_result r = run_against_sim({}, {"--port", "@PORT", "--write", "missing.bin"}, &log);
  EXPECT_EQ(r.out, banner + "cannot open file missing.bin..\n" + done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(bytes_received(log).empty());
}

TEST_F(E2EHandshake, WordsThatAreNotOptionsNameTheImage) {
  sim_target sim = start_sim(dir, {});
  process_result r = run_programmer(dir, {"--port", "@PORT", "--help"}, sim.pty_path);
  finish_sim(sim);
  EXPECT_EQ(r.out, banner + "cannot open file --help..\n" + done_error);

  sim = start_sim(dir, {});
  r = run_programmer(dir, {"--port", "@PORT", "image.bin", "--address"}, sim.pty_path);
  finish_sim(sim);
  EXPECT_EQ(r.out, banner + "cannot open file --address..\n" + done_error);
  EXPECT_EQ(r.exit_code, 1);
}

TEST_F(E2EHandshake, DirectoryAsImageIsAFileError) {
  std::filesystem::create_directory(dir + "/folder.bin");
  std::vector<sim_event> log;
  process_result r = run_against_sim({}, {"--port", "@PORT", "folder.bin"}, &log);
  EXPECT_EQ(r.out, banner + "cannot open file folder.bin..\n" + done_error);
  EXPECT_TRUE(bytes_received(log).empty());
}

TEST_F(E2EHandshake, PortThatCannotBeOpened) {
  write_file(dir + "/image.bin", {});
  const std::string missing = running_under_wine() ? "COM7" : dir + "/no-such-port";
  process_result r = run_programmer(dir, {"--port", missing, "image.bin"});
  EXPECT_EQ(r.out, banner + "error: cannot open port " + missing + "\n" + done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(std::filesystem::exists(dir + "/no-such-port"));

  const std::string long_name(300, 'c');
  r = run_programmer(dir, {"--port", long_name, "image.bin"});
  EXPECT_EQ(r.out, banner + "error: cannot open port " + long_name + "\n" + done_error);
}

TEST_F(E2EHandshake, RegularFileAsPortIsRefusedAndLeftAlone) {
  write_file(dir + "/image.bin", {1});
  write_file(dir + "/notes.txt", {'k', 'e', 'e', 'p'});
  const auto before = std::filesystem::last_write_time(dir + "/notes.txt");
  // Natively a bare name means a device under /dev, so the file is named by path.
  const std::string as_path = running_under_wine() ? "notes.txt" : "./notes.txt";
  process_result r = run_programmer(dir, {"--port", as_path, "--write", "image.bin"});
  EXPECT_EQ(r.out, banner + "error: cannot open port " + as_path + "\n" + done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(read_file(dir + "/notes.txt"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(std::filesystem::last_write_time(dir + "/notes.txt"), before);
}
