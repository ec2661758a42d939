// An image as the bytes it puts at each address: ELF, Intel HEX and
// S-record files carry their own addresses, and the gaps between their
// pieces (a boot block, an application, a data block) are neither erased
// nor written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/image_format.h"
#include "protocol/protocol.h"

struct image_segment {
  uint32_t address;
  // Never empty as a reader gives it; address + size is at most 2^32.
  std::vector<uint8_t> bytes;
};

// Reads an ELF, Intel HEX or S-record file into segments: sorted by address,
// none overlapping, pieces that touch merged into one. False, with one
// lower-case line in `why` naming what is wrong and where (line, program
// header), for a file that breaks its format's rules, holds no bytes to
// program, gives a byte twice or runs past the end of the address space.
// Raw bytes carry no address; they are refused here too.
bool read_image_segments(std::span<const uint8_t> file, image_format format,
                         std::vector<image_segment>& segments, std::string& why);

// Every sector of the map that any segment touches, each once and in the
// map's order. For one segment these are the sectors an erase of its range
// erases.
std::vector<flash_sector> sectors_touched(std::span<const image_segment> segments);
