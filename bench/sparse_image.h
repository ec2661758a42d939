// A sparse image (a boot block, a gap, an application) flashed two ways at
// one line speed: as the padded raw binary a build makes of it, whose gap
// of 0xFF is erased, written and read back like the rest, and as Intel HEX,
// whose gap the tool neither erases nor writes.
#pragma once

#include <cstdint>
#include <string>

#include "tool_run.h"
#include "wire_count.h"

struct sparse_image_figures {
  uint32_t padded_size = 0;  // bytes of the padded binary
  uint32_t placed_size = 0;  // bytes the HEX file places
  wire_count padded_wire;
  wire_count hex_wire;
  double padded_s = 0;  // medians of the runs' wall time, --write --verify
  double hex_s = 0;
  bool every_run_ok = true;
};

// `runs` times each, the two taking turns run by run so that both meet the
// same weather on a shared machine. The files are made in `dir`.
sparse_image_figures measure_sparse_image(const bench_paths& paths, uint32_t baud, int runs,
                                          const std::string& dir);
