// Child processes for the tests and the benchmarks: the programmer, the
// simulator and scripts, run as a user runs them. One runner serves both:
// the tests take the output and bound the time; the benchmarks take the
// kernel's figures for the child alone (its wall time to the moment it
// exits, its CPU time and its peak memory).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/timing.h"

// Where a child's output goes.
enum class child_output {
  captured,  // standard output to a pipe that the caller reads
  // The same, with standard error to /dev/null: helpers the child leaves
  // behind (Wine's services) then hold no pipe of the caller.
  captured_quiet,
  discarded,  // standard output to /dev/null
};

struct child_process {
  pid_t pid = -1;
  int out_fd = -1;   // its standard output, when captured
  int exit_fd = -1;  // readable once it has exited
  test_clock::time_point started;
};

struct process_result {
  std::string out;     // standard output not read before the wait, byte for byte
  int exit_code = -1;  // 128 + N when signal N ended it; -1: killed past its time-out
  // The signal that ended it; 0 when it exited by itself. A clean stop exits
  // with 128 + N by itself: only this tells it from a death by the signal.
  int killed_by = 0;
  bool timed_out = false;
  double seconds = 0;    // from its start to its exit
  double cpu_s = 0;      // user + system
  long max_rss_kib = 0;  // peak resident memory
};

// Starts argv[0] (a path) in `cwd` (empty: this process's) with extra
// "NAME=value" environment entries and standard input from /dev/null.
// Throws when no process can be made.
child_process start_process(const std::vector<std::string>& argv, const std::string& cwd = "",
                            const std::vector<std::string>& env_extra = {},
                            child_output output = child_output::captured);

// Reads one line (without the line break) from the child's output, or ""
// when none comes within the time-out.
std::string read_line(const child_process& child, double timeout_s);

// Reads the child's output into `out` until `needle` appears in it (an
// empty needle: until the output closes). False when that does not happen
// in time.
bool read_until(const child_process& child, std::string& out, const std::string& needle,
                double timeout_s);

// Waits for the child to exit, taking the rest of its output; kills it past
// the time-out.
process_result wait_process(child_process& child, double timeout_s);

// Asks the child to stop (SIGTERM), then waits for it.
process_result stop_process(child_process& child, double timeout_s = 10);

// Starts the child and waits for it.
process_result run_process(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& env_extra, double timeout_s,
                           child_output output = child_output::captured);
