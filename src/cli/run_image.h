// The image a run programs: the file loaded whole and read as its format
// says, into the segments that the write and verify phases take one by one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/image.h"
#include "options/options.h"
#include "cli/run_events.h"

struct run_image {
  image_format format = image_format::raw;  // as the content says, or as --format forced it
  // Lowest address first. Raw bytes are one segment at --address, of 0
  // bytes for an empty file, which is still written and read back.
  std::vector<image_segment> segments;
  uint32_t file_size = 0;
  std::string sha256;                  // of the file as it is
  std::optional<file_failed> failure;  // why it cannot be programmed
};

// Loads the image before the port is opened, and closes the file again:
// whether it carries its own addresses decides whether the command line may
// name one (a usage error). What is wrong with the file is kept in
// `failure`, to be told once the port is open, where a file error has
// always been told.
void load_run_image(const run_settings& settings, run_image& image);

inline bool carries_addresses(const run_image& image) { return image.format != image_format::raw; }
