// What the production station costs the machine: N boards flashed through
// vexlor-flash-all beside the same N flashed by programmers started
// directly, the CPU of the station apart from that of its runs, what
// --skip-same's read-back adds to blank boards, and the CPU of a station
// that waits with --watch and nothing to do.
#pragma once

#include <string>

#include "tool_run.h"

// Medians over the runs, where not said otherwise.
struct station_cost {
  int boards = 0;
  double station_wall_s = 0;  // through the station: its start to its exit
  double direct_wall_s = 0;   // the programmers started directly
  double station_cpu_s = 0;   // the station alone (the kernel's run time of its thread)
  double station_share = 0;   // of one core: its CPU over its wall time
  double runs_cpu_s = 0;      // its vexlor-prog runs, all together
  int intact = 0;             // boards whose memory holds the image, through the station, all runs
  bool every_exit_ok = true;  // the station exited 0 every time
  double skip_same_wall_s = 0;  // the same blank boards through the station with --skip-same
  int skip_same_intact = 0;     // boards whose memory holds the image after those runs
  double idle_s = 0;            // how long the idle station was watched (once)
  double idle_cpu_s = 0;        // its CPU meanwhile
};

// `runs` times each: `boards` boards through the station, and started directly.
station_cost measure_station_cost(const bench_paths& paths, uint32_t baud,
                                  const std::string& image_path, int boards, int runs);
