// Command-line and fault-rule parsing of vexlor-sim: what a test script
// writes must mean what it says, and typos must be refused, not ignored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faults.h"
#include "sim_options.h"

namespace {

std::optional<sim_options> parse(std::vector<std::string> args, std::string* error_out = nullptr)
{
  std::string error;
  auto options = parse_sim_options(args, error);
  if (error_out) *error_out = error;
  return options;
}

}  // namespace

TEST(SimOptions, ValuesAreParsed)
{
  auto options = parse({"--once", "--baud", "115200", "--chatter", "55aA00", "--load", "0x20000000:a.bin",
                        "--dump", "536870912:0x100:C:/dir:x.bin", "--max-seconds", "2.5", "--latency", "16"});
  ASSERT_TRUE(options.has_value());
  EXPECT_TRUE(options->once);
  EXPECT_EQ(options->baud, 115200u);
  EXPECT_EQ(options->chatter, (std::vector<uint8_t>{0x55, 0xAA, 0x00}));
  ASSERT_EQ(options->loads.size(), 1u);
  EXPECT_EQ(options->loads[0].address, 0x20000000u);
  ASSERT_EQ(options->dumps.size(), 1u);
  EXPECT_EQ(options->dumps[0].address, 0x20000000u);
  EXPECT_EQ(options->dumps[0].size, 0x100u);
  EXPECT_EQ(options->dumps[0].path, "C:/dir:x.bin");
  EXPECT_DOUBLE_EQ(options->max_seconds, 2.5);
  EXPECT_EQ(options->latency_ms, 16u);
}

TEST(SimOptions, MistakesAreRefused)
{
  const std::vector<std::vector<std::string>> bad{
      {"--bogus"},           {"--baud"},           {"--baud", "fast"},     {"--baud", "-1"},
      {"--chatter", "abc"},  {"--on-open", "zz"},  {"--load", "0x10"},     {"--load", "0x1g:f"},
      {"--dump", "0:16"},    {"--dump", "0:16:"},  {"--max-seconds", "0"}, {"--erase-ms", "0x"},
      {"--once", "extra"},   {"--load", "0x100000000:f"}, {"--latency", "16ms"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(parse(args, &error).has_value()) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(SimFaults, SpecsAreParsed)
{
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

TEST(SimFaults, BadSpecsAreRefused)
{
  for (const char* text : {"start", "begin:refuse", "start:explode", "start:late", "start:refuse:1",
                           "write.end:short:4", "erase.final:flip:0", "start:refuse@0", "start:refuse@x",
                           "read.data:short:-1"}) {
    std::string error;
    EXPECT_FALSE(parse_fault(text, error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(SimFaults, OccurrencesCountPerStepOverTheLifetime)
{
  std::string error;
  fault_table table;
  table.rules = {*parse_fault("write.address:refuse@3", error), *parse_fault("read.data:silent@*", error)};

  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  EXPECT_FALSE(fault_take(table, sim_step::write_end));  // other steps do not count
  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  EXPECT_TRUE(fault_take(table, sim_step::write_address));
  EXPECT_FALSE(fault_take(table, sim_step::write_address));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(fault_take(table, sim_step::read_data));
}
