// What the record store asks of a database, SQLite or PostgreSQL: run one
// statement with its values bound, never pasted into the text, and take its
// rows one by one. Each database is a file of its own
// (record_store_sqlite.cpp, record_store_postgres.cpp), or a stand-in that
// refuses where the build has not that library (*_none.cpp, chosen by
// station/CMakeLists.txt). Statements are written once for both: `$1`, `$2`
// name the values, which SQLite takes as named parameters.
//
// Every call is bounded: a lock held elsewhere, a server that does not
// answer, a connection that does not come are waited for at most
// database_wait_ms, and a wait ends at once when the store's `interrupted`
// says so (a stop request the station has yet to answer).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "records/record_store.h"

using sql_value = std::variant<std::nullptr_t, int64_t, double, std::string>;
// A row's cells as the database writes them as text; nullopt for NULL.
using sql_row = std::vector<std::optional<std::string>>;
using row_sink = std::function<void(const sql_row&)>;

// The longest a database call waits: for another station's lock, a server's
// answer, a connection.
inline constexpr int database_wait_ms = 10'000;

// How often a wait asks whether it is to end.
inline constexpr int database_poll_ms = 50;

// Where the two databases' SQL differs.
struct sql_dialect {
  // Begins a transaction that will write. SQLite takes the file's write lock
  // at once, so that two stations never both hold a read lock and wait on
  // each other to upgrade it.
  const char* begin_write;
  // The runs table's key, numbered by the database.
  const char* row_id_column;
  // Makes creating the tables one station at a time, inside the transaction
  // that creates them; empty where begin_write already does.
  const char* schema_lock;
};

struct sqlite_database;
struct postgres_database;

// What a database's wait asks, and what became of its last call.
struct database_waits {
  std::function<bool()> interrupted;
  bool was_interrupted = false;  // the last call ended because `interrupted` said so
  bool lost = false;             // the database is gone: a closed connection, a file replaced
};

// An open store: one of the two is set.
struct record_store {
  std::string target;  // as given, to open it again; never shown
  store_options options;
  database_waits waits;
  sqlite_database* sqlite = nullptr;
  postgres_database* postgres = nullptr;
};

extern const sql_dialect sqlite_dialect;
sqlite_database* sqlite_open(const std::string& path, store_access access, database_waits& waits,
                             std::string& why);
bool sqlite_run(sqlite_database& database, const std::string& sql,
                const std::vector<sql_value>& values, const row_sink& each_row, std::string& why);
// Whether the file the database was opened from is still the one at its
// path: false, and why, once it has been deleted or replaced (writes would
// go to a file nobody can find again).
bool sqlite_still_there(sqlite_database& database, std::string& why);
void sqlite_close(sqlite_database* database);

extern const sql_dialect postgres_dialect;
// Whether the connection string holds a password (libpq's reading of it).
bool postgres_target_has_password(const std::string& target);
postgres_database* postgres_open(const std::string& connection, database_waits& waits,
                                 std::string& why);
bool postgres_run(postgres_database& database, const std::string& sql,
                  const std::vector<sql_value>& values, const row_sink& each_row, std::string& why);
void postgres_close(postgres_database* database);

// The database's own words on one line: every C0 control character (a line
// break among them) and DEL a space, runs of spaces one, none at either end,
// and what else a terminal would take as a control shown visibly.
std::string one_line(const std::string& text);

// The value of a text that may be absent: NULL when it is.
sql_value sql_text_or_null(const std::optional<std::string>& text);

// Runs `sql` on whichever database the store has; `each_row` may be empty.
bool sql_run(record_store& store, const std::string& sql, const std::vector<sql_value>& values,
             const row_sink& each_row, std::string& why);

// Runs `work` in one transaction that writes, committed when it returns
// true, rolled back otherwise (and when the commit fails). An SQLite file
// that is no longer the one at its path is not written to.
bool in_write_transaction(record_store& store, const std::function<bool(std::string& why)>& work,
                          std::string& why);

// The first cell of the first row a statement gives, if any.
bool first_cell(record_store& store, const std::string& sql, const std::vector<sql_value>& values,
                std::optional<std::string>& cell, std::string& why);

// A cell as a whole number; nullopt for NULL or anything else.
std::optional<int64_t> integer_of(const std::optional<std::string>& text);

std::string now_text();

const sql_dialect& dialect_of(const record_store& store);
