// What the host knows a board holds: the write plan that leaves unchanged
// sectors alone, and the record file that says which those are, read back
// only when it is whole.
#include <gtest/gtest.h>

#include "board_cache/board_cache.h"
#include "cli/write_plan.h"
#include "support/test_files.h"

namespace {

using numbers = std::vector<uint32_t>;

struct stretch {
  uint32_t address;
  uint32_t size;
  bool operator==(const stretch&) const = default;
};

std::vector<stretch> stretches(const std::vector<image_segment>& all) {
  std::vector<stretch> out;
  for (const image_segment& s : all) out.push_back({s.address, uint32_t(s.bytes.size())});
  return out;
}

numbers sector_numbers(const std::vector<planned_sector>& sectors) {
  numbers out;
  for (const planned_sector& s : sectors) out.push_back(s.sector.number);
  return out;
}

// The record a flash of `segments` leaves, for the sectors named.
board_record flashed(const std::vector<image_segment>& segments, const numbers& sectors) {
  board_record record{"0a0b0c", {}};
  for (uint32_t n : sectors) {
    record.sectors.push_back({*find_sector(uint8_t(n)), sector_digest(segments, *find_sector(n))});
  }
  return record;
}

}  // namespace

TEST(WritePlan, LeavesTheSectorsTheBoardHoldsAlone) {
  const std::vector<image_segment> old_image{{0x20000000, pattern_bytes(0x6000, 1)}};
  std::vector<image_segment> one_byte = old_image;
  one_byte[0].bytes[0x2005] ^= 0xFF;  // in sector 1
  const std::vector<image_segment> shorter{{0x20000000, pattern_bytes(0x5000, 1)}};
  // Sectors 7 and 16 with plain memory between them, which no record holds.
  const std::vector<image_segment> past_the_map{{0x2003F000, pattern_bytes(0x82000, 2)}};
  const board_record none, old = flashed(old_image, {0, 1, 2});
  const board_record lacks_1 = flashed(one_byte, {0, 2}), ends = flashed(past_the_map, {7, 16});
  const stretch whole{0x20000000, 0x6000}, sector_1{0x20002000, 0x2000};
  struct row {
    std::string what;
    const std::vector<image_segment>& image;
    const board_record* known;  // none: a plain run
    numbers erase;
    std::vector<stretch> write;
    std::vector<stretch> read_back = {};  // none: as written
    bool verify_all = false;
  };
  const std::vector<row> rows{
      {"plain: every sector, the segment whole", one_byte, nullptr, {0, 1, 2}, {whole}},
      {"no record: every sector", one_byte, &none, {0, 1, 2}, {whole}},
      {"one byte changed: its sector alone", one_byte, &old, {1}, {sector_1}},
      {"--verify-all reads the whole segment", one_byte, &old, {1}, {sector_1}, {whole}, true},
      {"the same bytes over less of a sector", shorter, &old, {2}, {{0x20004000, 0x1000}}},
      {"a sector the record lacks", one_byte, &lacks_1, {1}, {sector_1}},
      {"memory outside the map is always written",
       past_the_map,
       &ends,
       {},
       {{0x20040000, 0x80000}}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    write_plan plan = plan_of_image(r.image);
    if (r.known != nullptr) leave_unchanged_sectors(plan, *r.known, r.verify_all);
    EXPECT_EQ(sector_numbers(plan.sectors), r.erase);
    EXPECT_EQ(stretches(planned_writes(plan)), r.write);
    EXPECT_EQ(stretches(plan.verify), r.read_back.empty() ? r.write : r.read_back);
    EXPECT_EQ(plan.holds.size(), r.known ? r.erase.size() : 0);
  }
}

TEST(BoardRecord, ReadBackOnlyWhenWhole) {
  const std::vector<image_segment> image{{0x20000000, pattern_bytes(0x4000, 3)}};
  const board_record record = flashed(image, {0, 1});
  const std::string text = board_record_text(record);
  board_record read;
  std::string why;
  ASSERT_TRUE(parse_board_record(text, "0a0b0c", read, why)) << why;
  EXPECT_EQ(read.sectors, record.sectors);

  std::string moved = text;
  moved.replace(moved.find("sector 1 0x20002000"), 19, "sector 9 0x20002000");
  struct row {
    std::string what;
    std::string text;
    std::string why;
  };
  const std::vector<row> rows{
      {"another board's", text, "it is not the record of board 0a0b0d"},
      {"a sector the map lacks", moved, "sector 9 is not a sector of the flash map"},
      {"no record at all", "{}", "its first line is not \"vexlor-prog board record 1\""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string id = &r == &rows.front() ? "0a0b0d" : "0a0b0c";
    EXPECT_FALSE(parse_board_record(r.text, id, read, why));
    EXPECT_EQ(why, r.why);
  }
}
