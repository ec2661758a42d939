// The serial pools: numbers handed out one per board, never twice. Every
// step holds the pool's row for its transaction (hold_pool), so that
// stations drawing from one pool take turns, on SQLite and PostgreSQL
// alike; the table's key (pool, number) refuses a second row for a number
// whatever happens. A number is held by the run that took it (`held_by`,
// its run id, with its station, host, process and port) from the moment it
// is taken until that run's record settles it: a board id held by a run
// still going is on two ports at once, and a number no longer held by its
// run when the record comes was given back meanwhile.
#include <charconv>
#include <limits>

#include "records/record_database.h"
#include "records/record_store.h"
#include "records/serial_pool.h"

namespace {

constexpr uint64_t highest_number = std::numeric_limits<int64_t>::max();

const char* const hold_pool = "UPDATE serial_pools SET next_number = next_number WHERE name = $1";

// A number's row, as far as the pools need it.
struct number_row {
  uint64_t number = 0;
  std::string state;  // taken, spent, returned
  std::optional<std::string> board_id;
  std::optional<std::string> held_by;  // the run that holds it; none once settled
  std::string station;
  std::string host;
  int64_t pid = 0;
  std::string port;
};

const char* const number_columns =
    "SELECT number, state, board_id, held_by, station, host, pid, port FROM serial_numbers ";

bool number_rows(record_store& store, const std::string& where,
                 const std::vector<sql_value>& values, std::vector<number_row>& rows,
                 std::string& why) {
  rows.clear();
  return sql_run(
      store, number_columns + where, values,
      [&](const sql_row& cells) {
        if (cells.size() != 8) return;
        rows.push_back({.number = static_cast<uint64_t>(integer_of(cells[0]).value_or(0)),
                        .state = cells[1].value_or(""),
                        .board_id = cells[2],
                        .held_by = cells[3],
                        .station = cells[4].value_or(""),
                        .host = cells[5].value_or(""),
                        .pid = integer_of(cells[6]).value_or(0),
                        .port = cells[7].value_or("")});
      },
      why);
}

std::optional<number_row> number_of_pool(record_store& store, const std::string& pool,
                                         uint64_t number, std::string& why, bool& read) {
  std::vector<number_row> rows;
  read = number_rows(store, "WHERE pool = $1 AND number = $2", {pool, static_cast<int64_t>(number)},
                     rows, why);
  if (!read || rows.empty()) return std::nullopt;
  return rows.front();
}

std::string number_name(const std::string& pool, uint64_t number) {
  return "serial number " + std::to_string(number) + " of pool " + pool;
}

// Holds the pool's row for the transaction; false, and why, when there is
// no such pool.
bool hold(record_store& store, const std::string& pool, std::optional<std::string>& next,
          std::string& why) {
  if (!sql_run(store, hold_pool, {pool}, {}, why) ||
      !first_cell(store, "SELECT next_number FROM serial_pools WHERE name = $1", {pool}, next,
                  why)) {
    return false;
  }
  if (next) return true;
  why = "there is no serial pool " + pool + " in " + store_name(store.target);
  return false;
}

// Marks the number as held by `holder` from now on: taken for the board
// (a new number, one given back, one whose run died), or, `spent`, the
// board's own, held while its run goes on.
bool hold_number(record_store& store, const std::string& pool, uint64_t number,
                 const std::optional<std::string>& board_id, const serial_holder& holder,
                 bool spent, std::string& why) {
  const char* const sql =
      spent ? "UPDATE serial_numbers SET held_by = $4, station = $5, host = $6, pid = $7, "
              "port = $8 WHERE pool = $1 AND number = $2"
            : "UPDATE serial_numbers SET state = 'taken', board_id = $3, held_by = $4, "
              "station = $5, host = $6, pid = $7, port = $8, taken_at = $9, settled_at = NULL "
              "WHERE pool = $1 AND number = $2";
  return sql_run(store, sql,
                 {pool, static_cast<int64_t>(number), sql_text_or_null(board_id), holder.run_id,
                  holder.station, holder.host, holder.pid, holder.port, now_text()},
                 {}, why);
}

// Where a board id a run holds is: "board id X is also on PORT".
std::string also_on(const std::string& board_id, const number_row& row,
                    const serial_holder& holder) {
  std::string why = "board id " + board_id + " is also on " + row.port;
  if (row.station != holder.station) why += " of station " + row.station;
  return why + " (serial " + std::to_string(row.number) + ")";
}

// The board's own number, where the pool has one for it: false, and why,
// when its id is held by a run still going; `found` says whether there was
// one.
bool board_number(record_store& store, const std::string& pool, const std::string& board_id,
                  const serial_holder& holder, const holder_lookup& where, serial_taken& taken,
                  bool& found, std::string& why) {
  found = false;
  std::vector<number_row> rows;
  if (!number_rows(store,
                   "WHERE pool = $1 AND board_id = $2 AND (held_by IS NOT NULL OR state = "
                   "'spent') ORDER BY number",
                   {pool, board_id}, rows, why)) {
    return false;
  }
  const number_row* own = nullptr;
  for (const number_row& row : rows) {
    if (row.held_by && where(row.host, row.pid) != holder_place::gone) {
      why = also_on(board_id, row, holder);
      return false;
    }
    // A number spent for the board is its own; one whose run died on this
    // host before settling it went to this board, if to any.
    if (own == nullptr || (own->state != "spent" && row.state == "spent")) own = &row;
  }
  if (own == nullptr) return true;
  found = true;
  taken = {.number = own->number, .kept = own->state == "spent"};
  return hold_number(store, pool, own->number, board_id, holder, taken.kept, why);
}

bool take_in_transaction(record_store& store, const std::string& pool,
                         const std::optional<std::string>& board_id, const serial_holder& holder,
                         const holder_lookup& where, serial_taken& taken, std::string& why) {
  std::optional<std::string> cell;
  if (!hold(store, pool, cell, why)) return false;
  const std::optional<int64_t> next = integer_of(cell);
  bool found = false;
  if (board_id && !board_number(store, pool, *board_id, holder, where, taken, found, why)) {
    return false;
  }
  if (found) return true;
  taken.kept = false;
  if (!first_cell(store,
                  "SELECT MIN(number) FROM serial_numbers WHERE pool = $1 AND state = 'returned'",
                  {pool}, cell, why)) {
    return false;
  }
  if (const std::optional<int64_t> returned = integer_of(cell)) {
    taken.number = static_cast<uint64_t>(*returned);
    return hold_number(store, pool, taken.number, board_id, holder, false, why);
  }
  if (!next || *next < 0) {
    why = "serial pool " + pool + " has no next number";
    return false;
  }
  taken.number = static_cast<uint64_t>(*next);
  if (taken.number >= highest_number) {
    why = "serial pool " + pool + " is used up: its numbers end at " +
          std::to_string(highest_number - 1);
    return false;
  }
  return sql_run(store, "UPDATE serial_pools SET next_number = $2 WHERE name = $1",
                 {pool, static_cast<int64_t>(taken.number + 1)}, {}, why) &&
         sql_run(store,
                 "INSERT INTO serial_numbers (pool, number, state, board_id, held_by, station, "
                 "host, pid, port, taken_at) VALUES ($1, $2, 'taken', $3, $4, $5, $6, $7, $8, $9)",
                 {pool, static_cast<int64_t>(taken.number), sql_text_or_null(board_id),
                  holder.run_id, holder.station, holder.host, holder.pid, holder.port, now_text()},
                 {}, why);
}

// A number the database has not seen, settled as a record replayed into it
// says: its pool made (starting there) or moved past it, so that it is
// never handed out again.
bool settle_unseen(record_store& store, const serial_use& use,
                   const std::optional<std::string>& board_id, std::string& why) {
  const auto number = static_cast<int64_t>(use.number);
  const bool returned = use.settlement == serial_settlement::returned;
  return sql_run(store,
                 "INSERT INTO serial_pools (name, first_number, next_number) VALUES ($1, $2, $3) "
                 "ON CONFLICT (name) DO NOTHING",
                 {use.pool, number, number + 1}, {}, why) &&
         sql_run(store,
                 "UPDATE serial_pools SET next_number = $2 WHERE name = $1 AND next_number <= $3",
                 {use.pool, number + 1, number}, {}, why) &&
         sql_run(store,
                 "INSERT INTO serial_numbers (pool, number, state, board_id, taken_at, "
                 "settled_at) VALUES ($1, $2, $3, $4, $5, $5)",
                 {use.pool, number, returned ? "returned" : "spent",
                  returned ? sql_value(nullptr) : sql_text_or_null(board_id), now_text()},
                 {}, why);
}

// What the number is now, for a conflict's reason.
std::string number_now(const number_row& row) {
  if (row.held_by) return "now taken for " + row.port + " of station " + row.station;
  if (row.state == "spent") {
    return row.board_id ? "now board " + *row.board_id + "'s" : "now spent by another run";
  }
  return "now " + row.state;
}

bool settle_number(record_store& store, const serial_use& use,
                   const std::optional<std::string>& board_id, const std::string& run_id,
                   std::string& conflict, std::string& why) {
  conflict.clear();
  if (use.number > highest_number) {
    why = number_name(use.pool, use.number) + " is beyond any pool";
    return false;
  }
  std::optional<std::string> next;
  bool read = false;
  const std::optional<number_row> row = number_of_pool(store, use.pool, use.number, why, read);
  if (!read) return false;
  if (!row) return settle_unseen(store, use, board_id, why);
  const bool held = !run_id.empty() && row->held_by == run_id;
  const std::vector<sql_value> key{use.pool, static_cast<int64_t>(use.number), now_text()};
  const auto update = [&](const std::string& set) {
    return sql_run(store,
                   "UPDATE serial_numbers SET " + set +
                       ", held_by = NULL, settled_at = $3 WHERE pool = $1 AND number = $2",
                   key, {}, why);
  };
  const bool boards_own = row->state == "spent" && board_id && row->board_id == board_id;
  if (use.settlement == serial_settlement::returned) {
    // Nothing was written with it: whatever the number is now, no board of
    // this run's holds it.
    if (!held) return true;
    return row->state == "taken" ? update("state = 'returned', board_id = NULL")
                                 : update("state = state");
  }
  if (held && row->state == "taken") {
    return sql_run(
        store,
        "UPDATE serial_numbers SET state = 'spent', board_id = $4, held_by = NULL, "
        "settled_at = $3 WHERE pool = $1 AND number = $2",
        {use.pool, static_cast<int64_t>(use.number), now_text(), sql_text_or_null(board_id)}, {},
        why);
  }
  // The board's own number, held while its run went on: let go of.
  if (boards_own || (held && use.settlement == serial_settlement::kept)) {
    return !held || update("state = state");
  }
  conflict = number_name(use.pool, use.number) + " was given back while its run went on (" +
             number_now(*row) + "): this board may hold it too";
  // The hold goes, whatever became of the number: its run has ended.
  return !held || update("state = state");
}

}  // namespace

