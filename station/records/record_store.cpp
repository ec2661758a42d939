// The record store: its tables, a run's row, the history and the summary.
// The serial pools are serial_pool.cpp; the two databases are
// record_store_sqlite.cpp and record_store_postgres.cpp.
#include "records/record_store.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>

#include "records/record_database.h"
#include "records/serial_pool.h"

namespace {

// The tables of schema version 2 (version 1 without runs.boot_line), the same on both databases but
// for the runs' key. Times are UTC text ("2026-12-07T10:31:02.123Z"), which sorts as time does; an
// adapter's strings it lacks are NULL.
std::vector<std::string> schema_tables(const sql_dialect& dialect) {
  return {
      std::string("CREATE TABLE runs (") + dialect.row_id_column +
          ", port TEXT NOT NULL, device TEXT, adapter_vendor_id TEXT, adapter_product_id TEXT, "
          "adapter_serial TEXT, adapter_manufacturer TEXT, adapter_product TEXT, "
          "adapter_usb_path TEXT, image TEXT, sha256 TEXT, size BIGINT, address BIGINT, "
          "baud BIGINT, start_time TEXT NOT NULL, end_time TEXT NOT NULL, "
          "seconds DOUBLE PRECISION NOT NULL, exit_status BIGINT, outcome TEXT NOT NULL, "
          "phase TEXT, reason TEXT, log TEXT, station TEXT, tool TEXT, board_id TEXT, "
          "serial_pool TEXT, serial_number BIGINT, serial_state TEXT, boot_line TEXT)",
      "CREATE INDEX runs_by_start ON runs (start_time)",
      "CREATE INDEX runs_by_board ON runs (board_id)",
      "CREATE INDEX runs_by_serial ON runs (serial_number)",
      "CREATE TABLE serial_pools (name TEXT PRIMARY KEY, next_number BIGINT NOT NULL)",
      "CREATE TABLE serial_numbers (pool TEXT NOT NULL REFERENCES serial_pools (name), "
      "number BIGINT NOT NULL, state TEXT NOT NULL, board_id TEXT, station TEXT, "
      "taken_at TEXT NOT NULL, settled_at TEXT, PRIMARY KEY (pool, number))",
      "CREATE INDEX serial_numbers_by_board ON serial_numbers (pool, board_id)",
  };
}

// A run's columns, in the order of the values store_add_run binds and of
// the cells record_of_row reads.
const char* const run_columns =
    "port, device, adapter_vendor_id, adapter_product_id, adapter_serial, adapter_manufacturer, "
    "adapter_product, adapter_usb_path, image, sha256, size, address, baud, start_time, "
    "end_time, seconds, exit_status, outcome, phase, reason, log, station, tool, board_id, "
    "serial_pool, serial_number, serial_state, boot_line";
constexpr std::size_t run_column_count = 28;

bool prepare_tables(record_store& store, std::string& why) {
  const sql_dialect& dialect = dialect_of(store);
  if (*dialect.schema_lock && !sql_run(store, dialect.schema_lock, {}, {}, why)) return false;
  if (!sql_run(store, "CREATE TABLE IF NOT EXISTS store_schema (version BIGINT NOT NULL)", {}, {},
               why)) {
    return false;
  }
  std::optional<std::string> version;
  if (!sql_run(
          store, "SELECT version FROM store_schema", {},
          [&](const sql_row& row) { version = row.at(0); }, why)) {
    return false;
  }
  if (version) {
    if (*version == std::to_string(store_schema_version)) return true;
    why = "the database holds records of version " + version.value_or("?") +
          ", and this vexlor-flash-all knows version " + std::to_string(store_schema_version);
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
          sql_text_or_null(record.boot_line)};
}

std::optional<int64_t> integer_of(const std::optional<std::string>& text) {
  int64_t number = 0;
  if (!text) return std::nullopt;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number);
  if (error != std::errc{} || end != text->data() + text->size()) return std::nullopt;
  return number;
}

double real_of(const std::optional<std::string>& text) {
  double number = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), number);
  return number;
}

serial_settlement settlement_of(const std::string& name) {
  for (const serial_settlement settlement :
       {serial_settlement::spent, serial_settlement::returned, serial_settlement::kept}) {
    if (name == settlement_name(settlement)) return settlement;
  }
  return serial_settlement::spent;
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
  record.boot_line = cell(27);
  const std::optional<int64_t> number = integer_of(cell(25));
  if (cell(24) && number) {
    record.serial = serial_use{.pool = text(24),
                               .number = static_cast<uint64_t>(*number),
                               .settlement = settlement_of(text(26))};
  }
  return record;
}

