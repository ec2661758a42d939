// Percentages and sector selection at the edges of 32-bit arithmetic, where
// an overflow would show a wrong figure or erase the wrong sectors.
#include <gtest/gtest.h>

#include "cli/console_report.h"
#include "protocol/protocol.h"

namespace {

std::string percent_text(uint32_t done, uint32_t total) {
  return console_text(
      {.kind = event_kind::progress, .phase = run_phase::write, .size = total, .done = done});
}

std::vector<uint32_t> touched(uint32_t address, uint32_t size) {
  std::vector<uint32_t> numbers;
  for (const flash_sector& s : sector_map) {
    if (sector_touched(s, address, size)) numbers.push_back(s.number);
  }
  return numbers;
}

}  // namespace

TEST(Percent, NeverOverflowsForLargeTransfers) {
  EXPECT_EQ(percent_text(256, 300), "\b\b\b\b 85%");
  EXPECT_EQ(percent_text(300, 300), "\b\b\b\b100%");
  EXPECT_EQ(percent_text(0xFFFFFF00u, 0xFFFFFFFFu), "\b\b\b\b 99%");
  EXPECT_EQ(percent_text(0xFFFFFFFFu, 0xFFFFFFFFu), "\b\b\b\b100%");
  EXPECT_EQ(percent_text(50000000u, 100000000u), "\b\b\b\b 50%");
}

TEST(SectorSelection, EdgesOfTheAddressSpace) {
  EXPECT_TRUE(touched(0x20000000, 0).empty());
  EXPECT_EQ(touched(0x20001FFF, 2), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(touched(0x00000000, 0xFFFFFFFFu).size(), 10u);
  EXPECT_EQ(touched(0x200C3FFF, 1), std::vector<uint32_t>{17});
  EXPECT_TRUE(touched(0x200C4000, 0x1000).empty());
  EXPECT_TRUE(touched(0x20040000, 0x80000).empty());  // the gap between the blocks
  // A range that wraps past 0xFFFFFFFF ends below its start: compared as
  // unsigned values it touches nothing.
  EXPECT_TRUE(touched(0xFFFFFF00u, 0x20000200u).empty());
}
