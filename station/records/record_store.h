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

// The version of the tables below that this station writes. A database of
// a later version is refused, not guessed at; one of version 1 is brought
// to this version in place by a station that opens it to write, and refused
// by one that only reads it.
inline constexpr int64_t store_schema_version = 2;

// What a station means to do with the database.
enum class store_access {
  read,    // --history, --summary: read-only, no table made or changed
  write,   // keeps records in a database that holds the station's tables
  create,  // the same, making the file and the tables where they are not there
};

struct store_options {
  store_access access = store_access::write;
  // Asked while a database call waits (another station's lock, a server):
  // true ends the wait at once, the call failing (a stop request the
  // station has yet to answer). Empty: waits end only by their bound.
  std::function<bool()> interrupted;
};

// Whether `target` names a PostgreSQL database: a libpq connection URI
// ("postgresql://...", "postgres://...") or keyword string ("host=...
// dbname=...": its first word a keyword and "="). Anything else without
// "://" is an SQLite file's path.
bool store_is_postgres(const std::string& target);

// The database as a message may name it: an SQLite file's path; never a
// connection string, which may hold a password.
std::string store_name(const std::string& target);

// What a connection string says that the operator should know: a password
// in it, which any user of the machine can read in the process list. Empty
// when there is nothing to say.
std::string store_target_warning(const std::string& target);

// Opens the database `target` names for `options.access`. False, and why
// on one line, when it cannot: a file that is not there (unless created),
// a database without the station's tables (unless created), one of a later
// version, one that cannot be reached.
bool store_open(const std::string& target, const store_options& options, store_handle& store,
                std::string& why);

// Opens the store's database again after it was lost (a connection
// dropped, a server restarted, a file put back): false, and why, while it
// cannot be.
bool store_reopen(record_store& store, std::string& why);

// From now on, `interrupted` ends the store's waits (store_options).
void store_set_interrupt(record_store& store, const std::function<bool()>& interrupted);

// Whether the database can be reached now: asked of the server (PostgreSQL)
// or of the file at its path (SQLite), and opened again where it was lost.
// False, and why, while it cannot be.
bool store_reachable(record_store& store, std::string& why);

// Whether the last call failed because the database is gone (a connection
// lost, a file deleted or replaced), rather than for what it was asked;
// and whether it ended because `interrupted` said so.
bool store_lost(const record_store& store);
bool store_interrupted(const record_store& store);

// Keeps one run, with its serial number settled as the record says (spent:
// the number is the board's, its board id beside it; returned: the number
// goes back to the pool; kept: the board's already), in one transaction. A
// run whose id is on record already is not kept twice (true: a replay).
// A number that is no longer this run's to settle (handed back meanwhile,
// and maybe taken by another board) keeps the record all the same: the
// record comes back failed, the conflict in its reason, its serial state
// `conflict`. A number the database has not seen (a record replayed into
// a database made afresh) is settled there as the record says, its pool
// made and moved past it, so that it is never handed out again.
bool store_add_run(record_store& store, run_record& record, std::string& why);

// Who takes a number: the run, and where it runs.
struct serial_holder {
  std::string run_id;
  std::string station;  // --station
  std::string host;
  int64_t pid = 0;
  std::string port;
};

// Where the station that holds a number runs, as the station taking or
// giving back a number tells it from the holder's host and process.
enum class holder_place { running_here, gone, elsewhere };
using holder_lookup = std::function<holder_place(const std::string& host, int64_t pid)>;

struct serial_taken {
  uint64_t number = 0;
  bool kept = false;  // the board's own number from an earlier run, not a new one
};

// Whether pool `pool` is there; with `first`, starts it there at `first`
// where it is not. False, and why, for a pool that is not there and no
// `first`, or one whose first number is not `first` (naming its first and
// next numbers): a slip in a name or a number must not start a pool of
// its own, handing out numbers another already gave.
bool serial_pool_ready(record_store& store, const std::string& pool,
                       const std::optional<uint64_t>& first, std::string& why);

// Hands out a number of `pool`, in one transaction, before the board's run
// starts, recorded with its board id, station, host, process, port and
// time from then on: the board's own where `board_id` names a board that
// spent one of this pool before (held by the run until its record is
// written); else the lowest number given back; else the pool's next. A
// board id held by another run still going (another port, another
// station) takes nothing: "board id X is also on PORT". A number whose run
// died on this host is the board's again when it comes back. A number
// taken is never handed out again until it is returned: one whose station
// died before settling it stays taken. Numbers go up to 2^63 - 2.
bool serial_take(record_store& store, const std::string& pool,
                 const std::optional<std::string>& board_id, const serial_holder& holder,
                 const holder_lookup& where, serial_taken& taken, std::string& why);

// Settles a number its run holds, apart from a run's record: spent (with
// the board's id, if read) or returned.
bool serial_settle(record_store& store, const std::string& pool, uint64_t number,
                   serial_settlement settlement, const std::optional<std::string>& board_id,
                   const std::string& run_id, std::string& why);

// --release-serial: lets go of a number a run holds, for an operator who
// knows its board does not hold it: a taken number goes back to the pool, a
// board's own stays the board's and only the run's hold goes. Refused for
// a number whose station still runs on this host, or that no run holds.
// `done` says what was done.
bool serial_release(record_store& store, const std::string& pool, uint64_t number,
                    const holder_lookup& where, std::string& done, std::string& why);

struct history_filter {
  std::optional<std::string> board_id;
  std::optional<uint64_t> serial_number;
  std::optional<std::string> port;
  // UTC text as the records hold it ("2026-12-07T10:31:02.123Z"): runs that
  // started then or later, and before `until`.
  std::optional<std::string> since;
  std::optional<std::string> until;
  std::optional<std::string> image_prefix;  // of the image's SHA-256, lower-case hex
  std::optional<std::string> outcome;
  std::optional<std::string> pool;
  std::optional<std::string> station;
};

// The matching runs, oldest first, each given to `each_run`.
bool store_history(record_store& store, const history_filter& filter,
                   const std::function<void(const run_record& run)>& each_run, std::string& why);

// What --summary groups the runs by: the image written (its digest), or
// the line the board said as it started (--by boot-line), so that a line
// sees which firmware versions its boards report.
enum class summary_by { image, boot_line };

// One image's runs in a window of time. A board is its board id; a run that
// read none is a board of its own; a run that failed before its image was
// read counts under the image its station was started with. ok, unchanged
// and failed count boards by their last run in the window (failed: any end
// but ok and unchanged); first_pass the boards whose first run ever with
// the image ended ok or unchanged.
struct image_summary {
  std::optional<std::string> sha256;  // none: runs of no known image
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

// Per image (or boot line), the one first run earliest first; `since` and
// `until` as in history_filter.
bool store_summary(record_store& store, const std::optional<std::string>& since,
                   const std::optional<std::string>& until, std::vector<image_summary>& images,
                   std::string& why, summary_by by = summary_by::image);

// The summary as a small table: a heading line, then one line per image,
// its digest last (or per boot line, the line last); first-pass yield as
// "first_pass/boards" and a percentage.
std::string summary_table(const std::vector<image_summary>& images,
                          summary_by by = summary_by::image);