bool is_postgres_target(const std::string& target) {
  return target.starts_with("postgresql://") || target.starts_with("postgres://");
}

}  // namespace

void store_closer::operator()(record_store* store) const {
  if (store == nullptr) return;
  sqlite_close(store->sqlite);
  postgres_close(store->postgres);
  delete store;
}

bool store_open(const std::string& target, store_handle& store, std::string& why) {
  auto opened = store_handle(new record_store);
  if (is_postgres_target(target)) {
    opened->postgres = postgres_open(target, why);
    if (opened->postgres == nullptr) return false;
  } else if (target.find("://") != std::string::npos) {
    // A file path would be taken as a folder "scheme:" that is not there.
    why =
        "not a database this station knows: give a file path (SQLite) or "
        "postgresql://... (PostgreSQL)";
    return false;
  } else if (target.empty()) {
    why = "no database named";
    return false;
  } else {
    opened->sqlite = sqlite_open(target, why);
    if (opened->sqlite == nullptr) return false;
  }
  if (!in_write_transaction(
          *opened, [&](std::string& step_why) { return prepare_tables(*opened, step_why); }, why)) {
    why = "cannot set up the record database: " + why;
    return false;
  }
  store = std::move(opened);
  return true;
}

bool store_add_run(record_store& store, const run_record& record, std::string& why) {
  const std::string insert = std::string("INSERT INTO runs (") + run_columns +
                             ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, "
                             "$14, $15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, "
                             "$27, $28)";
  return in_write_transaction(
      store,
      [&](std::string& step_why) {
        const std::optional<serial_use>& serial = record.serial;
        return (!serial || settle_taken_number(store, serial->pool, serial->number,
                                               serial->settlement, record.board_id, step_why)) &&
               sql_run(store, insert, run_values(record), {}, step_why);
      },
      why);
}

bool store_history(record_store& store, const history_filter& filter,
                   const std::function<void(const std::string& line)>& each_line,
                   std::string& why) {
  std::string sql = std::string("SELECT ") + run_columns + " FROM runs WHERE 1 = 1";
  std::vector<sql_value> values;
  // Each filter given adds its condition, its value bound as the next $N.
  auto condition = [&](const char* column_and_operator, sql_value value) {
    values.push_back(std::move(value));
    sql += std::string(" AND ") + column_and_operator + " $" + std::to_string(values.size());
  };
  if (filter.board_id) {
    // Kept as vexlor-prog writes them, in lower case; a person may type
    // them either way.
    std::string board_id = *filter.board_id;
    for (char& c : board_id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    condition("board_id =", board_id);
  }
  if (filter.serial_number) {
    if (*filter.serial_number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return true;  // no pool goes that high
    }
    condition("serial_number =", static_cast<int64_t>(*filter.serial_number));
  }
  if (filter.port) condition("port =", *filter.port);
  if (filter.since) condition("start_time >=", *filter.since);
  sql += " ORDER BY start_time, id";
  return sql_run(
      store, sql, values,
      [&](const sql_row& row) {
        if (row.size() == run_column_count) each_line(history_line(record_of_row(row)));
      },
      why);
}

bool store_summary(record_store& store, const std::string& since,
                   std::vector<image_summary>& images, std::string& why, summary_by by) {
  const std::string group = by == summary_by::boot_line ? "boot_line" : "sha256";
  // A run without a board id stands for a board of its own ("run 12").
  const std::string sql =
      "WITH ranked AS (SELECT " + group +
      " AS group_key, outcome, start_time, "
      "COALESCE(board_id, 'run ' || CAST(id AS TEXT)) AS board, "
      "ROW_NUMBER() OVER (PARTITION BY " +
      group +
      ", COALESCE(board_id, 'run ' || CAST(id AS TEXT)) "
      "ORDER BY start_time, id) AS from_first, "
      "ROW_NUMBER() OVER (PARTITION BY " +
      group +
      ", COALESCE(board_id, 'run ' || CAST(id AS TEXT)) "
      "ORDER BY start_time DESC, id DESC) AS from_last "
      "FROM runs WHERE start_time >= $1) "
      "SELECT group_key, COUNT(*), COUNT(DISTINCT board), "
      "SUM(CASE WHEN from_last = 1 AND outcome = 'ok' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_last = 1 AND outcome = 'unchanged' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_last = 1 AND outcome NOT IN ('ok', 'unchanged') THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN from_first = 1 AND outcome IN ('ok', 'unchanged') THEN 1 ELSE 0 END) "
      "FROM ranked GROUP BY group_key ORDER BY MIN(start_time), group_key";
  images.clear();
  return sql_run(
      store, sql, {since},
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
