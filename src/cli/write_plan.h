// What the write phase does to the flash: which sectors it erases, each
// once and in the map's order, and which bytes go into each once it is
// erased; the bytes that no sector holds are written without an erase. The
// plan is made from the image, then shaped by the options that change what
// is erased or written (--changed-only leaves the sectors the board is known
// to hold as they are; --keep-unwritten puts back the bytes of a sector that
// the image does not cover); the write phase carries out whatever plan it is
// given.
#pragma once

#include <span>
#include <vector>

#include "board_cache/board_cache.h"
#include "image/image.h"
#include "protocol/protocol.h"

struct planned_sector {
  flash_sector sector;
  // Written after its erase: lowest address first, none overlapping, all
  // inside the sector.
  std::vector<image_segment> bytes;
};

struct write_plan {
  std::vector<planned_sector> sectors;  // erased, in the map's order
  std::vector<image_segment> outside;   // in no sector: written without an erase
  // What the verify reads back and compares, lowest address first.
  std::vector<image_segment> verify;
  // --changed-only: the sectors left as they are, by number in the map's
  // order, and what each planned sector holds once written.
  std::vector<uint32_t> unchanged;
  std::vector<known_sector> holds;
};

// The image's plan: every sector that any segment touches, given its part
// of the segments; the verify reads the segments back.
write_plan plan_of_image(std::span<const image_segment> segments);

// --changed-only: a planned sector whose image bytes `known` names for that
// very sector is left as it is: neither erased nor written. The verify then
// reads back what is written, or with `verify_all` the image whole. Made
// before --keep-unwritten shapes the plan, from the image's bytes alone.
void leave_unchanged_sectors(write_plan& plan, const board_record& known, bool verify_all);

// What the write sends, lowest address first: the sectors' bytes and those
// outside, joined where they touch, each piece one transfer. For an image's
// own plan, its segments.
std::vector<image_segment> planned_writes(const write_plan& plan);

// The stretches of a planned sector that its erase clears and its bytes do
// not cover.
std::vector<address_range> unwritten_ranges(const planned_sector& sector);

// Of those, the ones before some of the sector's bytes: what lies before
// an image's start in its sector, or between its segments, is some other
// program's (a boot loader, calibration data); the rest of a sector after
// the image's end is the usual case, erased as always.
std::vector<address_range> cleared_before_image(const planned_sector& sector);

// --keep-unwritten: `kept` holds what the unwritten ranges held before the
// erase, one segment per range, sector after sector, as unwritten_ranges
// gives them. Their bytes are written back with the image's, but for runs of
// 0xff that the erase leaves as they were; the verify then reads every
// planned sector whole.
void keep_unwritten_bytes(write_plan& plan, std::span<const image_segment> kept);
