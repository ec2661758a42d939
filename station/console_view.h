// What the operator sees. On a terminal: one live line per running board
// (port, phase, percentage, elapsed time), redrawn in place, with each
// board's result line printed above them as it ends. Elsewhere (a pipe, a
// file): the result lines alone, each as its board ends, then the count.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "runs/board_run.h"
#include "runs/host.h"

using view_clock = std::chrono::steady_clock;

// "ok      NAME", "ok      NAME (unchanged)", "ok      NAME (serial 1042, record
// spooled)", with the board's own line after a colon when --expect found
// it, "FAILED  NAME (exit N): REASON",
// "STOPPED NAME (exit N): REASON" for a run a stop request ended.
std::string result_line(const board_run& run);

// "STOPPED NAME (not run): ...", a board whose run a stop request kept from
// beginning.
std::string not_run_line(const std::string& name);

// "start   NAME" (--watch), as a board's run begins.
std::string start_line(const std::string& name);

// Says `why` on standard error as "vexlor-flash-all: WHY", with what came
// from outside in it (names, paths, a system's words) made visible.
void say_on_stderr(const std::string& why);

// "vexlor-flash-all: N record(s) wait in the spool D: ...", the line that
// tells records are not in the database yet.
std::string records_wait_line(std::size_t records, const std::string& spool_folder);

// "vexlor-flash-all: K of N port(s) ok", or run(s) for --watch.
std::string count_line(std::size_t ok, std::size_t total, bool watching);

struct live_board {
  std::string name;
  std::string phase;   // as the run's events name it; "check" for --skip-same's read-back
  std::string detail;  // "42%", "sector 3"
  double seconds = 0;  // since its run began
  std::optional<double> seconds_left;  // what its run still needs, once its progress tells
  bool waiting = false;                // no run yet: --jobs or the file descriptors hold it back
};

// Where the station stands, on the last live line.
struct station_tally {
  std::size_t ok = 0;  // unchanged ones too
  std::size_t failed = 0;
  std::size_t stopped = 0;
  std::size_t running = 0;
  std::size_t waiting = 0;
};

// What the live lines show: a line a board, the running ones first; under
// --watch with no board, the folder the station waits in; then the tally.
// Nothing at all when there is neither a board nor a folder.
struct live_view {
  std::vector<live_board> boards;
  std::string watched_folder;  // --watch's ports folder; empty without --watch
  station_tally tally;
};

// The live lines, each cut to the terminal's width and ended by "erase to
// the end of the line"; boards beyond the terminal's height are counted on
// a line of their own.
std::vector<std::string> live_lines(const live_view& live, terminal_size size);

struct console_view {
  std::optional<terminal_size> terminal;  // none: result lines only
  int drawn = 0;                          // live lines on the screen, below the cursor's line
  view_clock::time_point last_drawn;
  bool changed = false;  // a board's phase or percentage moved since the last drawing
};

console_view open_console_view();

// Prints `lines` (whole lines: results, starts, the count), above the live
// lines on a terminal, and redraws those for `live`.
void view_print(console_view& view, const std::string& lines, const live_view& live);

// Redraws the live lines when they are due: at most ten times a second while
// boards move, once a second for the clocks.
void view_refresh(console_view& view, const live_view& live);

// How long the station may wait before view_refresh has something to draw:
// -1 for as long as it likes (no terminal, or no board running).
int view_wait_ms(const console_view& view, bool boards_running);