bool settle_run_number(record_store& store, run_record& record, std::string& why) {
  serial_use& use = *record.serial;
  std::string conflict;
  if (!settle_number(store, use, record.board_id, record.run_id, conflict, why)) return false;
  if (conflict.empty()) return true;
  use.settlement = serial_settlement::conflict;
  if (record.outcome == "failed" && record.reason) {
    record.reason = *record.reason + "; " + conflict;
  } else {
    record.outcome = "failed";
    record.phase = "serial";
    record.reason = conflict;
  }
  return true;
}

bool serial_pool_ready(record_store& store, const std::string& pool,
                       const std::optional<uint64_t>& first, std::string& why) {
  if (first && *first >= highest_number) {
    why = "the first serial number must be below " + std::to_string(highest_number);
    return false;
  }
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        std::optional<int64_t> first_there, next;
        bool there = false;
        if (!sql_run(
                store, "SELECT first_number, next_number FROM serial_pools WHERE name = $1", {pool},
                [&](const sql_row& row) {
                  there = row.size() == 2;
                  if (there) first_there = integer_of(row[0]), next = integer_of(row[1]);
                },
                step_why)) {
          return false;
        }
        if (!there && !first) {
          step_why = "there is no serial pool " + pool + " in " + store_name(store.target) +
                     ": give --serial-first N to start it at N";
          return false;
        }
        if (!there) {
          const auto start = static_cast<int64_t>(*first);
          return sql_run(store,
                         "INSERT INTO serial_pools (name, first_number, next_number) VALUES "
                         "($1, $2, $2) ON CONFLICT (name) DO NOTHING",
                         {pool, start}, {}, step_why);
        }
        if (!first || first_there == static_cast<int64_t>(*first)) return true;
        step_why = "serial pool " + pool + " starts at " +
                   (first_there ? std::to_string(*first_there) : std::string("?")) +
                   " (its next number is " + (next ? std::to_string(*next) : "?") + "), not at " +
                   std::to_string(*first) + ": leave out --serial-first";
        return false;
      },
      why);
}

