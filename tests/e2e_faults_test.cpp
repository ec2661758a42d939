// One fault of each kind against the real binary on a pty (the whole matrix
// runs in-process, in target_faults_test.cpp): the run must report the
// failure at that very point, send nothing more to the target, skip what
// follows, exit 1, and end within the time its waits allow: no hang, and no
// spinning on a dead line. Under Wine this is the Windows serial layer's
// share of the matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/fault_cases.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr double drain_at_open = (20 * 16 + 20) / 1000.0;
constexpr double line_settle = 0.010;
// What the machine may add to the waits of one run: wake-ups that come late
// on a loaded machine, and, under Wine, its serial layer's own round trips.
constexpr double scheduling_headroom = 1.5;
constexpr double wine_headroom = 3.0;
// Starting the process, which a sanitizer or Wine makes slow.
constexpr double start_up_headroom = 2.0;
constexpr double wine_start_up_headroom = 6.0;

std::vector<fault_case> one_of_each_kind() {
  const std::vector<std::string> chosen = {
      "write_address_refuse",    "write_command_silent",   "read_address_late_in_time",
      "erase_prelude2_too_late", "write_end_vanish",       "read_data_short",
      "read_data_flip",          "read_data_pause_in_time"};
  std::vector<fault_case> cases;
  for (const fault_case& c : all_fault_cases()) {
    if (std::find(chosen.begin(), chosen.end(), c.name) != chosen.end()) cases.push_back(c);
  }
  return cases;
}

struct E2EFaults : ::testing::TestWithParam<fault_case> {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }
};

}  // namespace

TEST_P(E2EFaults, At) {
  const fault_case& c = GetParam();
  const bool wine = running_under_wine();
  const bytes image = fault_image();
  write_file(dir + "/image.bin", image);
  const std::string dump = dir + "/memory.bin";
  sim_target sim = start_sim(dir, {"--fault", fault_option(c), "--dump",
                                   std::to_string(fault_image_address) + ":600:" + dump});

  process_result run = run_programmer(dir, fault_run_words("@PORT", "image.bin"), sim.pty_path);
  EXPECT_EQ(finish_sim(sim), 0);
  ASSERT_FALSE(run.timed_out);

  const std::vector<sim_event> log = read_sim_log(sim.log_path);
  EXPECT_EQ(without_reasons(run.out), fault_run_console(c));
  // Under Wine a vanished pty reads as silence: no unplugged device to report.
  EXPECT_EQ(reason_lines(run.out), fault_reason_lines(c, !wine));
  EXPECT_EQ(run.exit_code, c.fails || c.compare_fails ? 1 : 0);
  // Everything up to the spoiled answer, then not one byte more.
  EXPECT_EQ(bytes_received(log), fault_conversation(c, image).sent);
  if (!c.fails && !c.compare_fails) {
    EXPECT_EQ(read_file(dump), image);
  }

  // A wait shorter than the rule's gives up on a target that would still
  // answer: the run cannot be quicker than its drain, its pause and that
  // wait (under Wine, its serial layer keeps the time-outs). The upper bound
  // only catches waits far beyond the rule's, as the exact wait is checked
  // in-process; it is taken from the simulator's log where the line did not
  // vanish. Under Wine a hung-up pty reads as silence until the time-out,
  // where Windows itself reports the unplugged device at once.
  EXPECT_GE(run.seconds, c.least_ms / 1000.0 + (wine ? 0 : drain_at_open + line_settle));
  const double rule = (wine ? c.wine_wait_ms : c.wait_ms) / 1000.0;
  const double headroom = wine ? wine_headroom : scheduling_headroom;
  if (const double waited = first_byte_to_close(log); waited >= 0) {
    EXPECT_LE(waited, rule + headroom);
  } else {
    EXPECT_LE(run.seconds, drain_at_open + rule + headroom +
                               (wine ? wine_start_up_headroom : start_up_headroom));
  }
  if (!wine) {
    // Wine's own processes are not this test's children: CPU is measured natively only.
    EXPECT_LT(run.cpu_s, 0.5) << "the run kept the CPU busy while it waited";
  }
}

INSTANTIATE_TEST_SUITE_P(, E2EFaults, ::testing::ValuesIn(one_of_each_kind()),
                         [](const ::testing::TestParamInfo<fault_case>& info) {
                           return info.param.name;
                         });
