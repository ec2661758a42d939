// The serial pools: numbers handed out one per board, never twice. Every
// step holds the pool's row for its transaction (hold_pool), so that
// stations drawing from one pool take turns, on SQLite and PostgreSQL
// alike; the table's key (pool, number) refuses a second row for a number
// whatever happens.
#include <charconv>
#include <limits>

#include "records/record_database.h"
#include "records/record_store.h"
#include "records/serial_pool.h"

namespace {

constexpr uint64_t highest_number = std::numeric_limits<int64_t>::max();

const char* const hold_pool = "UPDATE serial_pools SET next_number = next_number WHERE name = $1";

std::string now_text() { return utc_text(std::chrono::system_clock::now()); }

// The first cell of the first row a statement gives, if any.
bool first_cell(record_store& store, const std::string& sql, const std::vector<sql_value>& values,
                std::optional<std::string>& cell, std::string& why) {
  cell.reset();
  bool seen = false;
  return sql_run(
      store, sql, values,
      [&](const sql_row& row) {
        if (!seen && !row.empty()) cell = row[0];
        seen = true;
      },
      why);
}

bool number_of(const std::optional<std::string>& text, uint64_t& number) {
  if (!text) return false;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number);
  return error == std::errc{} && end == text->data() + text->size();
}

bool take_in_transaction(record_store& store, const std::string& pool, uint64_t first,
                         const std::optional<std::string>& board_id, const std::string& station,
                         serial_taken& taken, std::string& why) {
  if (!sql_run(store,
               "INSERT INTO serial_pools (name, next_number) VALUES ($1, $2) "
               "ON CONFLICT (name) DO NOTHING",
               {pool, static_cast<int64_t>(first)}, {}, why) ||
      !sql_run(store, hold_pool, {pool}, {}, why)) {
    return false;
  }
  std::optional<std::string> cell;
  if (board_id) {
    if (!first_cell(store,
                    "SELECT number FROM serial_numbers WHERE pool = $1 AND board_id = $2 "
                    "AND state = 'spent' ORDER BY number LIMIT 1",
                    {pool, *board_id}, cell, why)) {
      return false;
    }
    if (number_of(cell, taken.number)) {
      taken.kept = true;
      return true;
    }
  }
  taken.kept = false;
  if (!first_cell(store,
                  "SELECT MIN(number) FROM serial_numbers WHERE pool = $1 AND state = 'returned'",
                  {pool}, cell, why)) {
    return false;
  }
  if (number_of(cell, taken.number)) {
    return sql_run(store,
                   "UPDATE serial_numbers SET state = 'taken', board_id = NULL, station = $3, "
                   "taken_at = $4, settled_at = NULL WHERE pool = $1 AND number = $2",
                   {pool, static_cast<int64_t>(taken.number), station, now_text()}, {}, why);
  }
  if (!first_cell(store, "SELECT next_number FROM serial_pools WHERE name = $1", {pool}, cell,
                  why)) {
    return false;
  }
  if (!number_of(cell, taken.number)) {
    why = "serial pool " + pool + " has no next number";
    return false;
  }
  if (taken.number >= highest_number) {
    why = "serial pool " + pool + " is used up: its numbers end at " +
          std::to_string(highest_number - 1);
    return false;
  }
  return sql_run(store, "UPDATE serial_pools SET next_number = $2 WHERE name = $1",
                 {pool, static_cast<int64_t>(taken.number + 1)}, {}, why) &&
         sql_run(store,
                 "INSERT INTO serial_numbers (pool, number, state, station, taken_at) "
                 "VALUES ($1, $2, 'taken', $3, $4)",
                 {pool, static_cast<int64_t>(taken.number), station, now_text()}, {}, why);
}

}  // namespace

bool settle_taken_number(record_store& store, const std::string& pool, uint64_t number,
                         serial_settlement settlement, const std::optional<std::string>& board_id,
                         std::string& why) {
  if (settlement == serial_settlement::kept) return true;  // the board's already
  const std::string name = "serial number " + std::to_string(number) + " of pool " + pool;
  if (number > highest_number) {
    why = name + " is beyond any pool";
    return false;
  }
  std::optional<std::string> state;
  if (!sql_run(store, hold_pool, {pool}, {}, why) ||
      !first_cell(store, "SELECT state FROM serial_numbers WHERE pool = $1 AND number = $2",
                  {pool, static_cast<int64_t>(number)}, state, why)) {
    return false;
  }
  if (state != "taken") {
    why = name + (state ? " is " + *state + ", not taken" : " was never handed out");
    return false;
  }
  if (settlement == serial_settlement::returned) {
    return sql_run(store,
                   "UPDATE serial_numbers SET state = 'returned', board_id = NULL, "
                   "settled_at = $3 WHERE pool = $1 AND number = $2",
                   {pool, static_cast<int64_t>(number), now_text()}, {}, why);
  }
  return sql_run(store,
                 "UPDATE serial_numbers SET state = 'spent', board_id = $3, settled_at = $4 "
                 "WHERE pool = $1 AND number = $2",
                 {pool, static_cast<int64_t>(number), sql_text_or_null(board_id), now_text()}, {},
                 why);
}

bool serial_take(record_store& store, const std::string& pool, uint64_t first,
                 const std::optional<std::string>& board_id, const std::string& station,
                 serial_taken& taken, std::string& why) {
  if (first >= highest_number) {
    why = "the first serial number must be below " + std::to_string(highest_number);
    return false;
  }
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        return take_in_transaction(store, pool, first, board_id, station, taken, step_why);
      },
      why);
}

bool serial_settle(record_store& store, const std::string& pool, uint64_t number,
                   serial_settlement settlement, const std::optional<std::string>& board_id,
                   std::string& why) {
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        return settle_taken_number(store, pool, number, settlement, board_id, step_why);
      },
      why);
}
