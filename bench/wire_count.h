// Bytes a programming run puts on the line, both directions, counted from
// the exchanges the boot loader defines; and their time on an 8N1 line.
#pragma once

#include <cstdint>
#include <span>

struct wire_count {
  uint32_t sectors = 0;  // erased
  uint32_t write_blocks = 0;
  uint32_t read_blocks = 0;
  uint64_t bytes = 0;  // host to target plus target to host
};

// A run of the tool with --write and/or --verify (neither: handshake only).
wire_count count_run(uint32_t address, uint32_t size, bool write, bool verify);

// The same for an image in pieces (the segments of an image with
// addresses): each sector any of them touches erased once, each piece its
// own transfer.
struct image_range {
  uint32_t address;
  uint32_t size;
};
wire_count count_run(std::span<const image_range> ranges, bool write, bool verify);

// Ten bit times a byte (start, 8 data, stop), one byte after another.
inline double wire_seconds(uint64_t bytes, uint32_t baud) {
  return static_cast<double>(bytes) * 10.0 / baud;
}
