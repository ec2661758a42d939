#include "cli/write_plan.h"

#include <algorithm>

namespace {

uint64_t end_of(const image_segment& segment) {
  return uint64_t{segment.address} + segment.bytes.size();
}

uint64_t end_of(const flash_sector& sector) { return uint64_t{sector.start} + sector.size; }

// The bytes of `segment` from `first` to before `end`.
image_segment part_of(const image_segment& segment, uint64_t first, uint64_t end) {
  const auto from = segment.bytes.begin() + static_cast<std::ptrdiff_t>(first - segment.address);
  return {static_cast<uint32_t>(first), {from, from + static_cast<std::ptrdiff_t>(end - first)}};
}

// Sorted by address, pieces that touch made one.
std::vector<image_segment> joined(std::vector<image_segment> pieces) {
  std::sort(pieces.begin(), pieces.end(),
            [](const image_segment& a, const image_segment& b) { return a.address < b.address; });
  std::vector<image_segment> whole;
  for (image_segment& piece : pieces) {
    if (!whole.empty() && end_of(whole.back()) == piece.address) {
      whole.back().bytes.insert(whole.back().bytes.end(), piece.bytes.begin(), piece.bytes.end());
    } else {
      whole.push_back(std::move(piece));
    }
  }
  return whole;
}

// A run of 0xff shorter than this is written back with the bytes around it:
// a transfer of its own would cost more than its blocks.
constexpr std::size_t blank_run_skipped = block_size;

// The parts of `kept` that are not blank: runs of other bytes, with the
// short blank runs between them.
std::vector<image_segment> not_blank(const image_segment& kept) {
  std::vector<image_segment> parts;
  const std::vector<uint8_t>& bytes = kept.bytes;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto first = std::find_if(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(),
                                    [](uint8_t b) { return b != 0xFF; });
    if (first == bytes.end()) break;
    auto last = first;  // past the last byte that is not blank
    for (auto scan = first; scan != bytes.end();) {
      const auto blank = std::find(scan, bytes.end(), uint8_t{0xFF});
      last = blank;
      const auto next = std::find_if(blank, bytes.end(), [](uint8_t b) { return b != 0xFF; });
      if (next == bytes.end() || static_cast<std::size_t>(next - blank) >= blank_run_skipped) break;
      scan = next;
    }
    const auto offset = static_cast<uint64_t>(first - bytes.begin());
    parts.push_back(part_of(kept, kept.address + offset,
                            kept.address + static_cast<uint64_t>(last - bytes.begin())));
    at = static_cast<std::size_t>(last - bytes.begin());
  }
  return parts;
}

// The parts of `pieces` that lie in `sector`.
std::vector<image_segment> parts_in(std::span<const image_segment> pieces,
                                    const flash_sector& sector) {
  std::vector<image_segment> parts;
  for (const image_segment& piece : pieces) {
    const uint64_t first = std::max<uint64_t>(piece.address, sector.start);
    const uint64_t end = std::min(end_of(piece), end_of(sector));
    if (first < end) parts.push_back(part_of(piece, first, end));
  }
  return parts;
}

bool left_as_it_is(const write_plan& plan, const flash_sector& sector) {
  return std::find(plan.unchanged.begin(), plan.unchanged.end(), sector.number) !=
         plan.unchanged.end();
}

}  // namespace

write_plan plan_of_image(std::span<const image_segment> segments) {
  write_plan plan;
  for (const flash_sector& sector : sector_map) {
    planned_sector planned{sector, parts_in(segments, sector)};
    if (!planned.bytes.empty()) plan.sectors.push_back(std::move(planned));
  }
  for (const image_segment& segment : segments) {
    const auto size = static_cast<uint32_t>(segment.bytes.size());
    // An empty image is still a transfer, of 0 bytes, as it has always been.
    if (size == 0) plan.outside.push_back(segment);
    for (const address_range& range : ranges_outside_map(segment.address, size)) {
      plan.outside.push_back(part_of(segment, range.first, uint64_t{range.last} + 1));
    }
  }
  plan.verify.assign(segments.begin(), segments.end());
  return plan;
}

void leave_unchanged_sectors(write_plan& plan, const board_record& known, bool verify_all) {
  std::vector<planned_sector> changed;
  for (planned_sector& planned : plan.sectors) {
    const known_sector now{planned.sector, sector_digest(planned.bytes, planned.sector)};
    if (std::find(known.sectors.begin(), known.sectors.end(), now) != known.sectors.end()) {
      plan.unchanged.push_back(planned.sector.number);
    } else {
      plan.holds.push_back(now);
      changed.push_back(std::move(planned));
    }
  }
  plan.sectors = std::move(changed);
  if (!verify_all) plan.verify = planned_writes(plan);
}

std::vector<image_segment> planned_writes(const write_plan& plan) {
  std::vector<image_segment> pieces = plan.outside;
  for (const planned_sector& sector : plan.sectors) {
    pieces.insert(pieces.end(), sector.bytes.begin(), sector.bytes.end());
  }
  return joined(std::move(pieces));
}

std::vector<address_range> unwritten_ranges(const planned_sector& planned) {
  std::vector<address_range> ranges;
  uint64_t at = planned.sector.start;
  for (const image_segment& piece : planned.bytes) {
    if (piece.address > at) {
      ranges.push_back({static_cast<uint32_t>(at), piece.address - 1});
    }
    at = end_of(piece);
  }
  const uint64_t end = end_of(planned.sector);
  if (at < end) ranges.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(end - 1)});
  return ranges;
}

std::vector<address_range> cleared_before_image(const planned_sector& planned) {
  std::vector<address_range> ranges = unwritten_ranges(planned);
  if (!planned.bytes.empty() && !ranges.empty() &&
      ranges.back().first >= end_of(planned.bytes.back())) {
    ranges.pop_back();  // the rest of the sector after its last byte
  }
  return ranges;
}

void keep_unwritten_bytes(write_plan& plan, std::span<const image_segment> kept) {
  std::size_t next = 0;
  std::vector<image_segment> verify = plan.outside;
  // What the verify was to read of sectors left as they are (--verify-all)
  // it still reads.
  for (const flash_sector& sector : sector_map) {
    if (!left_as_it_is(plan, sector)) continue;
    const std::vector<image_segment> parts = parts_in(plan.verify, sector);
    verify.insert(verify.end(), parts.begin(), parts.end());
  }
  for (planned_sector& planned : plan.sectors) {
    const std::size_t ranges = unwritten_ranges(planned).size();
    for (std::size_t i = 0; i < ranges && next < kept.size(); ++i, ++next) {
      const std::vector<image_segment> parts = not_blank(kept[next]);
      planned.bytes.insert(planned.bytes.end(), parts.begin(), parts.end());
    }
    planned.bytes = joined(std::move(planned.bytes));
    // The whole sector as it is to be: blank but for what is written.
    image_segment whole{planned.sector.start, std::vector<uint8_t>(planned.sector.size, 0xFF)};
    for (const image_segment& piece : planned.bytes) {
      std::copy(piece.bytes.begin(), piece.bytes.end(),
                whole.bytes.begin() + (piece.address - planned.sector.start));
    }
    verify.push_back(std::move(whole));
  }
  plan.verify = joined(std::move(verify));
}
