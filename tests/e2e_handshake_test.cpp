// The programmer binary end to end, up to and around the start handshake:
// exact console bytes, exit status, and what reached the target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/json_lines.h"

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
  write_file(dir + "/image.bin", {1, 2, 3});
  std::vector<sim_event> log;
  process_result r = run_against_sim({"--fault", "start:silent"},
                                     {"image.bin", "--port", "@PORT", "--write", "--verify"}, &log);
  // The reason points at the usual cause: a board that is not in its boot loader.
  EXPECT_EQ(r.out, banner + handshake_error +
                       "  no answer to the start byte within 1.4 s: board wired otherwise? see "
                       "--enter, --connect-attempts\n" +
                       done_error);
  EXPECT_EQ(r.exit_code, 1);
  if (!running_under_wine()) {
    // Drain 0.34 s, the 10 ms pause, then ten tries of a 40 ms read and a
    // 100 ms pause; above, room for a loaded machine (the exact count of
    // tries is checked in-process).
    EXPECT_GE(r.seconds, 0.34 + 0.01 + 1.4);
    EXPECT_LT(first_byte_to_close(log), 1.4 + 1.5);
  }
}

TEST_F(E2EHandshake, RefusingTargetFailsAtOnce) {
  write_file(dir + "/image.bin", {0xAA});
  std::vector<sim_event> log;
  process_result r = run_against_sim({"--fault", "start:refuse"},
                                     {"--port", "@PORT", "--write", "image.bin"}, &log);
  EXPECT_EQ(r.out, banner + handshake_error +
                       "  the target refused the start byte (answered 0x1f): wrong baud rate or "
                       "wiring?\n" +
                       done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(bytes_received(log), std::vector<uint8_t>{0x7F});  // nothing written after it
  if (!running_under_wine()) {
    // 100 ms of quiet line after the refusal, not the 1.4 s of ten empty tries
    EXPECT_LT(first_byte_to_close(log), 1.0);
  }
}

TEST_F(E2EHandshake, AnswerWithinTheTriesStillCounts) {
  write_file(dir + "/image.bin", {});
  process_result r =
      run_against_sim({"--fault", "start:late:900"}, {"--port", "@PORT", "image.bin"});
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
  EXPECT_EQ(r.out, banner + "cannot open file missing.bin..\n  no such file\n" + done_error);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(bytes_received(log).empty());
}

// --json: nothing but one object per line, the end object last, naming what
// failed first; the image's digest only once it was loaded.
TEST_F(E2EHandshake, JsonEndObjectNamesTheFirstFailure) {
  struct json_case {
    std::string what;
    bool with_sim;
    std::vector<std::string> args;
    std::string phase;  // empty: the run succeeds
    std::string reason_start;
  };
  write_file(dir + "/image.bin", {1, 2, 3});
  const std::string no_port = running_under_wine() ? "COM250" : dir + "/no-such-tty";
  const std::vector<json_case> cases = {
      {"handshake only", true, {"--port", "@PORT", "image.bin", "--json"}, "", ""},
      {"missing image", true, {"--json", "--port", "@PORT", "missing.bin"}, "file", "no such file"},
      {"missing port", false, {"--port", no_port, "--json", "image.bin"}, "port", "no such device"},
  };
  for (const json_case& c : cases) {
    SCOPED_TRACE(c.what);
    sim_target sim;
    if (c.with_sim) sim = start_sim(dir, {});
    const process_result r = run_programmer(dir, c.args, sim.pty_path);
    if (c.with_sim) finish_sim(sim);
    std::vector<nlohmann::json> lines;
    ASSERT_NO_THROW(lines = json_lines(r.out)) << r.out;
    ASSERT_FALSE(lines.empty());
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["exit"], r.exit_code);
    EXPECT_EQ(end["ok"], c.phase.empty());
    EXPECT_EQ(end["errors"], c.phase.empty() ? 0 : 1);
    EXPECT_EQ(end["address"], 0x20000000);
    EXPECT_EQ(end["baud"], 115200);
    EXPECT_EQ(end["version"], "1.0.0");
    EXPECT_TRUE(end["seconds"].is_number());
    if (c.phase.empty()) {
      EXPECT_TRUE(end["phase"].is_null() && end["reason"].is_null());
      EXPECT_EQ(end["size"], 3);
      EXPECT_EQ(end["sha256"], "039058c6f2c0cb492c533b0a4d14ef77cc0f78abccced5287d84a1a2011cfb81");
      EXPECT_EQ(end["format"], "bin");
      EXPECT_TRUE(end["written_sha256"].is_null()) << "nothing was written";
      EXPECT_EQ(lines.front(),
                (nlohmann::json{{"event", "phase"}, {"phase", "handshake"}, {"ok", true}}));
    } else {
      EXPECT_EQ(end["phase"], c.phase);
      EXPECT_TRUE(end["reason"].get<std::string>().starts_with(c.reason_start)) << end["reason"];
      EXPECT_TRUE(end["sha256"].is_null() && end["size"].is_null());
    }
  }
}
