// The station's records and serial-number pools, kept in a database that
// several stations can share: an SQLite file (the stations of one machine)
// or PostgreSQL (a line's stations on many machines). Every change is one
// transaction, so that a record is never half written and no number of a
// pool ever goes to two boards, whatever stations share the pool and
// whenever one is killed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/run_record.h"

struct record_store;  // an open database (record_database.h)

struct store_closer {
  void operator()(record_store* store) const;
};
using store_handle = std::unique_ptr<record_store, store_closer>;

// The version of the tables below that this station writes; a database of
// another version is refused, not guessed at.
inline constexpr int64_t store_schema_version = 2;

// Opens the database `target` names: "postgresql://..." or "postgres://..."
// is a libpq connection URI, anything else without "://" a file path for
// SQLite, made on first use. Makes the tables on first use. False, and why
// on one line, when it cannot.
bool store_open(const std::string& target, store_handle& store, std::string& why);

// Keeps one run, with its serial number settled as the record says
// (spent: the number is the board's, its board id beside it; returned: the
// number goes back to the pool; kept: nothing to change), in one
// transaction. Fails, changing nothing, when a number to spend or return is
// not one taken and unsettled.
bool store_add_run(record_store& store, const run_record& record, std::string& why);

struct serial_taken {
  uint64_t number = 0;
  bool kept = false;  // the board's own number from an earlier run, not a new one
};

// Hands out a number of `pool` (made, starting at `first`, on first use),
// in one transaction, before the board's run starts: the board's own
// number where `board_id` names a board that spent one of this pool before;
// else the lowest number given back; else the pool's next. A number taken
// is never handed out again until it is returned: one whose station died
// before settling it stays taken for good. Numbers go up to 2^63 - 2.
bool serial_take(record_store& store, const std::string& pool, uint64_t first,
                 const std::optional<std::string>& board_id, const std::string& station,
                 serial_taken& taken, std::string& why);

// Settles a number taken and not yet settled, apart from a run's record:
// spent (with the board's id, if read) or returned.
bool serial_settle(record_store& store, const std::string& pool, uint64_t number,
                   serial_settlement settlement, const std::optional<std::string>& board_id,
                   std::string& why);

struct history_filter {
  std::optional<std::string> board_id;
  std::optional<uint64_t> serial_number;
  std::optional<std::string> port;
  // UTC text as the records hold it ("2026-12-07", "2026-12-07T10:31"):
  // runs that started then or later.
  std::optional<std::string> since;
};

// The matching runs, oldest first, each given to `each_line` as its
// history_line.
bool store_history(record_store& store, const history_filter& filter,
                   const std::function<void(const std::string& line)>& each_line, std::string& why);

// What --summary groups the runs by: the image written (its digest), or
// the line the board said as it started (--by boot-line), so that a line
// sees which firmware versions its boards report.
enum class summary_by { image, boot_line };

// One image's runs since a time (or one boot line's). A board is its board id; a run that read
// none is a board of its own. ok, unchanged and failed count boards by
// their last run (failed: any end but ok and unchanged); first_pass the
// boards whose first run ended ok or unchanged.
struct image_summary {
  std::optional<std::string> sha256;  // none: runs that never got as far as the image
  // --by boot-line, in place of the image: none for runs that reported no
  // line (not checked, or failed).
  std::optional<std::string> boot_line;
  int64_t runs = 0;
  int64_t boards = 0;
  int64_t ok = 0;
  int64_t unchanged = 0;
  int64_t failed = 0;
  int64_t first_pass = 0;
};

// Per image (or boot line), the one first run earliest first; `since` as
// in history_filter, empty for every run.
bool store_summary(record_store& store, const std::string& since,
                   std::vector<image_summary>& images, std::string& why,
                   summary_by by = summary_by::image);

// The summary as a small table: a heading line, then one line per image,
// its digest last (or per boot line, the line last); first-pass yield as
// "first_pass/boards" and a percentage.
std::string summary_table(const std::vector<image_summary>& images,
                          summary_by by = summary_by::image);
