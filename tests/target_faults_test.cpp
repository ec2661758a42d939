// The whole fault matrix in-process: the programmer's run over the fake
// serial line to the simulator's own target, for every case. The line's
// clock moves only by the tool's reads and pauses, so each wait is exact:
// a try too few or too many, a missing pause, or a byte sent after the
// failure shows up here, whatever the load on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/run.h"
#include "image/image.h"
#include "support/console_text.h"
#include "support/json_lines.h"
#include "support/e2e.h"
#include "support/fake_serial_port.h"
#include "support/fault_cases.h"
#include "target.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr int64_t ms_ns = 1'000'000;

bool is_control(const fake_event& e, port_line_action action) {
  return e.kind == fake_event::control && e.action == action;
}

// The write event after which the host has sent `count` bytes in all.
std::size_t write_ending_at(const std::vector<fake_event>& line, std::size_t count) {
  std::size_t sent = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i].kind == fake_event::write) sent += line[i].bytes.size();
    if (sent >= count) return i;
  }
  return line.size();
}

bytes written(const std::vector<fake_event>& line) {
  bytes all;
  for (const fake_event& e : line) {
    if (e.kind == fake_event::write) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

struct TargetFaults : ::testing::TestWithParam<fault_case> {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }
};

}  // namespace

TEST_P(TargetFaults, At) {
  const fault_case& c = GetParam();
  const bytes image = fault_image();
  write_file(dir + "/image.bin", image);
  target sim;
  std::string error;
  const auto rule = parse_fault(fault_option(c), error);
  ASSERT_TRUE(rule) << error;
  sim.faults.rules = {*rule};
  fake_port_connect("COM3", sim);

  testing::internal::CaptureStdout();
  const int status = run(fault_run_words("COM3", dir + "/image.bin"));
  const std::string console = testing::internal::GetCapturedStdout();
  const std::vector<fake_event>& line = fake_transcript();

  EXPECT_EQ(without_reasons(console), fault_run_console(c));
  const std::string reason = fault_reason(c);
  EXPECT_LE(reason.size(), 100u) << "a reason line fits a terminal";
  EXPECT_EQ(reason_lines(console), fault_reason_lines(c));
  EXPECT_EQ(status, c.fails || c.compare_fails ? 1 : 0);
  // Everything up to the spoiled answer, then not one byte more.
  const fault_wire wire = fault_conversation(c, image);
  EXPECT_EQ(written(line), wire.sent);
  if (!c.fails && !c.compare_fails) {
    bytes memory(image.size());
    memory_read(sim.memory, fault_image_address, memory);
    EXPECT_EQ(memory, image);
  }

  // The opening line sequence back to back, 10 ms, then the start byte; the
  // closing sequence last of all, with nothing after it.
  ASSERT_GE(line.size(), 8u);
  using enum port_line_action;
  EXPECT_TRUE(is_control(line[0], clear_rts) && is_control(line[1], set_dtr) &&
              is_control(line[2], clear_dtr));
  EXPECT_EQ(line[3].kind, fake_event::sleep);
  EXPECT_EQ(line[3].ms, 10u);
  EXPECT_EQ(line[4].kind, fake_event::write);
  const std::size_t end = line.size();
  EXPECT_TRUE(is_control(line[end - 3], set_rts) && is_control(line[end - 2], set_dtr) &&
              is_control(line[end - 1], clear_dtr));

  // The wait on the spoiled answer, exactly: from the write it answers to the
  // tool's next write or line action, only reads and pauses between. On a
  // failure that next action is the closing sequence.
  const std::size_t answered = write_ending_at(line, wire.answered);
  ASSERT_LT(answered, end);
  std::size_t next = answered + 1;
  while (next < end &&
         (line[next].kind == fake_event::read || line[next].kind == fake_event::sleep))
    ++next;
  ASSERT_LT(next, end);
  EXPECT_EQ(line[next].at_ns - line[answered].at_ns, c.wait_ms * ms_ns);
  if (c.fails) {
    EXPECT_EQ(next, end - 3) << "the line was used after the failure";
  }
}

// The same run with --json: every line an object, the end object last,
// naming the phase and the reason of the failure.
TEST_P(TargetFaults, InJson) {
  const fault_case& c = GetParam();
  write_file(dir + "/image.bin", fault_image());
  target sim;
  std::string error;
  sim.faults.rules = {*parse_fault(fault_option(c), error)};
  fake_port_connect("COM3", sim);
  std::vector<std::string> words = fault_run_words("COM3", dir + "/image.bin");
  words.push_back("--json");

  testing::internal::CaptureStdout();
  const int status = run(words);
  const std::vector<nlohmann::json> lines = json_lines(testing::internal::GetCapturedStdout());
  ASSERT_FALSE(lines.empty());
  const nlohmann::json& end = lines.back();
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["exit"], status);
  EXPECT_EQ(end["write"], true);  // what the run was asked to do
  EXPECT_EQ(end["verify"], true);
  EXPECT_EQ(end["ok"], !c.fails && !c.compare_fails);
  if (end["ok"]) {
    EXPECT_TRUE(end["phase"].is_null() && end["reason"].is_null());
  } else {
    EXPECT_EQ(end["phase"], fault_phase(c));
    EXPECT_EQ(end["reason"], fault_reason(c));
    // The failed phase's own event says the same.
    const auto failed = std::find_if(lines.begin(), lines.end(), [](const nlohmann::json& line) {
      return line["event"] == "phase" && !line["ok"];
    });
    ASSERT_NE(failed, lines.end());
    EXPECT_EQ((*failed)["phase"], fault_phase(c));
    EXPECT_EQ((*failed)["reason"], fault_reason(c));
  }
  EXPECT_EQ(end["sha256"], sha256_hex(fault_image()));
  EXPECT_EQ(end["address"], fault_image_address);
  EXPECT_EQ(end["size"], fault_image_size);
}

