// What one board costs the machine: the system calls and CPU time of the
// programmer and of the simulator for one job, and the wall time of many
// boards flashed at once beside one board alone, measured in the same run.
#pragma once

#include <string>
#include <vector>

#include "support/simulator.h"
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

// `boards` simulators paced at `baud`, one session each (as many as come
// with `sessions`), each writing its memory where `image_size` bytes go to
// DIR/N as it exits; with a `ports_folder`, each is also linked there as
// board-N, as udev links adapters.
std::vector<sim_target> start_boards(const bench_paths& paths, uint32_t baud,
                                     std::size_t image_size, const std::string& dir, int boards,
                                     const std::string& ports_folder = "", bool sessions = false);

// Waits for the simulators to end (stops them first: simulators of many
// sessions end only when asked); how many hold `image` in memory.
int intact_boards(std::vector<sim_target>& sims, const std::string& dir,
                  const std::vector<uint8_t>& image, bool stop_first = false);

// `boards` jobs at once, each against a simulator of its own; the wall time
// from the first programmer's start to the last one's exit.
double flash_at_once(const bench_paths& paths, uint32_t baud, const std::string& image_path,
                     int boards, int& intact);
