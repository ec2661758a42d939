// The record store: its tables, a run's row, the history and the summary.
// The serial pools are serial_pool.cpp; the two databases are
// record_store_sqlite.cpp and record_store_postgres.cpp.
#include "records/record_store.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "records/record_database.h"
#include "records/serial_pool.h"

namespace {

// The tables of schema version 2, the same on both databases but for the
// runs' key. Times are UTC text ("2026-12-07T10:31:02.123Z"), which sorts
// as time does; an adapter's strings it lacks are NULL. The columns version
// 2 added come last, where the migration from version 1 adds them.
std::vector<std::string> schema_tables(const sql_dialect& dialect) {
  return {
      std::string("CREATE TABLE runs (") + dialect.row_id_column +
          ", port TEXT NOT NULL, device TEXT, adapter_vendor_id TEXT, adapter_product_id TEXT, "
          "adapter_serial TEXT, adapter_manufacturer TEXT, adapter_product TEXT, "
          "adapter_usb_path TEXT, image TEXT, sha256 TEXT, size BIGINT, address BIGINT, "
          "baud BIGINT, start_time TEXT NOT NULL, end_time TEXT NOT NULL, "
          "seconds DOUBLE PRECISION NOT NULL, exit_status BIGINT, outcome TEXT NOT NULL, "
          "phase TEXT, reason TEXT, log TEXT, station TEXT, tool TEXT, board_id TEXT, "
          "serial_pool TEXT, serial_number BIGINT, serial_state TEXT, run_id TEXT, "
          "station_image TEXT, station_sha256 TEXT, warnings TEXT, sectors_written BIGINT, "
          "boot_line TEXT)",
      "CREATE INDEX runs_by_start ON runs (start_time)",
      "CREATE INDEX runs_by_board ON runs (board_id)",
      "CREATE INDEX runs_by_serial ON runs (serial_number)",
      "CREATE UNIQUE INDEX runs_by_run_id ON runs (run_id)",
      "CREATE TABLE serial_pools (name TEXT PRIMARY KEY, next_number BIGINT NOT NULL, "
      "first_number BIGINT)",
      "CREATE TABLE serial_numbers (pool TEXT NOT NULL REFERENCES serial_pools (name), "
      "number BIGINT NOT NULL, state TEXT NOT NULL, board_id TEXT, station TEXT, "
      "taken_at TEXT NOT NULL, settled_at TEXT, held_by TEXT, host TEXT, pid BIGINT, port TEXT, "
      "PRIMARY KEY (pool, number))",
      "CREATE INDEX serial_numbers_by_board ON serial_numbers (pool, board_id)",
  };
}

// Version 1 to 2, in place, in the transaction that found version 1: each
// run gets its id and its station's image; a pool its first number (the
// lowest it handed out, else its next); a number the run that holds it.
// A number version 1 left taken is held by no known run: it stays taken,
// and --release-serial may give it back.
const char* const version_1_to_2[] = {
    "ALTER TABLE runs ADD COLUMN run_id TEXT",
    "ALTER TABLE runs ADD COLUMN station_image TEXT",
    "ALTER TABLE runs ADD COLUMN station_sha256 TEXT",
    "CREATE UNIQUE INDEX runs_by_run_id ON runs (run_id)",
    "ALTER TABLE serial_pools ADD COLUMN first_number BIGINT",
    "UPDATE serial_pools SET first_number = COALESCE((SELECT MIN(number) FROM serial_numbers "
    "WHERE pool = serial_pools.name), next_number)",
    "ALTER TABLE serial_numbers ADD COLUMN held_by TEXT",
    "ALTER TABLE serial_numbers ADD COLUMN host TEXT",
    "ALTER TABLE serial_numbers ADD COLUMN pid BIGINT",
    "ALTER TABLE serial_numbers ADD COLUMN port TEXT",
    // Each run's warnings, a JSON list of their texts; earlier runs have none.
    "ALTER TABLE runs ADD COLUMN warnings TEXT",
    // With --changed-only, the sectors a run erased and wrote.
    "ALTER TABLE runs ADD COLUMN sectors_written BIGINT",
    // With --expect, the line the board said as it started.
    "ALTER TABLE runs ADD COLUMN boot_line TEXT",
    "UPDATE store_schema SET version = 2",
};

// A run's columns, in the order of the values store_add_run binds and of
// the cells record_of_row reads.
const char* const run_columns =
    "port, device, adapter_vendor_id, adapter_product_id, adapter_serial, adapter_manufacturer, "
    "adapter_product, adapter_usb_path, image, sha256, size, address, baud, start_time, "
    "end_time, seconds, exit_status, outcome, phase, reason, log, station, tool, board_id, "
    "serial_pool, serial_number, serial_state, run_id, station_image, station_sha256, warnings, "
    "sectors_written, boot_line";
constexpr std::size_t run_column_count = 33;

bool is_keyword_start(const std::string& target) {
  const std::size_t equals = target.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  std::size_t start = target.find_first_not_of(" \t");
  if (start == std::string::npos || start >= equals) return false;
  const std::string word =
      target.substr(start, target.find_last_not_of(" \t", equals - 1) + 1 - start);
  return std::all_of(word.begin(), word.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
}

// The version the database's records are of; none when it holds no
// station's tables.
bool schema_version(record_store& store, std::optional<int64_t>& version, std::string& why) {
  const char* const table_there =
      store.sqlite ? "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'store_schema'"
                   : "SELECT 1 FROM information_schema.tables WHERE table_schema = "
                     "current_schema() AND table_name = 'store_schema'";
  std::optional<std::string> cell;
  version.reset();
  if (!first_cell(store, table_there, {}, cell, why)) return false;
  if (!cell) return true;
  if (!first_cell(store, "SELECT version FROM store_schema", {}, cell, why)) return false;
  version = integer_of(cell);
  return true;
}

std::string no_records(const record_store& store) {
  std::string why = "no station records in " + store_name(store.target);
  if (store.options.access == store_access::write) {
    why += ": give --db-create to keep them there";
  }
  return why;
}

std::string version_words(int64_t version) {
  return "the database holds records of version " + std::to_string(version) +
         ", and this vexlor-flash-all knows version " + std::to_string(store_schema_version);
}

// What reading needs: the tables, of this version.
bool check_tables(record_store& store, std::string& why) {
  std::optional<int64_t> version;
  if (!schema_version(store, version, why)) return false;
  if (!version) {
    why = no_records(store);
  } else if (*version == 1) {
    why = version_words(1) + ": a station that writes to it (a flash, --replay) brings it to " +
          "version 2 first";
  } else if (*version != store_schema_version) {
    why = version_words(*version);
  } else {
    return true;
  }
  return false;
}

// What writing needs: the tables made (creating), version 1 brought to 2,
// in the transaction that looked.
bool prepare_tables(record_store& store, std::string& why) {
  const sql_dialect& dialect = dialect_of(store);
  if (*dialect.schema_lock && !sql_run(store, dialect.schema_lock, {}, {}, why)) return false;
  std::optional<int64_t> version;
  if (!schema_version(store, version, why)) return false;
  if (version == 1) {
    for (const char* step : version_1_to_2) {
      if (!sql_run(store, step, {}, {}, why)) return false;
    }
    return true;
  }
  if (version) {
    if (*version == store_schema_version) return true;
    why = version_words(*version);
    return false;
  }
  if (store.options.access != store_access::create) {
    why = no_records(store);
    return false;
  }
  if (!sql_run(store, "CREATE TABLE IF NOT EXISTS store_schema (version BIGINT NOT NULL)", {}, {},
               why)) {
    return false;
  }
  for (const std::string& table : schema_tables(dialect)) {
    if (!sql_run(store, table, {}, {}, why)) return false;
  }
  return sql_run(store, "INSERT INTO store_schema (version) VALUES ($1)", {store_schema_version},
                 {}, why);
}

sql_value string_value(const std::string& text) {
  return text.empty() ? sql_value(nullptr) : sql_value(text);
}

sql_value number_value(const std::optional<int64_t>& number) {
  return number ? sql_value(*number) : sql_value(nullptr);
}

// A run's warnings as the column keeps them: a JSON list of their texts.
sql_value warnings_text(const std::vector<std::string>& warnings) {
  return nlohmann::json(warnings).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::string> warnings_of(const std::optional<std::string>& text) {
  const nlohmann::json list = nlohmann::json::parse(text.value_or("[]"), nullptr, false);
  std::vector<std::string> warnings;
  if (!list.is_array()) return warnings;
  for (const nlohmann::json& warning : list) {
    if (warning.is_string()) warnings.push_back(warning.get<std::string>());
  }
  return warnings;
}

std::vector<sql_value> run_values(const run_record& record) {
  const std::optional<usb_identity>& adapter = record.identity;
  const std::optional<serial_use>& serial = record.serial;
  return {record.port,
          sql_text_or_null(record.device),
          adapter ? sql_value(adapter->vendor_id) : sql_value(nullptr),
          adapter ? sql_value(adapter->product_id) : sql_value(nullptr),
          adapter ? string_value(adapter->serial) : sql_value(nullptr),
          adapter ? string_value(adapter->manufacturer) : sql_value(nullptr),
          adapter ? string_value(adapter->product) : sql_value(nullptr),
          adapter ? sql_value(adapter->usb_path) : sql_value(nullptr),
          sql_text_or_null(record.image),
          sql_text_or_null(record.sha256),
          number_value(record.size),
          number_value(record.address),
          number_value(record.baud),
          record.start,
          record.end,
          record.seconds,
          number_value(record.exit_status),
          record.outcome,
          sql_text_or_null(record.phase),
          sql_text_or_null(record.reason),
          sql_text_or_null(record.log),
          sql_text_or_null(record.station),
          sql_text_or_null(record.tool),
          sql_text_or_null(record.board_id),
          serial ? sql_value(serial->pool) : sql_value(nullptr),
          serial ? sql_value(static_cast<int64_t>(serial->number)) : sql_value(nullptr),
          serial ? sql_value(settlement_name(serial->settlement)) : sql_value(nullptr),
          string_value(record.run_id),
          sql_text_or_null(record.station_image),
          sql_text_or_null(record.station_sha256),
          warnings_text(record.warnings),
          number_value(record.sectors_written),
          sql_text_or_null(record.boot_line)};
}

double real_of(const std::optional<std::string>& text) {
  double number = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), number);
  return number;
}

run_record record_of_row(const sql_row& row) {
  auto cell = [&](std::size_t column) { return row.at(column); };
  auto text = [&](std::size_t column) { return row.at(column).value_or(""); };
  run_record record;
  record.port = text(0);
  record.device = cell(1);
  if (cell(2)) {
    record.identity = usb_identity{.vendor_id = text(2),
                                   .product_id = text(3),
                                   .serial = text(4),
                                   .manufacturer = text(5),
                                   .product = text(6),
                                   .usb_path = text(7)};
  }
  record.image = cell(8);
  record.sha256 = cell(9);
  record.size = integer_of(cell(10));
  record.address = integer_of(cell(11));
  record.baud = integer_of(cell(12));
  record.start = text(13);
  record.end = text(14);
  record.seconds = real_of(cell(15));
  record.exit_status = integer_of(cell(16));
  record.outcome = text(17);
  record.phase = cell(18);
  record.reason = cell(19);
  record.log = cell(20);
  record.station = cell(21);
  record.tool = cell(22);
  record.board_id = cell(23);
  const std::optional<int64_t> number = integer_of(cell(25));
  if (cell(24) && number) {
    record.serial =
        serial_use{.pool = text(24),
                   .number = static_cast<uint64_t>(*number),
                   .settlement = settlement_named(text(26)).value_or(serial_settlement::spent)};
  }
  record.run_id = text(27);
  record.station_image = cell(28);
  record.station_sha256 = cell(29);
  record.warnings = warnings_of(cell(30));
  record.sectors_written = integer_of(cell(31));
  record.boot_line = cell(32);
  return record;
}

}  // namespace

