// Per-board bytes (--patch): a serial number, a calibration constant, a MAC
// address put into the image at a place its firmware reserves, so that each
// board gets the image with its own bytes in it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/image_segments.h"

struct image_patch {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;  // 1 to patch_bytes_max
};

// What one patch may carry: a read or write block's worth.
inline constexpr std::size_t patch_bytes_max = 256;

// ADDRESS:HEX, the address read as --address reads it, HEX an even number
// of hex digits. False, and why, for anything else.
bool parse_patch(const std::string& text, image_patch& patch, std::string& why);

// Puts every patch's bytes into the image, each where its address says.
// False, changing nothing, and why, when a patch does not lie wholly inside
// one segment (it would land where nothing is erased or written, or run off
// the image), or when two patches share a byte (which one is meant?).
bool apply_patches(std::span<image_segment> segments, std::span<const image_patch> patches,
                   std::string& why);
