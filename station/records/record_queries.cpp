#include "records/record_queries.h"

#include <cstdio>
#include <filesystem>

namespace {

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

bool print_records(const record_query& query, std::string& why) {
  const std::string& target = query.database;
  std::error_code error;
  if (target.find("://") == std::string::npos && !std::filesystem::exists(target, error)) {
    why = "no record database " + target;
    return false;
  }
  store_handle store;
  // The target is not repeated: a connection URI may hold a password.
  if (!store_open(target, store, why)) {
    why = "cannot use the record database: " + why;
    return false;
  }
  if (!query.summary) return store_history(*store, query.filter, print, why);
  std::vector<image_summary> images;
  if (!store_summary(*store, query.filter.since.value_or(""), images, why, query.by)) return false;
  print(summary_table(images, query.by));
  return true;
}