bool store_is_postgres(const std::string& target) {
  return target.starts_with("postgresql://") || target.starts_with("postgres://") ||
         is_keyword_start(target);
}

std::string store_name(const std::string& target) {
  return store_is_postgres(target) ? "the PostgreSQL database" : target;
}

std::string store_target_warning(const std::string& target) {
  if (!store_is_postgres(target) || !postgres_target_has_password(target)) return {};
  return "--db holds a password, which every user of this machine can read in the process "
         "list: keep it in a password file (PGPASSFILE) or a service file (PGSERVICEFILE) "
         "instead";
}

void store_closer::operator()(record_store* store) const {
  if (store == nullptr) return;
  sqlite_close(store->sqlite);
  postgres_close(store->postgres);
  delete store;
}

namespace {

bool open_database(record_store& store, std::string& why) {
  const std::string& target = store.target;
  store.waits.lost = false;
  if (store_is_postgres(target)) {
    store.postgres = postgres_open(target, store.waits, why);
    if (store.postgres == nullptr) return false;
  } else if (target.find("://") != std::string::npos) {
    // A file path would be taken as a folder "scheme:" that is not there.
    why =
        "not a database this station knows: give a file path (SQLite), or postgresql://... or "
        "host=... dbname=... (PostgreSQL)";
    return false;
  } else if (target.empty()) {
    why = "no database named";
    return false;
  } else {
    std::error_code error;
    if (store.options.access != store_access::create && !std::filesystem::exists(target, error)) {
      why = "there is no record database " + target;
      if (store.options.access == store_access::write) {
        why += ": give --db-create to make one (or --serial-first, to start a pool in a new one)";
      }
      return false;
    }
    store.sqlite = sqlite_open(target, store.options.access, store.waits, why);
    if (store.sqlite == nullptr) return false;
  }
  if (store.options.access == store_access::read) return check_tables(store, why);
  if (!in_write_transaction(
          store, [&](std::string& step_why) { return prepare_tables(store, step_why); }, why)) {
    if (why.find("no station records") == std::string::npos &&
        why.find("version") == std::string::npos) {
      why = "cannot set up the record database: " + why;
    }
    return false;
  }
  store.waits.lost = false;
  return true;
}

}  // namespace

