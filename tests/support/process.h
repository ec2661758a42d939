// Child processes for end-to-end tests: the programmer and the simulator,
// run as the user runs them.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct process_result {
  std::string out;  // standard output, byte for byte
  int exit_code = -1;
  double seconds = 0;
  bool timed_out = false;
};

// Runs argv[0] (a path) in `cwd` with extra "NAME=value" environment entries,
// collecting standard output; kills it after `timeout_s`.
// With `detach_stderr` the child's standard input and error are /dev/null:
// helpers it leaves behind (Wine's services) then hold no pipe of the test.
process_result run_process(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& env_extra, double timeout_s,
                           bool detach_stderr = false);

struct child_process {
  pid_t pid = -1;
  int out_fd = -1;  // its standard output
};

child_process start_process(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::vector<std::string>& env_extra, bool detach_stderr = false);

// Reads one line (without the line break) from the child's output, or ""
// when none comes within the time-out.
std::string read_line(const child_process& child, double timeout_s);

// Waits for the child to exit; kills it past the time-out. Returns its exit
// status, or -1 when it had to be killed.
int wait_process(child_process& child, double timeout_s);
