// Child processes for the benchmark: the programmer and the simulator, run
// as a user runs them, with wall time and the kernel's resource figures.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct child_figures {
  int exit_code = -1;   // 128 + signal when killed
  double wall_s = 0;    // from spawn to reaped
  double cpu_s = 0;     // user + system
  long max_rss_kib = 0;
};

// Starts argv[0] (a path) with standard input from /dev/null and standard
// output to `out_fd` (-1: /dev/null). Returns the pid, or -1.
pid_t spawn_child(const std::vector<std::string>& argv, int out_fd);

// Reaps the child, filling in everything but wall_s.
child_figures reap_child(pid_t pid);

// Spawns, waits and times one run.
child_figures run_child(const std::vector<std::string>& argv);

struct sim_child {
  pid_t pid = -1;
  std::string pty_path;  // empty when the simulator did not start
};

// Starts vexlor-sim for one session (--once) with extra arguments and
// waits for it to print its pty path.
sim_child start_sim(const std::string& sim_path, const std::vector<std::string>& args);