bool store_open(const std::string& target, const store_options& options, store_handle& store,
                std::string& why) {
  auto opened = store_handle(new record_store{.target = target, .options = options});
  opened->waits.interrupted = options.interrupted;
  if (!open_database(*opened, why)) return false;
  store = std::move(opened);
  return true;
}

bool store_reopen(record_store& store, std::string& why) {
  sqlite_close(std::exchange(store.sqlite, nullptr));
  postgres_close(std::exchange(store.postgres, nullptr));
  // What was there when the station started is what it opens again: a
  // database the file's loss would make afresh is not.
  store_options options = store.options;
  if (options.access == store_access::create) options.access = store_access::write;
  store.options = options;
  if (open_database(store, why)) return true;
  sqlite_close(std::exchange(store.sqlite, nullptr));
  postgres_close(std::exchange(store.postgres, nullptr));
  store.waits.lost = true;
  return false;
}

void store_set_interrupt(record_store& store, const std::function<bool()>& interrupted) {
  store.options.interrupted = interrupted;
  store.waits.interrupted = interrupted;
}

bool store_reachable(record_store& store, std::string& why) {
  if (!store.waits.lost) {
    const bool there = store.sqlite ? sqlite_still_there(*store.sqlite, why)
                                    : sql_run(store, "SELECT 1", {}, {}, why);
    if (there) return true;
    if (store.waits.was_interrupted) return false;
  }
  return store_reopen(store, why);
}

