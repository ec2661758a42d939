// End-to-end runs: the real programmer binary against vexlor-sim on a pty.
// One suite serves two targets: the native binary, and the Windows .exe under
// Wine (VEXLOR_TARGET=wine), reaching the same pty through a COM name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/address.h"
#include "support/process.h"
#include "support/simulator.h"
#include "support/test_files.h"

// Starts vexlor-sim for one session (--once) with a log in `dir`, plus
// `args`. Throws when it prints no pty path.
sim_target start_sim(const std::string& dir, const std::vector<std::string>& args);

// Waits for the simulator to end its session; returns its exit status.
int finish_sim(sim_target& sim);

// One line of a log that the simulator or the control-line recorder keeps:
// its time stamp in seconds, and the rest.
struct timed_line {
  double t = 0;
  std::string text;
};
std::vector<timed_line> read_timed_lines(const std::string& path);

struct sim_event {
  double t = 0;
  std::string kind;  // open, close, rx, tx, erase, fault, vanish
  std::vector<uint8_t> bytes;
  std::string text;  // the rest of the line
};
std::vector<sim_event> read_sim_log(const std::string& path);
// Whether the log at `path` has an event of that kind yet.
bool sim_log_has(const std::string& path, const std::string& kind);
std::vector<uint8_t> bytes_received(const std::vector<sim_event>& log);
// The sectors the simulator erased, in order.
std::vector<int> erased_sectors(const std::vector<sim_event>& log);

// The ranges the memory commands among `received` moved, in order: the
// blocks of one command (write or read) that follow each other on the wire
// and in memory joined into one range. The start byte and the erase
// exchanges are passed over.
struct wire_range {
  uint8_t command = 0;  // write_command or read_command
  uint32_t address = 0;
  uint32_t size = 0;
  bool operator==(const wire_range&) const = default;
};
std::vector<wire_range> wire_ranges(const std::vector<uint8_t>& received);

// From the first byte reaching the simulator to the port's close, by its
// clock: a run's waits, without process start-up (which a sanitizer, Wine or
// a loaded machine lengthens at will) and the drain at open. Negative when
// the log has no close (the line vanished, or nothing was sent).
double first_byte_to_close(const std::vector<sim_event>& log);

bool running_under_wine();

// Runs the programmer in `dir` with `args`, where the word "@PORT" stands for
// the simulator's port (a pty path natively, a COM name under Wine). Console
// line ends are normalised to "\n" under Wine only.
process_result run_programmer(const std::string& dir, std::vector<std::string> args,
                              const std::string& pty_path = "",
                              const std::vector<std::string>& env_extra = {});

// Runs vexlor-flash-all in `dir` with `args`: natively with its standard
// error among its output, under Wine (VEXLOR_TARGET=wine) the Windows build,
// its output alone.
process_result run_station(const std::string& dir, const std::vector<std::string>& args,
                           const std::vector<std::string>& env_extra = {}, double timeout_s = 120);

// Under Wine: gives `pty_path` the port name COMn in the test's Wine prefix
// (an empty path only removes the mapping); returns the name.
std::string wine_com_port(int number, const std::string& pty_path);

// Runs the programmer natively with the control-line recorder preloaded:
// the environment entries to add, recording into `log_path` and, given a
// simulator's --lines-from socket, handing it each change.
std::vector<std::string> line_recorder_env(const std::string& log_path,
                                           const std::string& lines_to = "");

// The control-line requests the recorder saw, in order ("set rts", ...),
// without the writes.
std::vector<std::string> line_requests(const std::string& log_path);
