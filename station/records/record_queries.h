// vexlor-flash-all --history and --summary: the record database read back,
// flashing nothing.
#pragma once

#include <string>

#include "records/record_store.h"

struct record_query {
  std::string database;               // --db
  bool summary = false;               // --summary; else --history
  summary_by by = summary_by::image;  // --summary's --by
  history_filter filter;              // --history's choice of runs; its `since` is --summary's too
};

// Prints the runs --history asks for as JSON Lines, oldest first, or the
// --summary table, on standard output. False, and why, when the database
// cannot be read; an SQLite file that is not there is one (a query never
// makes a database).
bool print_records(const record_query& query, std::string& why);
