#include "options/options.h"

#include <gtest/gtest.h>

TEST(ParseNumber, HexDecimalAndJunkDigits) {
  EXPECT_EQ(parse_number("0x20000000"), 0x20000000u);
  EXPECT_EQ(parse_number("0X8000"), 0x8000u);
  EXPECT_EQ(parse_number("4096"), 4096u);
  EXPECT_EQ(parse_number("12k"), 120u);  // junk still multiplies
  EXPECT_EQ(parse_number("1F"), 10u);    // hex letters mean nothing in base 10
  EXPECT_EQ(parse_number("-5"), 5u);
  EXPECT_EQ(parse_number("0x"), 0u);
  EXPECT_EQ(parse_number(""), 0u);
  EXPECT_EQ(parse_number("0xDeadBeef"), 0xDEADBEEFu);
}

TEST(ParseNumber, WrapsModulo2To32) {
  EXPECT_EQ(parse_number("4294967296"), 0u);
  EXPECT_EQ(parse_number("4294967297"), 1u);
  EXPECT_EQ(parse_number("0x1234567890"), 0x34567890u);
  // 99999999999999999999 mod 2^32
  EXPECT_EQ(parse_number("99999999999999999999"), 1661992959u);
}

TEST(ParseDecimal, SignSpacesJunkAndSaturation) {
  EXPECT_EQ(parse_decimal("115200"), 115200);
  EXPECT_EQ(parse_decimal("  +9600baud"), 9600);
  EXPECT_EQ(parse_decimal("-300"), -300);
  EXPECT_EQ(parse_decimal("fast"), 0);
  EXPECT_EQ(parse_decimal(""), 0);
  EXPECT_EQ(parse_decimal("2147483647"), 2147483647);
  EXPECT_EQ(parse_decimal("2147483648"), 2147483647);
  EXPECT_EQ(parse_decimal("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_decimal("-99999999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(parse_decimal("99999999999999999999999"), 2147483647);
}

namespace {
run_settings parse(std::vector<std::string> words) {
  run_settings settings;
  std::string why;
  EXPECT_TRUE(parse_options(words, settings, why)) << why;
  return settings;
}
}  // namespace

TEST(ParseOptions, DefaultsWithNoWords) {
  const run_settings s = parse({});
  EXPECT_EQ(s.port_name, "COM1");
  EXPECT_EQ(s.baud_rate, 115200);
  EXPECT_EQ(s.address, 0x20000000u);
  EXPECT_FALSE(s.write);
  EXPECT_FALSE(s.verify);
  EXPECT_EQ(s.image_path, "default.bin");
}

TEST(ParseOptions, WordOrderAndRepeats) {
  run_settings s = parse({"image.bin", "--write", "--address", "0x20010000"});
  EXPECT_EQ(s.image_path, "image.bin");
  EXPECT_TRUE(s.write);
  EXPECT_EQ(s.address, 0x20010000u);

  s = parse({"--port", "COM3", "--port", "COM4", "a.bin", "b.bin", "--baudrate", "9600"});
  EXPECT_EQ(s.port_name, "COM4");
  EXPECT_EQ(s.image_path, "b.bin");
  EXPECT_EQ(s.baud_rate, 9600);

  s = parse({"--verify", "--write", "--verify"});
  EXPECT_TRUE(s.write);
  EXPECT_TRUE(s.verify);
}

TEST(ParseOptions, ValueOptionsConsumeTheNextWordWhateverItIs) {
  run_settings s = parse({"--port", "--write"});
  EXPECT_EQ(s.port_name, "--write");
  EXPECT_FALSE(s.write);

  s = parse({"--address", "--verify"});
  EXPECT_EQ(s.address, 0u);
  EXPECT_FALSE(s.verify);
}

TEST(ParseOptions, LastValueOptionWithoutValueIsTheImagePath) {
  EXPECT_EQ(parse({"x.bin", "--address"}).image_path, "--address");
  EXPECT_EQ(parse({"--port"}).image_path, "--port");
  EXPECT_EQ(parse({"--help"}).image_path, "--help");
  EXPECT_EQ(parse({"--Write"}).image_path, "--Write");  // options match case-sensitively
}

TEST(ParseOptions, NamesAreKeptWholeToBeRefusedNotCut) {
  const std::string long_path(300, 'p');
  EXPECT_EQ(parse({long_path}).image_path, long_path);  // refused at open, never cut
  const std::string long_port(300, 'q');
  EXPECT_EQ(parse({"--port", long_port}).port_name, long_port);  // refused at open, never cut
}
