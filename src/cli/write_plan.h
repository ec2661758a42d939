// What the write phase erases and writes, and what the verify phase reads
// back: a plan made from the image's segments before the first erase. A
// plain run erases every sector the image touches and writes and reads
// every segment whole. With what the board is known to hold (--changed-only)
// a sector whose bytes would come out the same is left as it is: neither
// erased nor written, and read back only when every sector is to be.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "board_cache/board_cache.h"
#include "image/image.h"

// Image bytes at their target address, in the image's own memory.
struct image_stretch {
  uint32_t address = 0;
  std::span<const uint8_t> bytes;
};

struct write_plan {
  std::vector<flash_sector> erase;  // in the map's order
  // In address order: each segment whole, or its parts outside the sectors
  // left as they are, each a transfer of its own. Bytes outside the map
  // are always written, as no sector holds them.
  std::vector<image_stretch> write;
  std::vector<image_stretch> read_back;
  // Once written, what each erased sector holds; only with `known`.
  std::vector<known_sector> holds;
  std::vector<uint32_t> unchanged;  // sector numbers, in the map's order
};

// The plan for `segments`, which it points into. Without `known` every
// sector the image touches is erased and written; with it, a sector whose
// digest `known` names for that same sector is unchanged. `verify_all`:
// every segment is read back whole, whatever was written.
write_plan plan_write(std::span<const image_segment> segments, const board_record* known,
                      bool verify_all);
