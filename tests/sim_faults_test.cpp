// vexlor-sim's fault rules (--fault STEP:KIND[:ARG][@N]): a rule must mean
// what it says, a typo must be refused, and a rule must hit exactly the
// occurrence it names.
#include <gtest/gtest.h>

#include <string>

#include "faults.h"

TEST(SimFaults, RulesAreParsed) {
  std::string error;
  auto rule = parse_fault("write.address:refuse@3", error);
  ASSERT_TRUE(rule.has_value()) << error;
  EXPECT_EQ(rule->step, sim_step::write_address);
  EXPECT_EQ(rule->kind, fault_kind::refuse);
  EXPECT_EQ(rule->occurrence, 3u);

  rule = parse_fault("read.data:flip:7@*", error);
  ASSERT_TRUE(rule.has_value()) << error;
  EXPECT_EQ(rule->kind, fault_kind::flip);
  EXPECT_EQ(rule->arg, 7u);
  EXPECT_EQ(rule->occurrence, 0u);

  rule = parse_fault("start:late:900", error);
  ASSERT_TRUE(rule.has_value()) << error;
  EXPECT_EQ(rule->arg, 900u);
  EXPECT_EQ(rule->occurrence, 1u);
}

TEST(SimFaults, BadRulesAreRefused) {
  for (const char* text :
       {"start", "begin:refuse", "start:explode", "start:late", "start:refuse:0x75",
        "start:refuse:256", "start:silent:1", "write.end:short:4", "erase.final:flip:0",
        "read.command:pause:80", "start:refuse@0", "start:refuse@x", "read.data:short:-1"}) {
    std::string error;
    EXPECT_FALSE(parse_fault(text, error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(SimFaults, OccurrencesCountPerStepOverTheLifetime) {
  std::string error;
  fault_table table;
  table.rules = {*parse_fault("write.address:refuse@3", error),
                 *parse_fault("read.data:silent@*", error)};

  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  EXPECT_FALSE(fault_take(table, sim_step::write_end));  // other steps do not count
  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  EXPECT_TRUE(fault_take(table, sim_step::write_address));
  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(fault_take(table, sim_step::read_data));
}
