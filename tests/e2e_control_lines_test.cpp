// The control-line sequences around a run and their order relative to the
// start byte, recorded from the real binary by a preloaded interposer (a pty
// has no modem lines to observe).
#include <gtest/gtest.h>

#include <filesystem>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

std::vector<std::string> texts(const std::vector<timed_line>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e.text);
  return out;
}

struct ControlLines : ::testing::Test {
  std::string dir = make_test_dir();
  void SetUp() override {
    if (running_under_wine()) GTEST_SKIP() << "the interposer works on the native binary only";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::vector<timed_line> record_run(const std::vector<std::string>& args,
                                     const std::string& fault = "",
                                     process_result* result = nullptr) {
    sim_target sim = start_sim(dir, {});
    const std::string log = dir + "/lines.log";
    std::filesystem::remove(log);
    std::vector<std::string> env = line_recorder_env(log);
    if (!fault.empty()) env.push_back("VEXLOR_LINE_FAULT=" + fault);
    const process_result r = run_programmer(dir, args, sim.pty_path, env);
    if (result != nullptr) *result = r;
    finish_sim(sim);
    return read_timed_lines(log);
  }
};

}  // namespace

TEST_F(ControlLines, OpeningSequenceThenPauseThenStartByteThenClosingSequence) {
  write_file(dir + "/image.bin", {});
  const auto events = record_run({"--port", "@PORT", "image.bin"});
  ASSERT_EQ(texts(events),
            (std::vector<std::string>{"clear rts", "set dtr", "clear dtr", "write 7f", "set rts",
                                      "set dtr", "clear dtr"}));
  // A real pause of 10 ms before the start byte. Whether the sequences are
  // back to back and the pause exactly 10 ms is checked in-process, on the
  // fake line's clock; here the bounds above leave room for a loaded machine.
  EXPECT_LT(events[2].t - events[0].t, 0.1);
  EXPECT_GE(events[3].t - events[2].t, 0.010);
  EXPECT_LT(events[3].t - events[2].t, 0.010 + 0.1);
  EXPECT_LT(events[6].t - events[4].t, 0.1);
}

// A driver that fails a write or a line change: the run says so, in the
// system's words, rather than blaming the board for not answering.
TEST_F(ControlLines, AFailingDriverIsToldApartFromASilentBoard) {
  write_file(dir + "/image.bin", pattern_bytes(300, 1));
  struct row {
    std::string fault;
    std::string console;  // after the banner
    std::vector<std::string> lines;
  };
  const std::vector<row> rows{
      {"lines",
       handshake_error + "  the opening line sequence: clearing RTS failed: input/output error\n" +
           "  the closing line sequence: setting RTS failed: input/output error\n",
       {"clear rts", "set rts"}},
      {"write=2",  // the erase prelude, after the start byte
       handshake_ok + error_tail +
           "  writing the erase prelude of sector 0 to the port failed: operation not permitted\n",
       {"clear rts", "set dtr", "clear dtr", "write 7f", "write 71", "set rts", "set dtr",
        "clear dtr"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.fault);
    process_result result;
    const auto events = record_run({"--port", "@PORT", "--write", "image.bin"}, r.fault, &result);
    EXPECT_EQ(result.out, banner + r.console + done_error);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(texts(events), r.lines);
  }
}
