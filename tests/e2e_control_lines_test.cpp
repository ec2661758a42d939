// The control-line sequences around a run and their order relative to the
// start byte, recorded from the real binary by a preloaded interposer (a pty
// has no modem lines to observe), which also hands each change to the
// simulator's line channel, so that the boards it plays see them.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/json_lines.h"

namespace {

std::vector<std::string> texts(const std::vector<timed_line>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e.text);
  return out;
}

// A run against a board that sees the lines: natively, the recorder hands
// each change to the simulator's line channel and logs it. Under Wine the
// board sees no line; only the console and the bytes tell.
struct board_run {
  process_result run;
  std::vector<std::string> seen;  // the simulator's lines, board and bytes received, in order
  std::vector<timed_line> lines;  // natively: the recorder's log, changes and writes
};

// `rate_after`, when given: the rate the port was left at, read from the pty
// held open meanwhile.
board_run run_on_board(const std::string& dir, const std::vector<std::string>& board,
                       const std::vector<std::string>& words = {}, uint32_t* rate_after = nullptr) {
  const std::string channel = dir + "/lines";
  const std::string log = dir + "/lines.log";
  std::filesystem::remove(log);
  std::vector<std::string> sim_args{"--lines-from", channel};
  sim_args.insert(sim_args.end(), board.begin(), board.end());
  sim_target sim = start_sim(dir, sim_args);
  std::vector<std::string> args{"--port", "@PORT", "image.bin"};
  args.insert(args.end(), words.begin(), words.end());
  board_run out;
  const int held = rate_after != nullptr ? open(sim.pty_path.c_str(), O_RDWR | O_NOCTTY) : -1;
  out.run = run_programmer(
      dir, args, sim.pty_path,
      running_under_wine() ? std::vector<std::string>{} : line_recorder_env(log, channel));
  if (held >= 0) {
    termios2 t{};
    ioctl(held, TCGETS2, &t);
    *rate_after = t.c_ospeed;
    close(held);
  }
  finish_sim(sim);
  for (const sim_event& e : read_sim_log(sim.log_path)) {
    if (e.kind == "line" || e.kind == "board" || e.kind == "rx" || e.kind == "tx")
      out.seen.push_back(e.kind + " " + e.text);
  }
  out.lines = read_timed_lines(log);
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
    const board_run got = run_on_board(dir, r.board);
    EXPECT_EQ(got.run.exit_code, r.exit_code);
    EXPECT_EQ(got.seen, r.seen);
  }
}

// Installed as a user installs it, the simulator names the recorder
// installed with it, and a programmer run after those words reaches a board
// wired otherwise, which only the recorder's changes bring to its boot loader.
TEST_F(ControlLines, AnInstalledSimulatorNamesTheRecorderInstalledWithIt) {
  const std::string prefix = dir + "/usr";
  ASSERT_EQ(run_process({VEXLOR_CMAKE_COMMAND, "--install", VEXLOR_BUILD_DIR, "--prefix", prefix},
                        dir, {}, 60, child_output::discarded)
                .exit_code,
            0);
  write_file(dir + "/image.bin", {});
  sim_target sim = start_simulator(
      prefix + "/bin/vexlor-sim",
      {"--once", "--max-seconds", "30", "--wiring", "D1:R0", "--lines-from", dir + "/lines"});
  ASSERT_FALSE(sim.pty_path.empty());
  const std::string words = read_line(sim.process, 5);
  EXPECT_TRUE(words.starts_with("env LD_PRELOAD=" + prefix + "/")) << words;
  const process_result run =
      run_process({"/bin/sh", "-c", words + " \"$0\" --port \"$1\" image.bin",
                   prefix + "/bin/vexlor-prog", sim.pty_path},
                  dir, {}, 30);
  EXPECT_EQ(run.out, banner + handshake_ok + done_ok);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(finish_sim(sim), 0);
}

namespace {

const std::string checking = "checking the board's start..";

std::string board_said(const std::string& line) {
  return checking + ok_tail + "  the board said: " + line + "\n";
}

std::string check_failed(const std::string& reason) {
  return checking + error_tail + "  " + reason + "\n";
}

struct BoardEntry : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }
};

}  // namespace

