#include "options/options.h"

#include <gtest/gtest.h>

// Every character a digit of its base, the value below 2^32: a slip is
// named, never read as some other number.
TEST(ParseNumber, DigitsOfItsBaseOrTheFirstThatIsNot) {
  struct row {
    std::string text;
    uint32_t value;     // when read
    std::string fault;  // empty: read
  };
  const std::vector<row> rows{
      {"0x20000000", 0x20000000, ""},
      {"0X8000", 0x8000, ""},
      {"4294967295", 4294967295, ""},
      {"12k", 0, "'k' is not a decimal digit"},
      {"1F", 0, "'F' is not a decimal digit"},
      {"0xDeadBeeg", 0, "'g' is not a hex digit"},
      {"0x2000\x1b", 0, "'\\x1b' is not a hex digit"},
      {"0x", 0, "no digits"},
      {"", 0, "no digits"},
      {"4294967296", 0, "more than 32 bits"},
      {"0x100000000", 0, "more than 32 bits"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    uint32_t value = 0;
    std::string fault;
    EXPECT_EQ(parse_number(r.text, value, fault), r.fault.empty());
    EXPECT_EQ(fault, r.fault);
    if (r.fault.empty()) {
      EXPECT_EQ(value, r.value);
    }
  }
  uint32_t value = 0;
  std::string fault;
  EXPECT_FALSE(parse_decimal("0x10", value, fault));
  EXPECT_EQ(fault, "'x' is not a decimal digit");
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
  EXPECT_EQ(
      s.slips,
      (std::vector<std::string>{"the image is b.bin, not a.bin: the last such word names it"}));

  s = parse({"--verify", "--write", "--verify"});
  EXPECT_TRUE(s.write);
  EXPECT_TRUE(s.verify);

  // After "--" every word is the image path, whatever it looks like.
  s = parse({"--write", "--", "--verify", "-fw.bin"});
  EXPECT_FALSE(s.verify);
  EXPECT_EQ(s.image_path, "-fw.bin");
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_TRUE(parse({"--version", "fw.bin"}).version);
}

TEST(ParseOptions, NamesAreKeptWholeToBeRefusedNotCut) {
  const std::string long_path(300, 'p');
  EXPECT_EQ(parse({long_path}).image_path, long_path);  // refused at open, never cut
  const std::string long_port(300, 'q');
  EXPECT_EQ(parse({"--port", long_port}).port_name, long_port);  // refused at open, never cut
}