INSTANTIATE_TEST_SUITE_P(, TargetFaults, ::testing::ValuesIn(all_fault_cases()),
                         [](const ::testing::TestParamInfo<fault_case>& info) {
                           return info.param.name;
                         });

namespace {

// The line as a run used it, one word an event with its time on the line's
// clock in ms: line changes (R1, D0), pauses (W25), the host's bytes (>7f)
// and discarded input (X). Reads, and the pauses after empty ones, are left
// out: the times show what they took.
std::string spelled_line(const std::vector<fake_event>& line) {
  static const char* const drive_words[] = {"R1", "R0", "D1", "D0"};
  std::string text;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const fake_event& e = line[i];
    std::string word;
    if (e.kind == fake_event::control) word = drive_words[static_cast<int>(e.action)];
    if (e.kind == fake_event::discard) word = "X";
    if (e.kind == fake_event::sleep &&
        !(i > 0 && line[i - 1].kind == fake_event::read && line[i - 1].bytes.empty()))
      word = "W" + std::to_string(e.ms);
    for (uint8_t byte : e.kind == fake_event::write ? e.bytes : bytes{}) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", byte);
      word += ">" + std::string(hex);
    }
    if (word.empty()) continue;
    if (!text.empty()) text += ' ';
    text += word + "@" + std::to_string(e.at_ns / ms_ns);
  }
  return text;
}

}  // namespace

// --enter, --leave and --connect-attempts on the fake line's clock: each
// step at its time, each wait exact, the input discarded before a board is
// entered again, and what the console and --json say of the attempts.
TEST(BoardEntry, StepsAndAttemptsOnTheLinesClock) {
  std::string error;
  const auto wired = [&](std::string_view text) { return parse_wiring(text, error); };
  const std::string app = "app\r\n";
  struct row {
    const char* name;
    std::vector<std::string> words;
    board_setup board;
    std::string line;
    std::string reason;  // of the run: empty when the board answered
    // Each attempt event's reason; in every row the last attempt allowed decides.
    std::vector<std::string> attempts_failed;
  };
  const std::string silence =
      "no answer to the start byte within 1.4 s: board wired otherwise? see --enter";
  const std::string application =
      "the board runs its application, not its boot loader: \"app\\r\\n\"; see --enter";
  const std::vector<row> rows{
      {"lines swapped, entered and let go as the wiring needs",
       {"--enter", "D0,R1,R0,W25", "--leave", "R0,W7,D1"},
       {.wiring = wired("R1:D0")},
       "D0@0 R1@0 R0@0 W25@25 >7f@25 R0@25 W7@32 D1@32"},
      {"no lines at all, greeted until the boot loader takes the start byte",
       {"--enter", "none", "--leave", "none", "--connect-attempts", "3"},
       {.ignored_starts = 2},
       ">7f@0 X@1400 >7f@1400 X@2800 >7f@2800",
       "",
       {silence, silence}},
      {"an application that answers twice, entered again after 100 ms of quiet line",
       {"--connect-attempts", "3"},
       {.app_text = {app.begin(), app.end()}, .app_answers = 2},
       "R0@0 D1@0 D0@0 W10@10 >7f@10 X@110 R0@110 D1@110 D0@110 W10@120 >7f@120 X@220 R0@220 "
       "D1@220 D0@220 W10@230 >7f@230 R1@230 D1@230 D0@230",
       "",
       {application, application}},
      {"silence on every attempt",
       {"--enter", "R0,W5", "--connect-attempts", "2"},
       {.ignored_starts = 5},
       "R0@0 W5@5 >7f@5 X@1405 R0@1405 W5@1410 >7f@1410 R1@2810 D1@2810 D0@2810",
       "tried 2 times: " + silence,
       {silence}},
  };
  const std::string dir = make_test_dir();
  const std::string image = dir + "/image.bin";
  write_file(image, {1, 2, 3});
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    for (const bool json : {false, true}) {
      target sim;
      sim.board.setup = r.board;
      fake_port_connect("COM3", sim);
      std::vector<std::string> words{"--port", "COM3", image};
      words.insert(words.end(), r.words.begin(), r.words.end());
      if (json) words.push_back("--json");
      testing::internal::CaptureStdout();
      const int status = run(words);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(status, r.reason.empty() ? 0 : 1);
      EXPECT_EQ(spelled_line(fake_transcript()), r.line);
      if (!json) {
        const int attempts = static_cast<int>(r.attempts_failed.size()) + 1;
        const std::string note = "  the board answered on attempt " + std::to_string(attempts) +
                                 " of " + std::to_string(attempts) + "\n";
        EXPECT_EQ(out, banner + (r.reason.empty()
                                     ? handshake_ok + (attempts > 1 ? note : "") + done_ok
                                     : handshake_error + "  " + r.reason + "\n" + done_error));
        continue;
      }
      const std::vector<nlohmann::json> lines = json_lines(out);
      std::vector<std::string> reasons;
      for (const nlohmann::json& line : lines) {
        if (line["event"] != "attempt") continue;
        EXPECT_EQ(line["phase"], "handshake");
        EXPECT_EQ(line["attempt"], reasons.size() + 1);
        EXPECT_EQ(line["of"], r.attempts_failed.size() + 1);
        reasons.push_back(line["reason"]);
      }
      EXPECT_EQ(reasons, r.attempts_failed);
      EXPECT_EQ(lines.back()["reason"],
                r.reason.empty() ? nlohmann::json() : nlohmann::json(r.reason));
    }
  }
  std::filesystem::remove_all(dir);
}
