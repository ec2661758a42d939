// vexlor-sim as a child process, as the tests and the benchmarks start it.
#pragma once

#include <string>
#include <vector>

#include "support/process.h"

struct sim_target {
  child_process process;
  std::string pty_path;  // empty: it printed none (it refused its options, say)
  std::string log_path;  // empty: it keeps no log
};

// Starts vexlor-sim (`sim_path`) with `args` and reads the pty path it
// prints on its first line.
sim_target start_simulator(const std::string& sim_path, const std::vector<std::string>& args,
                           const std::string& cwd = "");