bool store_lost(const record_store& store) { return store.waits.lost; }

bool store_interrupted(const record_store& store) { return store.waits.was_interrupted; }

bool store_add_run(record_store& store, run_record& record, std::string& why) {
  const std::string insert = std::string("INSERT INTO runs (") + run_columns +
                             ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, "
                             "$14, $15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, "
                             "$27, $28, $29, $30, $31, $32, $33)";
  run_record kept;
  const bool written = in_write_transaction(
      store,
      [&](std::string& step_why) {
        kept = record;
        std::optional<std::string> there;
        if (!record.run_id.empty() && !first_cell(store, "SELECT id FROM runs WHERE run_id = $1",
                                                  {record.run_id}, there, step_why)) {
          return false;
        }
        if (there) return true;  // kept already: a replay of a record the database has
        return (!kept.serial || settle_run_number(store, kept, step_why)) &&
               sql_run(store, insert, run_values(kept), {}, step_why);
      },
      why);
  if (written) record = kept;
  return written;
}

bool store_history(record_store& store, const history_filter& filter,
                   const std::function<void(const run_record& run)>& each_run, std::string& why) {
  std::string sql = std::string("SELECT ") + run_columns + " FROM runs WHERE 1 = 1";
  std::vector<sql_value> values;
  // Each filter given adds its condition, its value bound as the next $N.
  auto condition = [&](const char* column_and_operator, sql_value value) {
    values.push_back(std::move(value));
    sql += std::string(" AND ") + column_and_operator + " $" + std::to_string(values.size());
  };
  // Kept as vexlor-prog writes them, in lower case; a person may type them
  // either way.
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  if (filter.board_id) condition("board_id =", lower(*filter.board_id));
  if (filter.serial_number) {
    if (*filter.serial_number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return true;  // no pool goes that high
    }
    condition("serial_number =", static_cast<int64_t>(*filter.serial_number));
  }
  if (filter.port) condition("port =", *filter.port);
  if (filter.since) condition("start_time >=", *filter.since);
  if (filter.until) condition("start_time <", *filter.until);
  if (filter.image_prefix) {
    condition("COALESCE(sha256, station_sha256) LIKE", lower(*filter.image_prefix) + "%");
  }
  if (filter.outcome) condition("outcome =", *filter.outcome);
  if (filter.pool) condition("serial_pool =", *filter.pool);
  if (filter.station) condition("station =", *filter.station);
  sql += " ORDER BY start_time, id";
  return sql_run(
      store, sql, values,
      [&](const sql_row& row) {
        if (row.size() == run_column_count) each_run(record_of_row(row));
      },
      why);
}

