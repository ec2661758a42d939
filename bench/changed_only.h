// --changed-only against a plain flash: a board that holds a 256 KiB image
// this host flashed and verified, flashed again with one sector other and
// with every sector other. What a firmware engineer's second flash of the
// day costs, and what the record costs when it saves nothing.
#pragma once

#include <cstdint>
#include <string>

#include "tool_run.h"

struct changed_only_figures {
  double plain_s = 0;       // medians of the runs' wall time, --write --verify
  double one_sector_s = 0;  // --changed-only, one 8 KiB sector other
  double every_sector_s = 0;
  bool every_run_ok = true;  // each exited 0 and left the board holding its image
};

// `runs` rounds of the three, taking turns run by run so that they meet
// the same weather on a shared machine; before them, one --changed-only
// flash of a blank board makes its record. Files go in `dir`.
changed_only_figures measure_changed_only(const bench_paths& paths, uint32_t baud, int runs,
                                          const std::string& dir);
