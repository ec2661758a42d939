// The record store in an SQLite file: one station, or several on one machine.
#include <sqlite3.h>

#include "records/record_database.h"

struct sqlite_database {
  sqlite3* connection = nullptr;
};

namespace {

// How long a statement waits for another station's transaction on the same
// file before it gives up: far longer than any of the store's transactions.
constexpr int busy_timeout_ms = 30'000;

std::string error_of(sqlite3* connection) { return one_line(sqlite3_errmsg(connection)); }

bool bind_values(sqlite3_stmt* statement, const std::vector<sql_value>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string name = "$" + std::to_string(i + 1);
    const int index = sqlite3_bind_parameter_index(statement, name.c_str());
    if (index == 0) continue;  // a value the statement does not use
    const sql_value& value = values[i];
    int result = SQLITE_OK;
    if (std::holds_alternative<std::nullptr_t>(value)) {
      result = sqlite3_bind_null(statement, index);
    } else if (const auto* number = std::get_if<int64_t>(&value)) {
      result = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
      result = sqlite3_bind_double(statement, index, *real);
    } else {
      const std::string& text = std::get<std::string>(value);
      result = sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT);
    }
    if (result != SQLITE_OK) return false;
  }
  return true;
}

sql_row row_of(sqlite3_stmt* statement) {
  sql_row row;
  const int columns = sqlite3_column_count(statement);
  for (int column = 0; column < columns; ++column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (text == nullptr) {
      row.emplace_back();
    } else {
      row.emplace_back(
          std::string(reinterpret_cast<const char*>(text),
                      static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
    }
  }
  return row;
}

}  // namespace

const sql_dialect sqlite_dialect{
    .begin_write = "BEGIN IMMEDIATE",
    .row_id_column = "id INTEGER PRIMARY KEY",
    .schema_lock = "",
};

sqlite_database* sqlite_open(const std::string& path, std::string& why) {
  sqlite3* connection = nullptr;
  // The path is a file name only: no "file:" URIs, which could name other
  // files or open options.
  const int result = sqlite3_open_v2(path.c_str(), &connection,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (result != SQLITE_OK) {
    why = "cannot open the SQLite database: " +
          (connection ? error_of(connection) : one_line(sqlite3_errstr(result)));
    sqlite3_close(connection);
    return nullptr;
  }
  sqlite3_busy_timeout(connection, busy_timeout_ms);
  sqlite3_extended_result_codes(connection, 1);
  // No extension is ever loaded (it is off by default; said here so that it
  // stays off): the store runs its own statements alone, and the statically
  // linked station, whose SQLite still names dlopen, never calls it.
  sqlite3_db_config(connection, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  auto* database = new sqlite_database{connection};
  // WAL lets several stations on one machine read and write the file at
  // once; FULL makes every commit reach the disk before it returns, so that
  // a number handed out is still marked taken after a power cut.
  if (!sqlite_run(*database, "PRAGMA journal_mode=WAL", {}, {}, why) ||
      !sqlite_run(*database, "PRAGMA synchronous=FULL", {}, {}, why)) {
    why = "cannot open the SQLite database: " + why;
    sqlite_close(database);
    return nullptr;
  }
  return database;
}

bool sqlite_run(sqlite_database& database, const std::string& sql,
                const std::vector<sql_value>& values, const row_sink& each_row, std::string& why) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database.connection, sql.c_str(), static_cast<int>(sql.size()), &statement,
                         nullptr) != SQLITE_OK) {
    why = error_of(database.connection);
    return false;
  }
  bool ok = bind_values(statement, values);
  while (ok) {
    const int step = sqlite3_step(statement);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) {
      ok = false;
      break;
    }
    if (each_row) each_row(row_of(statement));
  }
  if (!ok) why = error_of(database.connection);
  sqlite3_finalize(statement);
  return ok;
}

void sqlite_close(sqlite_database* database) {
  if (database == nullptr) return;
  sqlite3_close(database->connection);
  delete database;
}
