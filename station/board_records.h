// What the station keeps of its boards in the record database (--db): one
// row per board run, written as the run ends, and each board's serial
// number (--serial-pool), taken before anything is written to it and
// settled with the run's row. The supervisor calls these at three points:
// as it starts, once a board's id is known, as a board's run ends.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "records/record_store.h"
#include "runs/board_run.h"
#include "station_options.h"

// The station's name in its records: --station, else the machine's.
std::string station_name(const station_settings& settings);

// Opens the database --db names to keep records in (made where --db-create
// or --serial-first asks for it), its pool ready; an empty handle without
// --db. `interrupted` ends a wait of the database's. False, and why, when
// it cannot be used.
bool open_board_records(const station_settings& settings, const std::function<bool()>& interrupted,
                        store_handle& store, std::string& why);

// Where the station that holds a number runs, as this machine tells it.
holder_place station_place(const std::string& host, int64_t pid);

// A board's serial number while its runs go on.
struct board_serial {
  serial_use use;                  // settled as the board's last run ends
  bool kept = false;               // the board's own, from an earlier run
  std::vector<std::string> patch;  // vexlor-prog's words that write it
};

// Takes the board's number of the pool for the run `holder` names, in one
// transaction: its own where `board_id` names a board that already holds
// one. False, and why, when no number can be had (the board id held by a
// run on another port among them), or the number does not fit
// --serial-format (it is then given back).
bool take_board_serial(record_store& store, const station_settings& settings,
                       const std::optional<std::string>& board_id, const serial_holder& holder,
                       board_serial& serial, std::string& why);

// What became of the board's number, if it has one, as its last run ended:
// kept when it was the board's already (and the run wrote to that board:
// `same_board`); given back when that run certainly wrote nothing (it failed
// before its first write block, or found the board unchanged); spent
// otherwise: the board may hold it.
std::optional<serial_use> settled_serial(const std::optional<board_serial>& serial,
                                         const run_progress& last_run,
                                         std::optional<int> exit_status, bool same_board);

// Writes the records waiting in `spool` to the database (spool_replay),
// saying on standard error what it wrote and what the operator should
// know. False, and why, when the database cannot take them; `waiting` says
// how many still wait.
bool write_spooled(record_store& store, const std::string& spool, std::size_t& waiting,
                   std::string& why);

// --release-serial N --serial-pool NAME: gives number N back (see
// serial_release). False, and why, when it is refused.
bool release_board_serial(const station_settings& settings, std::string& done, std::string& why);
