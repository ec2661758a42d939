// The control-line sequences around a run and their order relative to the
// start byte, recorded from the real binary by a preloaded interposer (a pty
// has no modem lines to observe), which also hands each change to the
// simulator's line channel, so that the boards it plays see them.
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

  // A run against a board that sees the lines: its exit status, and the
  // simulator's log of lines, board and bytes received, in order.
  std::pair<int, std::vector<std::string>> run_on_board(const std::vector<std::string>& board) {
    const std::string channel = dir + "/lines";
    std::vector<std::string> sim_args{"--lines-from", channel};
    sim_args.insert(sim_args.end(), board.begin(), board.end());
    sim_target sim = start_sim(dir, sim_args);
    const process_result run = run_programmer(dir, {"--port", "@PORT", "image.bin"}, sim.pty_path,
                                              line_recorder_env(dir + "/lines.log", channel));
    finish_sim(sim);
    std::vector<std::string> seen;
    for (const sim_event& e : read_sim_log(sim.log_path)) {
      if (e.kind == "line" || e.kind == "board" || e.kind == "rx" || e.kind == "tx")
        seen.push_back(e.kind + " " + e.text);
    }
    return {run.exit_code, seen};
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

TEST_F(ControlLines, EachChangeReachesTheBoardAtItsPlaceAmongTheBytes) {
  write_file(dir + "/image.bin", {});
  struct row {
    const char* name;
    std::vector<std::string> board;
    int exit_code;
    std::vector<std::string> seen;
  };
  const std::vector<std::string> opening{"line clear rts", "line set dtr", "board held in reset",
                                         "line clear dtr"};
  const std::vector<std::string> closing{"line set rts", "line set dtr", "board held in reset",
                                         "line clear dtr", "board starts its application"};
  const auto joined = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<row> rows{
      {"wired as the defaults assume",
       {"--wiring", "D1:R0"},
       0,
       joined(joined(opening, {"board starts its boot loader", "rx 7f", "tx 75"}), closing)},
      {"lines swapped, the application talking",
       {"--wiring", "R1:D0", "--app-text", "app\\r\\n"},
       1,
       {"line clear rts", "line set dtr", "line clear dtr", "rx 7f", "board application answers",
        "tx 61 70 70 0d 0a", "line set rts", "board held in reset", "line set dtr",
        "line clear dtr"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const auto [exit_code, seen] = run_on_board(r.board);
    EXPECT_EQ(exit_code, r.exit_code);
    EXPECT_EQ(seen, r.seen);
  }
}