// --enter, --leave and --connect-attempts on the real binary: the steps in
// order with their waits (natively, from the recorder; exact on the fake
// line's clock in target_faults_test.cpp), what each kind of board gets
// told, and bad values refused before the port opens. Under Wine the same
// options reach the Windows build, and the console tells.
TEST_F(BoardEntry, OptionsReachTheLinesAndTheBoard) {
  write_file(dir + "/image.bin", {1, 2, 3});
  struct row {
    const char* name;
    std::vector<std::string> words;
    std::vector<std::string> board;  // vexlor-sim's options
    std::string console;             // after the banner; for a usage error, its reason
    int exit_code = 0;
    std::vector<std::string> lines;                  // natively: the changes and writes, in order
    std::vector<std::pair<std::size_t, int>> waits;  // at least MS from lines[I] to the next
    const char* native_only = nullptr;               // why the row needs the recorder
  };
  const std::string wired = "the board is entered through lines that only the recorder carries";
  const std::vector<std::string> default_entry{"clear rts", "set dtr", "clear dtr", "write 7f"};
  const std::vector<std::string> default_exit{"set rts", "set dtr", "clear dtr"};
  const auto joined = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const auto failed = [](const std::string& reason) {
    return handshake_error + "  " + reason + "\n" + done_error;
  };
  const auto answered_on = [](const std::string& attempt) {
    return handshake_ok + "  the board answered on attempt " + attempt + "\n" + done_ok;
  };
  const std::vector<row> rows{
      {"lines swapped, each step and wait as given",
       {"--enter", "D0,R1,R0,W60", "--leave", "R0,W80,D1"},
       {"--wiring", "R1:D0"},
       handshake_ok + done_ok,
       0,
       {"clear dtr", "set rts", "clear rts", "write 7f", "clear rts", "set dtr"},
       {{2, 60}, {4, 80}},
       wired.c_str()},
      {"the defaults spelled out change nothing",
       {"--enter", "R0,D1,D0,W10", "--leave", "R1,D1,D0"},
       {"--wiring", "D1:R0"},
       handshake_ok + done_ok,
       0,
       joined({default_entry, default_exit}),
       {{2, 10}},
       wired.c_str()},
      {"a boot loader that lets two start bytes pass, greeted three times",
       {"--enter", "R0,W20,D1,D0", "--leave", "D0,W5,R1", "--connect-attempts", "3"},
       {"--ignore-starts", "2"},
       answered_on("3 of 3"),
       0,
       joined({default_entry, default_entry, default_entry, {"clear dtr", "set rts"}}),
       {{0, 20}, {3, 1400}, {4, 20}, {7, 1400}, {12, 5}}},
      {"no lines at all",
       {"--enter", "none", "--leave", "none"},
       {},
       handshake_ok + done_ok,
       0,
       {"write 7f"}},
      {"silence on every attempt",
       {"--connect-attempts", "2"},
       {"--ignore-starts", "5"},
       failed("tried 2 times: no answer to the start byte within 1.4 s: board wired otherwise? "
              "see --enter"),
       1,
       joined({default_entry, default_entry, default_exit}),
       {{3, 1400}}},
      {"an application's text on every attempt",
       {"--connect-attempts", "2"},
       {"--app-text", "app v2.1 ready\\r\\n"},
       failed("tried 2 times: the board runs its application, not its boot loader: \"app v2.1 "
              "ready...\"; see --enter"),
       1,
       joined({default_entry, default_entry, default_exit})},
      // Under Wine too: its boot loader times out into its application,
      // whose banner comes after the run, though no line is seen.
      {"a boot loader that times out into its application, its banner checked",
       {"--expect", "app v1"},
       {"--app-after", "1000", "--app-banner", "app v1\\r\\n"},
       handshake_ok + board_said("app v1") + done_ok,
       0,
       joined({default_entry, default_exit})},
      {"an echo",
       {},
       {"--echo"},
       failed("the start byte 0x7f came back: an echo (tx looped to rx, or an echoing adapter)"),
       1,
       joined({default_entry, default_exit})},
      {"other bytes",
       {},
       {"--app-text", "\\x01\\x02\\x03"},
       failed("the target answered 3 bytes (0x01 0x02 0x03): wrong baud rate or wiring?"),
       1,
       joined({default_entry, default_exit})},
      {"an unknown step",
       {"--enter", "R2"},
       {},
       "--enter: unknown step 'R2' (steps are R0, R1, D0, D1, W<ms>, separated by commas)",
       2},
      {"a wait too long",
       {"--leave", "W10001"},
       {},
       "--leave: the wait 'W10001' is over 10000 ms",
       2},
      {"no attempt at all",
       {"--connect-attempts", "0"},
       {},
       "--connect-attempts takes a number from 1 to 100, not '0'",
       2},
      {"too many attempts",
       {"--connect-attempts", "101"},
       {},
       "--connect-attempts takes a number from 1 to 100, not '101'",
       2},
      {"attempts with junk",
       {"--connect-attempts", "3x"},
       {},
       "--connect-attempts takes a number from 1 to 100, not '3x'",
       2},
  };
  const bool wine = running_under_wine();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    if (wine && r.native_only != nullptr) continue;
    std::vector<timed_line> lines;
    if (r.exit_code == 2) {
      // Refused before the port is opened: one end object, nothing driven.
      const std::string log = dir + "/lines.log";
      std::filesystem::remove(log);
      std::vector<std::string> args{"--port", "@PORT", "image.bin", "--json"};
      args.insert(args.end(), r.words.begin(), r.words.end());
      const process_result run =
          run_programmer(dir, args, "", wine ? std::vector<std::string>{} : line_recorder_env(log));
      EXPECT_EQ(run.exit_code, 2);
      const std::vector<nlohmann::json> end = json_lines(run.out);
      ASSERT_EQ(end.size(), 1u);
      EXPECT_EQ(end[0]["phase"], "usage");
      EXPECT_EQ(end[0]["reason"], r.console);
      lines = read_timed_lines(log);
    } else {
      const board_run got = run_on_board(dir, r.board, r.words);
      EXPECT_EQ(got.run.out, banner + r.console);
      EXPECT_EQ(got.run.exit_code, r.exit_code);
      lines = got.lines;
    }
    if (wine) continue;
    EXPECT_EQ(texts(lines), r.lines);
    for (const auto& [at, ms] : r.waits) {
      ASSERT_LT(at + 1, lines.size());
      const double waited = lines[at + 1].t - lines[at].t;
      EXPECT_GE(waited, ms / 1000.0) << "after " << lines[at].text;
      EXPECT_LT(waited, ms / 1000.0 + 0.5) << "after " << lines[at].text;  // a loaded machine
    }
  }
}

