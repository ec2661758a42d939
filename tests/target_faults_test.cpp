// The whole fault matrix in-process: the programmer's run over the fake
// serial line to the simulator's own target, for every case. The line's
// clock moves only by the tool's reads and pauses, so each wait is exact:
// a try too few or too many, a missing pause, or a byte sent after the
// failure shows up here, whatever the load on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/run.h"
#include "cli/sha256.h"
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
  EXPECT_EQ(reason_lines(console),
            reason.empty() ? std::vector<std::string>{} : std::vector<std::string>{reason});
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
