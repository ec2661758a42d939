// The record store in an SQLite file: one station, or several on one machine.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "files/file_access.h"
#include "records/record_database.h"

struct sqlite_database {
  sqlite3* connection = nullptr;
  std::string path;
  file_identity identity;  // of the file as opened
  database_waits* waits = nullptr;
  bool timed_out = false;  // the last call waited out its bound
};

namespace {

using wait_clock = std::chrono::steady_clock;

std::string error_of(sqlite3* connection) { return one_line(sqlite3_errmsg(connection)); }

// Called while another connection holds the lock a statement needs: waits
// a little and asks again, up to the bound, and no longer once the station
// has a stop request to answer.
int wait_for_lock(void* data, int count) {
  auto& database = *static_cast<sqlite_database*>(data);
  static thread_local wait_clock::time_point began;
  if (count == 0) began = wait_clock::now();
  if (database.waits->interrupted && database.waits->interrupted()) {
    database.waits->was_interrupted = true;
    return 0;
  }
  if (wait_clock::now() - began >= std::chrono::milliseconds(database_wait_ms)) {
    database.timed_out = true;
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(database_poll_ms / 2));
  return 1;
}

// Why a call failed, in words that say what the station met.
std::string failure_of(sqlite_database& database) {
  if (database.waits->was_interrupted) {
    return "a stop request came while it waited for the database";
  }
  if (database.timed_out) {
    return "another program held the database locked for " +
           std::to_string(database_wait_ms / 1000) + " s";
  }
  return error_of(database.connection);
}

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

// A path as a "file:" URI, every byte a URI gives a meaning to escaped, so
// that it names that file and no option.
std::string file_uri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : std::filesystem::absolute(path).string()) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) ||
                       std::string("/-_.~").find(c) != std::string::npos;
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
    uri += plain ? std::string(1, c) : std::string(escaped);
  }
  return uri;
}

sqlite3* open_connection(const std::string& name, int flags, sqlite_database& database,
                         std::string& why) {
  sqlite3* connection = nullptr;
  const int result = sqlite3_open_v2(name.c_str(), &connection, flags, nullptr);
  if (result != SQLITE_OK) {
    why = connection ? error_of(connection) : one_line(sqlite3_errstr(result));
    sqlite3_close(connection);
    return nullptr;
  }
  sqlite3_busy_handler(connection, wait_for_lock, &database);
  sqlite3_extended_result_codes(connection, 1);
  // No extension is ever loaded (it is off by default; said here so that it
  // stays off): the store runs its own statements alone, and the statically
  // linked station, whose SQLite still names dlopen, never calls it.
  sqlite3_db_config(connection, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  return connection;
}

// Runs `sql` until it is not refused as busy, within the bound: setting
// the write-ahead log takes the file whole, and a second station starting
// on a new file at the same moment is refused at once rather than waited
// for by SQLite itself.
bool run_while_busy(sqlite_database& database, const std::string& sql, std::string& why) {
  const auto give_up = wait_clock::now() + std::chrono::milliseconds(database_wait_ms);
  for (;;) {
    if (sqlite_run(database, sql, {}, {}, why)) return true;
    const int code = sqlite3_errcode(database.connection) & 0xff;
    const bool busy = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    if (!busy || database.waits->was_interrupted || wait_clock::now() >= give_up) return false;
    if (database.waits->interrupted && database.waits->interrupted()) {
      database.waits->was_interrupted = true;
      why = failure_of(database);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(database_poll_ms));
  }
}

}  // namespace

const sql_dialect sqlite_dialect{
    .begin_write = "BEGIN IMMEDIATE",
    .row_id_column = "id INTEGER PRIMARY KEY",
    .schema_lock = "",
};

sqlite_database* sqlite_open(const std::string& path, store_access access, database_waits& waits,
                             std::string& why) {
  auto* database = new sqlite_database{.path = path, .waits = &waits};
  // The path is a file name only: no "file:" URIs, which could name other
  // files or open options. Only a station that means to make a database
  // makes the file: a slip in its name must not start an empty one.
  const int flags = access == store_access::read    ? SQLITE_OPEN_READONLY
                    : access == store_access::write ? SQLITE_OPEN_READWRITE
                                                    : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  database->connection = open_connection(path, flags, *database, why);
  bool ready = database->connection != nullptr;
  if (ready && access == store_access::read) {
    // A reader in a folder it cannot write opens a database whose write-ahead
    // log is closed (no -wal file: every change is in the file) as a file
    // nobody changes, since it cannot make the log's index beside it.
    std::string unread;
    if (!sqlite_run(*database, "SELECT COUNT(*) FROM sqlite_master", {}, {}, unread) &&
        !std::filesystem::exists(path + "-wal")) {
      sqlite3_close(database->connection);
      database->connection = open_connection(
          file_uri(path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, *database, why);
      ready = database->connection != nullptr;
    }
  } else if (ready) {
    // WAL lets several stations on one machine read and write the file at
    // once; FULL makes every commit reach the disk before it returns, so
    // that a number handed out is still marked taken after a power cut.
    ready = run_while_busy(*database, "PRAGMA journal_mode=WAL", why) &&
            run_while_busy(*database, "PRAGMA synchronous=FULL", why);
  }
  // The file as it is now open: every write asks whether it is still the one
  // at the path.
  if (ready && !identity_of(path, database->identity)) {
    ready = false;
    why = "it was gone as soon as it was opened";
  }
  if (!ready) {
    why = "cannot open the SQLite database " + path + ": " + why;
    sqlite_close(database);
    return nullptr;
  }
  return database;
}

bool sqlite_run(sqlite_database& database, const std::string& sql,
                const std::vector<sql_value>& values, const row_sink& each_row, std::string& why) {
  database.timed_out = false;
  database.waits->was_interrupted = false;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database.connection, sql.c_str(), static_cast<int>(sql.size()), &statement,
                         nullptr) != SQLITE_OK) {
    why = failure_of(database);
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
  if (!ok) why = failure_of(database);
  sqlite3_finalize(statement);
  return ok;
}

bool sqlite_still_there(sqlite_database& database, std::string& why) {
  file_identity now;
  if (identity_of(database.path, now) && now == database.identity) return true;
  why = "the SQLite database " + database.path + " was deleted or replaced since the station " +
        "opened it";
  return false;
}

void sqlite_close(sqlite_database* database) {
  if (database == nullptr) return;
  sqlite3_close(database->connection);
  delete database;
}
