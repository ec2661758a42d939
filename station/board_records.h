// What the station keeps of its boards in the record database (--db): one
// row per board run, written as the run ends, and each board's serial
// number (--serial-pool), taken before anything is written to it and
// settled with the run's row. The supervisor calls these at three points:
// as it starts, once a board's id is known, as a board's run ends.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runs/board_run.h"
#include "records/record_store.h"
#include "station_options.h"

// Opens the database --db names, making it on first use; an empty handle
// without --db. False, and why, when it cannot be used.
bool open_board_records(const station_settings& settings, store_handle& store, std::string& why);

// A board's serial number while its runs go on.
struct board_serial {
  serial_use use;                  // settled as the board's last run ends
  bool kept = false;               // the board's own, from an earlier run
  std::vector<std::string> patch;  // vexlor-prog's words that write it
};

// Takes the board's number of the pool, in one transaction: its own where
// `board_id` names a board that already holds one. False, and why, when no
// number can be had, or the number does not fit --serial-format (it is then
// given back).
bool take_board_serial(record_store& store, const station_settings& settings,
                       const std::optional<std::string>& board_id, const std::string& station,
                       board_serial& serial, std::string& why);

// What became of the board's number, if it has one, as its last run ended: kept when it
// was the board's already; given back when that run certainly wrote nothing
// (it failed before its first write block, or found the board unchanged);
// spent otherwise: the board may hold it.
std::optional<serial_use> settled_serial(const std::optional<board_serial>& serial,
                                         const run_progress& last_run,
                                         std::optional<int> exit_status);