// --expect against every board it may meet, wired as the defaults assume,
// whose closing sequence starts its application: the banner after a flash
// or the handshake alone, late, at another rate, never (a silent
// application, a crashing one, another firmware, the port gone), a run
// failed before, a banner nobody asked for; and --monitor-for. The reason
// says what the board did print.
TEST_F(ControlLines, ExpectFindsTheBannerOrSaysWhatTheBoardPrinted) {
  write_file(dir + "/image.bin", pattern_bytes(16, 7));
  struct row {
    const char* name;
    std::vector<std::string> board;  // vexlor-sim's options besides the wiring
    std::vector<std::string> words;  // vexlor-prog's, besides its port and image
    // After the banner ("{s}": a time in seconds), or with --json a part.
    std::string out;
    int exit_code = 0;
  };
  const std::string nothing =
      "the board printed nothing at 115200 baud: held in reset (see --leave), or printing at "
      "another rate (see --app-baud)?";
  const std::string v1 = "app v1\\r\\n";
  const std::vector<row> rows{
      {"the banner after a flash",
       {"--app-banner", "app v2.3.1 build 884\\r\\n"},
       {"--write", "--verify", "--expect", "app v2.3.1"},
       handshake_ok + ok_tail + transfer_ok("writting", 16) + transfer_ok("reading", 16) +
           board_said("app v2.3.1 build 884") + done_ok},
      {"the banner after the handshake alone, in JSON",
       {"--app-banner", "app v2.3.1 build 884\\r\\n"},
       {"--json", "--expect", "build 884"},
       "{\"event\":\"begun\",\"phase\":\"boot-check\"}\n{\"event\":\"boot\",\"ok\":true,"
       "\"line\":\"app v2.3.1 build 884\",\"seconds\":"},
      {"a banner 700 ms after the release",
       {"--wiring", "D1:R0:700", "--app-banner", v1},
       {"--enter", "R0,D1,D0,W750", "--expect", "app v1"},
       handshake_ok + board_said("app v1") + done_ok},
      {"a banner at another rate, which the port is left at",
       {"--baud", "9600", "--app-banner", v1},
       {"--app-baud", "9600", "--expect", "app v1"},
       handshake_ok + board_said("app v1") + done_ok},
      {"bytes a terminal would act on, and a prompt without a line feed",
       {"--app-banner", "\\x1b[2Japp\\tv1> "},
       {"--expect", "v1> "},
       handshake_ok + board_said("\\x1b[2Japp\\x09v1> ") + done_ok},
      {"a silent application",
       {},
       {"--expect", "app v1", "--expect-within", "0.5"},
       handshake_ok + check_failed("no line with \"app v1\" within 0.5 s: " + nothing) + done_error,
       1},
      {"a crashing application",
       {"--app-crash"},
       {"--expect", "app v1", "--expect-within", "1.5"},
       handshake_ok +
           check_failed("no line with \"app v1\" within 1.5 s: the board's last 3 lines: \"hard "
                        "fault at pc=0x08001d2c: restarting\" 3 times: not the firmware "
                        "expected, or another rate (see --app-baud)?") +
           done_error,
       1},
      {"another firmware's banner",
       {"--app-banner", "app v0\\r\\n"},
       {"--expect", "app v1", "--expect-within", "0.5"},
       handshake_ok +
           check_failed("no line with \"app v1\" within 0.5 s: the board's last line: \"app v0\": "
                        "not the firmware expected, or another rate (see --app-baud)?") +
           done_error,
       1},
      {"the port gone during the check",
       {"--max-seconds", "3"},
       {"--expect", "app v1", "--expect-within", "30"},
       handshake_ok +
           check_failed("the serial adapter was disconnected {s} into the wait for \"app v1\"; " +
                        nothing) +
           done_error,
       1},
      {"a run that failed before the check",
       {"--app-banner", v1, "--fault", "erase.command:refuse"},
       {"--write", "--expect", "app v1"},
       handshake_ok + error_tail +
           "  the target refused the erase command of sector 0 (answered 0x1f)\n" + done_error,
       1},
      {"--monitor-for: a prompt without a line feed shows after a moment of quiet",
       {"--app-banner", "login: "},
       {"--monitor-for", "0.5"},
       handshake_ok + "watching the board's output for 0.5 s\nlogin: \n" + done_ok},
      {"a banner nobody asked for: the console as it always was",
       {"--app-banner", v1},
       {},
       handshake_ok + done_ok},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> board{"--wiring", "D1:R0"};
    board.insert(board.end(), r.board.begin(), r.board.end());
    const bool app_baud = !r.words.empty() && r.words.front() == "--app-baud";
    uint32_t rate = 0;
    const board_run got = run_on_board(dir, board, r.words, app_baud ? &rate : nullptr);
    EXPECT_EQ(got.run.exit_code, r.exit_code);
    EXPECT_EQ(rate, app_baud ? 9600u : 0u);
    if (!r.words.empty() && r.words.front() == "--json") {  // the events in their order
      EXPECT_NE(got.run.out.find(r.out), std::string::npos) << got.run.out;
      continue;
    }
    EXPECT_EQ(std::regex_replace(got.run.out, std::regex("[0-9.]+ s into"), "{s} into"),
              banner + r.out);
  }
}

