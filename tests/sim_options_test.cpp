// The command line of vexlor-sim: what a test script writes must mean what
// it says, and typos must be refused, not ignored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_options.h"

namespace {

std::optional<sim_options> parse(std::vector<std::string> args, std::string* error_out = nullptr) {
  std::string error;
  auto options = parse_sim_options(args, error);
  if (error_out) *error_out = error;
  return options;
}

}  // namespace

TEST(SimOptions, ValuesAreParsed) {
  auto options =
      parse({"--once", "--baud", "115200", "--chatter", "55aA00", "--load", "0x20000000:a.bin",
             "--dump", "536870912:0x100:C:/dir:x.bin", "--max-seconds", "2.5", "--latency", "16",
             "--board-id", "0x1FFF7A10:00aB"});
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
  ASSERT_TRUE(options->board_id.has_value());
  EXPECT_EQ(options->board_id->address, 0x1FFF7A10u);
  EXPECT_EQ(options->board_id->bytes, (std::vector<uint8_t>{0x00, 0xAB}));
  for (const auto& [value, length] : {std::pair{"0x10:random", 12u}, {"0x10:random:256", 256u}}) {
    auto random_id = parse({"--board-id", value});
    ASSERT_TRUE(random_id.has_value() && random_id->board_id.has_value()) << value;
    EXPECT_EQ(random_id->board_id->random_length, length) << value;
  }

  options = parse({"--wiring", "R1:D0:25", "--app-text", "v2\\x01\\\\\\r\\n", "--ignore-starts",
                   "3", "--echo", "--lines-from", "/tmp/lines"});
  ASSERT_TRUE(options.has_value());
  ASSERT_TRUE(options->board.wiring.has_value());
  EXPECT_EQ(line_level_name(options->board.wiring->reset), "R1");
  EXPECT_EQ(line_level_name(options->board.wiring->boot), "D0");
  EXPECT_EQ(options->board.wiring->boot_hold_ms, 25u);
  EXPECT_EQ(options->board.app_text, (std::vector<uint8_t>{'v', '2', 0x01, '\\', '\r', '\n'}));
  EXPECT_EQ(options->board.ignored_starts, 3u);
  EXPECT_TRUE(options->board.echo);
  EXPECT_EQ(options->lines_from, "/tmp/lines");
  options = parse({"--app-answers", "2", "--app-text", "hi"});
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->board.app_answers, 2u);
  options = parse({"--app-banner", "v1\\r\\n", "--app-every", "250"});
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->board.app_banner, (std::vector<uint8_t>{'v', '1', '\r', '\n'}));
  EXPECT_EQ(options->board.app_every_ms, 250u);
  EXPECT_TRUE(parse({"--app-crash"}).value_or(sim_options{}).board.app_crash);
  EXPECT_EQ(parse({"--app-after", "300"}).value_or(sim_options{}).board.app_after_ms, 300u);
}

TEST(SimOptions, MistakesAreRefused) {
  const std::vector<std::vector<std::string>> bad{
      {"--bogus"},
      {"--baud"},
      {"--baud", "fast"},
      {"--baud", "-1"},
      {"--chatter", "abc"},
      {"--on-open", "zz"},
      {"--load", "0x10"},
      {"--load", "0x1g:f"},
      {"--dump", "0:16"},
      {"--dump", "0:16:"},
      {"--max-seconds", "0"},
      {"--erase-ms", "0x"},
      {"--once", "extra"},
      {"--load", "0x100000000:f"},
      {"--latency", "16ms"},
      {"--wiring", "D1:D0"},
      {"--wiring", "D1"},
      {"--wiring", "X1:R0"},
      {"--wiring", "D1:R0:soon"},
      {"--app-text", ""},
      {"--app-text", "a\\q"},
      {"--app-text", "a\\x4"},
      {"--app-text", "a\\x"},
      {"--app-text", "a\\"},
      {"--app-answers", "1"},
      {"--app-answers", "0", "--app-text", "a"},
      {"--app-text", "a", "--app-answers", "1", "--wiring", "D1:R0"},
      {"--app-banner", ""},
      {"--app-every", "250"},
      {"--app-every", "0", "--app-banner", "a"},
      {"--app-banner", "a", "--app-every", "250", "--app-crash"},
      {"--app-crash", "on"},
      {"--app-after", "0"},
      {"--app-after", "300", "--wiring", "D1:R0"},
      {"--app-after", "300", "--app-text", "a"},
      {"--ignore-starts", "-1"},
      {"--echo", "on"},
      {"--board-id", "0x10"},
      {"--board-id", "0x10:"},
      {"--board-id", "0x10:abc"},
      {"--board-id", "0x10:random:0"},
      {"--board-id", "0x10:random:257"},
      {"--board-id", "0x10:randomly"}};
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(parse(args, &error).has_value()) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}
