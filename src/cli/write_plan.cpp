#include "cli/write_plan.h"

#include <algorithm>

namespace {

bool left_as_it_is(const write_plan& plan, const flash_sector& sector) {
  return std::find(plan.unchanged.begin(), plan.unchanged.end(), sector.number) !=
         plan.unchanged.end();
}

// The parts of `segment` that lie in no unchanged sector, one stretch each.
void add_written_parts(const write_plan& plan, const image_segment& segment,
                       std::vector<image_stretch>& stretches) {
  const uint64_t end = uint64_t{segment.address} + segment.bytes.size();
  uint64_t at = segment.address;  // the first byte not yet placed
  const auto add = [&](uint64_t until) {
    if (until <= at) return;
    stretches.push_back({static_cast<uint32_t>(at),
                         std::span(segment.bytes).subspan(at - segment.address, until - at)});
  };
  for (const flash_sector& sector : sector_map) {
    const uint64_t sector_end = uint64_t{sector.start} + sector.size;
    if (sector_end <= at || sector.start >= end || !left_as_it_is(plan, sector)) continue;
    add(sector.start);
    at = std::min(sector_end, end);
  }
  add(end);
}

}  // namespace

write_plan plan_write(std::span<const image_segment> segments, const board_record* known,
                      bool verify_all) {
  write_plan plan;
  for (const flash_sector& sector : sectors_touched(segments)) {
    if (known == nullptr) {
      plan.erase.push_back(sector);
      continue;
    }
    const known_sector now{sector, sector_digest(segments, sector)};
    if (std::find(known->sectors.begin(), known->sectors.end(), now) != known->sectors.end()) {
      plan.unchanged.push_back(sector.number);
    } else {
      plan.erase.push_back(sector);
      plan.holds.push_back(now);
    }
  }
  for (const image_segment& segment : segments) {
    if (plan.unchanged.empty()) {
      plan.write.push_back({segment.address, segment.bytes});  // an empty one too, as ever
    } else {
      add_written_parts(plan, segment, plan.write);
    }
    if (verify_all) plan.read_back.push_back({segment.address, segment.bytes});
  }
  if (!verify_all) plan.read_back = plan.write;
  return plan;
}
