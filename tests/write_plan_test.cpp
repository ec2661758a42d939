// The write phase's plan: which sectors an image's write erases, what it
// writes and reads back, and what --keep-unwritten makes of it.
#include "cli/write_plan.h"

#include <gtest/gtest.h>

#include "support/address.h"

namespace {

// "0x20000000+256 0x20000200+7680": where each piece is and how long.
std::string ranges_of(const std::vector<image_segment>& pieces) {
  std::string text;
  for (const image_segment& p : pieces) {
    text +=
        (text.empty() ? "" : " ") + hex_address(p.address) + "+" + std::to_string(p.bytes.size());
  }
  return text;
}

}  // namespace

// Each touched sector once, in the map's order, the segments written and
// read back as they are; and the ranges an erase clears before the image's
// bytes in a sector, which the run warns of.
TEST(WritePlan, AnImageErasesEachTouchedSectorOnceInMapOrder) {
  struct sectors_case {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // address, size
    std::vector<uint32_t> sectors;
    std::string cleared = "";
  };
  const std::vector<sectors_case> cases = {
      {{{0x20000000, 300}}, {0}},
      {{{0x20000100, 0x100}}, {0}, "0x20000000-0x200000FF"},
      // The rest of each sector after the image: as always, without a word.
      {{{0x20000000, 300}, {0x20004000, 0x2001}, {0x200C2000, 100}}, {0, 2, 3, 17}},
      {{{0x20000000, 8}, {0x20001000, 8}}, {0}, "0x20000008-0x20000FFF"},
      {{{0x20010100, 8}, {0x200C2000, 8}, {0x200C3000, 8}},
       {5, 17},
       "0x20010000-0x200100FF 0x200C2008-0x200C2FFF"},
  };
  for (const sectors_case& c : cases) {
    std::vector<image_segment> segments;
    for (const auto& [address, size] : c.ranges) {
      segments.push_back({address, std::vector<uint8_t>(size)});
    }
    SCOPED_TRACE(ranges_of(segments));
    const write_plan plan = plan_of_image(segments);
    std::vector<uint32_t> numbers;
    std::string cleared;
    for (const planned_sector& s : plan.sectors) {
      numbers.push_back(s.sector.number);
      for (const address_range& r : cleared_before_image(s)) {
        cleared += (cleared.empty() ? "" : " ") + hex_address(r.first) + "-" + hex_address(r.last);
      }
    }
    EXPECT_EQ(numbers, c.sectors);
    EXPECT_EQ(cleared, c.cleared);
    EXPECT_EQ(ranges_of(planned_writes(plan)), ranges_of(segments));
    EXPECT_EQ(ranges_of(plan.verify), ranges_of(segments));
  }
}

// What the erase clears goes back, but for long blank runs; the verify
// reads the sector whole.
TEST(WritePlan, KeptBytesAreWrittenBackAndTheSectorsVerifiedWhole) {
  const std::vector<uint8_t> image(0x100, 0x11), before(0x100, 0x22);
  std::vector<uint8_t> after(0x1E00, 0xFF);  // blank, but for two islands 16 bytes apart
  std::fill_n(after.begin() + 0x100, 0x10, 0x33);
  std::fill_n(after.begin() + 0x120, 0x10, 0x44);
  write_plan plan = plan_of_image(std::vector<image_segment>{{0x20000100, image}});
  ASSERT_EQ(unwritten_ranges(plan.sectors[0]),
            (std::vector<address_range>{{0x20000000, 0x200000FF}, {0x20000200, 0x20001FFF}}));
  keep_unwritten_bytes(plan, std::vector<image_segment>{{0x20000000, before}, {0x20000200, after}});
  EXPECT_EQ(ranges_of(planned_writes(plan)), "0x20000000+512 0x20000300+48");
  ASSERT_EQ(ranges_of(plan.verify), "0x20000000+8192");
  std::vector<uint8_t> whole = before;
  whole.insert(whole.end(), image.begin(), image.end());
  whole.insert(whole.end(), after.begin(), after.end());
  EXPECT_TRUE(plan.verify[0].bytes == whole);
}
