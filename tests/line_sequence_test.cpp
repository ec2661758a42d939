// The step language of --enter and --leave: each step means what it says,
// and a bad value is refused with a reason that names it, fit for a terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options/line_sequence.h"

namespace {

// A parsed sequence spelled back, one word a step: "R1 W10".
std::string spelled(const std::vector<line_step>& steps) {
  static const char* const drive_words[] = {"R1", "R0", "D1", "D0"};
  std::string text;
  for (const line_step& step : steps) {
    if (!text.empty()) text += ' ';
    text += step.drive ? drive_words[static_cast<int>(*step.drive)]
                       : "W" + std::to_string(step.wait_ms);
  }
  return text;
}

}  // namespace

TEST(LineSequence, StepsAreReadAndBadValuesNamed) {
  struct row {
    std::string text;
    std::string steps;  // spelled back; empty with `refusal`
    std::string refusal;
  };
  const std::vector<row> rows{
      {std::string(default_enter_sequence), "R0 D1 D0 W10", ""},
      {std::string(default_leave_sequence), "R1 D1 D0", ""},
      {"none", "", ""},
      {"W0,D1,W10000,W007", "W0 D1 W10000 W7", ""},
      {"R2", "", "unknown step 'R2' (steps are R0, R1, D0, D1, W<ms>, separated by commas)"},
      {"r1", "", "unknown step 'r1' (steps are R0, R1, D0, D1, W<ms>, separated by commas)"},
      {"R0;D1", "", "unknown step 'R0;D1' (steps are R0, R1, D0, D1, W<ms>, separated by commas)"},
      {"R0, D1", "", "unknown step ' D1' (steps are R0, R1, D0, D1, W<ms>, separated by commas)"},
      {"none,R1", "", "'none' stands alone, for no steps at all: leave it out of 'none,R1'"},
      {"R0,none", "", "'none' stands alone, for no steps at all: leave it out of 'R0,none'"},
      {"W", "", "the wait 'W' needs a number of milliseconds"},
      {"R1,W-5", "", "the wait 'W-5' needs a number of milliseconds"},
      {"W10ms", "", "the wait 'W10ms' needs a number of milliseconds"},
      {"W10001", "", "the wait 'W10001' is over 10000 ms"},
      {"W99999999999999999999", "", "the wait 'W99999999999999999999' is over 10000 ms"},
      {"", "", "an empty sequence: give none for no steps"},
      {"R1,,D1", "", "an empty step in 'R1,,D1'"},
      {"R1,", "", "an empty step in 'R1,'"},
      {"\x1b[2J", "",
       "unknown step '\\x1b[2J' (steps are R0, R1, D0, D1, W<ms>, separated by commas)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    std::string why;
    const auto steps = parse_line_sequence(r.text, why);
    EXPECT_EQ(why, r.refusal);
    EXPECT_EQ(steps.has_value(), r.refusal.empty());
    if (steps) {
      EXPECT_EQ(spelled(*steps), r.steps);
    }
  }
}