bool store_summary(record_store& store, const std::optional<std::string>& since,
                   const std::optional<std::string>& until, std::vector<image_summary>& images,
                   std::string& why, summary_by by) {
  // A run without a board id stands for a board of its own ("run 12"); one
  // that failed before it read its image, for its station's image. A
  // board's first run is taken over every run there is, then the window
  // chooses the boards and their last runs. By boot line, the line the
  // board said stands where the image does.
  const std::string group =
      by == summary_by::boot_line ? "boot_line" : "COALESCE(sha256, station_sha256)";
  const std::string sql =
      "WITH every_run AS (SELECT " + group +
      " AS image, outcome, start_time, id, COALESCE(board_id, 'run ' || CAST(id AS TEXT)) AS "
      "board FROM runs), "
      "ranked AS (SELECT image, outcome, start_time, id, board, "
      "FIRST_VALUE(outcome) OVER (PARTITION BY image, board ORDER BY start_time, id) AS "
      "first_outcome "
      "FROM every_run), "
      "windowed AS (SELECT image, outcome, start_time, board, first_outcome, "
      "ROW_NUMBER() OVER (PARTITION BY image, board ORDER BY start_time DESC, id DESC) AS "
      "from_last FROM ranked WHERE start_time >= $1 AND start_time < $2) "
      "SELECT image, COUNT(*), COUNT(DISTINCT board), "
      "SUM(CASE WHEN from_last = 1 AND outcome = 'ok' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_last = 1 AND outcome = 'unchanged' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_last = 1 AND outcome NOT IN ('ok', 'unchanged') THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_last = 1 AND first_outcome IN ('ok', 'unchanged') THEN 1 ELSE 0 END) "
      "FROM windowed GROUP BY image ORDER BY MIN(start_time), image";
  images.clear();
  // "~" sorts after every time the records write.
  return sql_run(
      store, sql, {since.value_or(""), until.value_or("~")},
      [&](const sql_row& row) {
        if (row.size() != 7) return;
        image_summary summary{.runs = integer_of(row[1]).value_or(0),
                              .boards = integer_of(row[2]).value_or(0),
                              .ok = integer_of(row[3]).value_or(0),
                              .unchanged = integer_of(row[4]).value_or(0),
                              .failed = integer_of(row[5]).value_or(0),
                              .first_pass = integer_of(row[6]).value_or(0)};
        (by == summary_by::boot_line ? summary.boot_line : summary.sha256) = row[0];
        images.push_back(summary);
      },
      why);
}

std::string summary_table(const std::vector<image_summary>& images, summary_by by) {
  const bool lines = by == summary_by::boot_line;
  std::string table = std::string("  runs  boards      ok  unchanged  failed  first-pass yield  ") +
                      (lines ? "boot line\n" : "image\n");
  for (const image_summary& image : images) {
    const double yield = image.boards > 0 ? 100.0 * image.first_pass / image.boards : 0;
    char line[256];
    const std::string first_pass =
        std::to_string(image.first_pass) + "/" + std::to_string(image.boards);
    std::snprintf(line, sizeof line, "%6lld  %6lld  %6lld  %9lld  %6lld  %10s %5.1f%%  ",
                  static_cast<long long>(image.runs), static_cast<long long>(image.boards),
                  static_cast<long long>(image.ok), static_cast<long long>(image.unchanged),
                  static_cast<long long>(image.failed), first_pass.c_str(), yield);
    // The digest and the board's line came from a run's output: no control
    // byte of them reaches a terminal.
    table += line + one_line((lines ? image.boot_line : image.sha256).value_or("-")) + "\n";
  }
  return table;
}
