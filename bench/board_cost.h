// What one board costs the machine: the system calls and CPU time of the
// programmer and of the simulator for one job, and the wall time of many
// boards flashed at once beside one board alone, measured in the same run.
#pragma once

#include <string>

#include "tool_run.h"

struct board_cost {
  double prog_cpu_s = 0;  // medians over the runs
  double sim_cpu_s = 0;
  long prog_syscalls = -1;  // -1: strace is not installed
  long sim_syscalls = -1;
  double one_board_s = 0;
  double many_boards_s = 0;
  int boards = 0;
  int intact = 0;  // boards whose memory holds the image afterwards
};

// `image_path` holds the image of every job; `boards` jobs run at once.
board_cost measure_board_cost(const bench_paths& paths, uint32_t baud,
                              const std::string& image_path, int boards, int runs);
