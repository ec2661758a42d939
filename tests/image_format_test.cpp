#include "cli/image_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ImageFormat, ContainersAreKnownOnlyWhenEveryRecordIsWellFormed) {
  struct format_case {
    std::string what;
    std::string text;
    image_format format;
  };
  const std::string hex_data = ":0400000001020304F2";
  const std::string hex_end = ":00000001FF";
  const std::string s_header = "S00600004844521B";
  const std::string s_data = "S107000001020304EE";
  const std::string s_end = "S9030000FC";
  const std::vector<format_case> cases = {
      {"elf magic", std::string("\177ELF\2\1\1", 7), image_format::elf},
      {"intel hex, LF", hex_data + "\n" + hex_end + "\n", image_format::intel_hex},
      {"intel hex, CRLF, lower case, no final line end", ":0400000001020304f2\r\n" + hex_end,
       image_format::intel_hex},
      {"intel hex, bad checksum", ":0400000001020304F3\n" + hex_end + "\n", image_format::raw},
      {"intel hex, count disagrees with the data", ":0500000001020304F2\n" + hex_end + "\n",
       image_format::raw},
      {"intel hex without the end-of-file record", hex_data + "\n", image_format::raw},
      {"intel hex with a record after the end", hex_end + "\n" + hex_data + "\n",
       image_format::raw},
      {"intel hex with an empty line between records", hex_data + "\n\n" + hex_end + "\n",
       image_format::raw},
      {"raw bytes after intel hex records", hex_data + "\n" + hex_end + "\n\x01",
       image_format::raw},
      {"s-records", s_header + "\n" + s_data + "\r\n" + s_end + "\n", image_format::s_record},
      {"s-record, bad checksum", "S107000001020304EF\n", image_format::raw},
      {"s-record, reserved type S4", "S4030000FC\n", image_format::raw},
      {"s-record, count too short for its address", "S3030000FC\n", image_format::raw},
      {"raw bytes that begin with S", "Some text\n", image_format::raw},
      {"empty", "", image_format::raw},
      {"three bytes of the elf magic", "\177EL", image_format::raw},
  };
  for (const format_case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> bytes(c.text.begin(), c.text.end());
    EXPECT_EQ(recognise_image_format(bytes), c.format);
  }
}
