#include "records/record_database.h"

#include <charconv>

#include "text/visible_text.h"

std::string one_line(const std::string& text) {
  std::string line;
  for (const char c : text) {
    const bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == ' ';
    if (!blank) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  return visible_text(line);
}

sql_value sql_text_or_null(const std::optional<std::string>& text) {
  return text ? sql_value(*text) : sql_value(nullptr);
}

bool sql_run(record_store& store, const std::string& sql, const std::vector<sql_value>& values,
             const row_sink& each_row, std::string& why) {
  store.waits.was_interrupted = false;
  if (store.sqlite == nullptr && store.postgres == nullptr) {
    store.waits.lost = true;
    why = "the database is not open";
    return false;
  }
  return store.sqlite ? sqlite_run(*store.sqlite, sql, values, each_row, why)
                      : postgres_run(*store.postgres, sql, values, each_row, why);
}

const sql_dialect& dialect_of(const record_store& store) {
  return store.sqlite ? sqlite_dialect : postgres_dialect;
}

bool in_write_transaction(record_store& store, const std::function<bool(std::string& why)>& work,
                          std::string& why) {
  // Checked before the write lock is taken, and again under it: a file
  // replaced between the two takes no write either.
  if (store.sqlite && !sqlite_still_there(*store.sqlite, why)) {
    store.waits.lost = true;
    return false;
  }
  if (!sql_run(store, dialect_of(store).begin_write, {}, {}, why)) return false;
  if (store.sqlite && !sqlite_still_there(*store.sqlite, why)) store.waits.lost = true;
  if (!store.waits.lost && work(why) && sql_run(store, "COMMIT", {}, {}, why)) return true;
  std::string ignored;  // the first failure is the one that says why
  const database_waits kept = store.waits;
  sql_run(store, "ROLLBACK", {}, {}, ignored);
  store.waits = kept;
  return false;
}

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

std::optional<int64_t> integer_of(const std::optional<std::string>& text) {
  int64_t number = 0;
  if (!text) return std::nullopt;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number);
  if (error != std::errc{} || end != text->data() + text->size()) return std::nullopt;
  return number;
}

std::string now_text() { return utc_text(std::chrono::system_clock::now()); }
