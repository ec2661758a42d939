#include "records/record_database.h"

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
  return line;
}

sql_value sql_text_or_null(const std::optional<std::string>& text) {
  return text ? sql_value(*text) : sql_value(nullptr);
}

bool sql_run(record_store& store, const std::string& sql, const std::vector<sql_value>& values,
             const row_sink& each_row, std::string& why) {
  return store.sqlite ? sqlite_run(*store.sqlite, sql, values, each_row, why)
                      : postgres_run(*store.postgres, sql, values, each_row, why);
}

const sql_dialect& dialect_of(const record_store& store) {
  return store.sqlite ? sqlite_dialect : postgres_dialect;
}

bool in_write_transaction(record_store& store, const std::function<bool(std::string& why)>& work,
                          std::string& why) {
  if (!sql_run(store, dialect_of(store).begin_write, {}, {}, why)) return false;
  if (work(why) && sql_run(store, "COMMIT", {}, {}, why)) return true;
  std::string ignored;  // the first failure is the one that says why
  sql_run(store, "ROLLBACK", {}, {}, ignored);
  return false;
}
