// What a run does with what this host knows a board holds (board_cache.h).
// A run that writes to a board it knows by its id removes the board's
// record before its first erase: from then on the board may hold anything.
// With --changed-only the run first reads the record and leaves the sectors
// it names with the image's own bytes as they are, and once its verify has
// gone through it keeps the new record. Plain runs read and keep none, and
// say nothing of the record unless one is left that should have gone.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "board_cache/board_cache.h"
#include "cli/run_events.h"
#include "cli/write_plan.h"
#include "options/options.h"

struct board_memory {
  std::string folder;
  std::string board_id;                // empty: no record is read, removed or kept
  std::optional<board_record> before;  // --changed-only: the record, when it can be trusted
  bool removed = false;                // gone before the first erase
};

// Once the board's id is read (none: not asked for, or not read): the
// record the run works with, and why there is none it can use.
board_memory recall_board(const run_settings& settings, const std::optional<std::string>& board_id,
                          const run_sink& report);

// Shapes the image's plan of the write and verify phases by the record
// (--changed-only); when the write is to change the board, the record is
// removed first. A record that cannot be removed leaves nothing to be
// skipped.
void plan_board_write(board_memory& memory, write_plan& plan, const run_settings& settings,
                      const run_sink& report);

// After the verify: with --changed-only, the new record when the write and
// the verify both went through, and none when the run failed or was
// stopped.
void remember_board(board_memory& memory, const write_plan& plan, const run_settings& settings,
                    bool error_flag, const run_sink& report);

// --forget-board: removes the board's record; false when one is left.
bool forget_board(const run_settings& settings, const run_sink& report);