// Ctrl-C or a kill ends --monitor, which follows the check, at once; the
// run is what it came to before, a success here, lines shown as they came.
TEST_F(ControlLines, AStopEndsTheMonitorAndNotTheRun) {
  write_file(dir + "/image.bin", {});
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    const std::string channel = dir + "/lines";
    sim_target sim = start_sim(dir, {"--lines-from", channel, "--wiring", "D1:R0", "--app-banner",
                                     "tick\\r\\n", "--app-every", "200"});
    child_process run = start_process(
        {VEXLOR_PROG_PATH, "--port", sim.pty_path, "--expect", "tick", "--monitor", "image.bin"},
        dir, line_recorder_env(dir + "/lines.log", channel));
    std::string out;
    const std::string watching = "watching the board's output (Ctrl-C ends it)\n";
    // A line shown while the monitor still runs.
    ASSERT_TRUE(read_until(run, out, watching + "tick\n", 20)) << out;
    const auto stopped_at = test_clock::now();
    kill(run.pid, signal);
    EXPECT_TRUE(read_until(run, out, "", 10));
    EXPECT_EQ(wait_process(run, 10).exit_code, 0);
    EXPECT_LT(seconds_since(stopped_at), 2.0);
    EXPECT_TRUE(out.starts_with(banner + handshake_ok + board_said("tick") + watching)) << out;
    EXPECT_TRUE(out.ends_with("tick\n" + done_ok)) << out;
    finish_sim(sim);
  }
}
