// The image file: a raw binary read whole into memory before the handshake.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Longest image path the tool accepts. A longer one is refused, never cut:
// the cut path may name another file, which would then be programmed.
inline constexpr std::size_t image_path_max = 255;

// Opens a regular file for binary reading; nullptr for anything else
// (missing, a directory, a FIFO that would block, a device) and for a path
// longer than image_path_max, saying why in `why`.
std::FILE* image_open(const std::string& path, std::string& why);

// Reads the whole file (opened from `path`) into `image`. False when its size is unknown, does not
// fit in 32 bits, cannot be allocated, or not every byte could be read, or
// the file holds more than its size said: a partly read image must never be
// programmed. Says why in `why`.
bool image_load(std::FILE* file, const std::string& path, std::vector<uint8_t>& image,
                std::string& why);