bool serial_take(record_store& store, const std::string& pool,
                 const std::optional<std::string>& board_id, const serial_holder& holder,
                 const holder_lookup& where, serial_taken& taken, std::string& why) {
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        return take_in_transaction(store, pool, board_id, holder, where, taken, step_why);
      },
      why);
}

bool serial_settle(record_store& store, const std::string& pool, uint64_t number,
                   serial_settlement settlement, const std::optional<std::string>& board_id,
                   const std::string& run_id, std::string& why) {
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        std::string conflict;
        if (!settle_number(store, {pool, number, settlement}, board_id, run_id, conflict,
                           step_why)) {
          return false;
        }
        step_why = conflict;
        return conflict.empty();
      },
      why);
}

bool serial_release(record_store& store, const std::string& pool, uint64_t number,
                    const holder_lookup& where, std::string& done, std::string& why) {
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        std::optional<std::string> next;
        bool read = false;
        if (!hold(store, pool, next, step_why)) return false;
        const std::optional<number_row> row = number_of_pool(store, pool, number, step_why, read);
        const std::string name = number_name(pool, number);
        if (!read) return false;
        if (!row) {
          step_why = name + " was never handed out";
          return false;
        }
        if (!row->held_by && row->state != "taken") {
          step_why = name + " is " + row->state +
                     (row->board_id ? " (board " + *row->board_id + "'s)" : "") +
                     ": no run holds it";
          return false;
        }
        if (row->held_by && where(row->host, row->pid) == holder_place::running_here) {
          step_why = name + " is held by the run on " + row->port + " of station " + row->station +
                     ", which still runs on this host (process " + std::to_string(row->pid) +
                     "): stop it first";
          return false;
        }
        const std::vector<sql_value> key{pool, static_cast<int64_t>(number), now_text()};
        if (row->state == "taken") {
          done = name + " given back: the next board takes it";
          return sql_run(store,
                         "UPDATE serial_numbers SET state = 'returned', board_id = NULL, "
                         "held_by = NULL, settled_at = $3 WHERE pool = $1 AND number = $2",
                         key, {}, step_why);
        }
        done = name + " stays " + (row->board_id ? "board " + *row->board_id + "'s" : "spent") +
               "; the hold of its run on " + row->port + " is let go";
        return sql_run(store,
                       "UPDATE serial_numbers SET held_by = NULL WHERE pool = $1 AND number = $2",
                       {pool, static_cast<int64_t>(number)}, {}, step_why);
      },
      why);
}
