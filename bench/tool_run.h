// One run of the real vexlor-prog against a fresh vexlor-sim session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

// Bounds every run of the programmer, the station or a simulator: a hung one
// ends the run, not the benchmark.
inline constexpr double run_limit_s = 600;

struct bench_paths {
  std::string prog;
  std::string sim;
  std::string station;  // vexlor-flash-all
};

struct tool_run {
  process_result prog;
  process_result sim;  // the simulator's own figures, for where the time goes
  bool ok = false;     // both started, the tool exited 0
};

// baud 0: an unpaced pty. Neither write nor verify: the handshake alone.
// `sim_extra`: more simulator options (an adapter model, say);
// `prog_extra`: more of the tool's words, before the image.
tool_run run_tool(const bench_paths& paths, uint32_t baud, const std::string& image_path,
                  bool write, bool verify, const std::vector<std::string>& sim_extra = {},
                  const std::vector<std::string>& prog_extra = {});
