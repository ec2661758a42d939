// What each image reader gives before the segments are made: the runs of
// bytes its records or program headers place, in the file's order.
#pragma once

#include <cstddef>
#include <cstdint>

// At `offset` in the reader's byte source: the file itself for ELF, the
// decoded data for text records. The address is wide enough that a piece
// running past 2^32 can be told and refused.
struct image_piece {
  uint64_t address;
  uint64_t size;  // never 0
  std::size_t offset;
  uint32_t origin;  // the line number, or the program header's index
};
