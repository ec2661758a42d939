#include "records/record_queries.h"

#include <cstdio>

namespace {

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

bool print_records(const record_query& query, std::string& why) {
  store_handle store;
  // The target is not repeated: a connection string may hold a password.
  if (!store_open(query.database, {.access = store_access::read}, store, why)) return false;
  if (!query.summary) {
    if (query.csv) print(history_csv_header());
    return store_history(
        *store, query.filter,
        [&](const run_record& run) {
          print(query.csv ? history_csv_line(run) : history_line(run));
        },
        why);
  }
  std::vector<image_summary> images;
  if (!store_summary(*store, query.filter.since, query.filter.until, images, why, query.by)) {
    return false;
  }
  print(summary_table(images, query.by));
  return true;
}
