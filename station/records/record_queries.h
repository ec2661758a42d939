// vexlor-flash-all --history and --summary: the record database read back,
// flashing nothing, with no right to write it needed.
#pragma once

#include <optional>
#include <string>

#include "records/record_store.h"

struct record_query {
  std::string database;               // --db
  bool summary = false;               // --summary; else --history
  bool csv = false;                   // --history as comma-separated values
  summary_by by = summary_by::image;  // --summary's --by
  history_filter filter;  // --history's choice of runs; its `since` and `until` are --summary's too
};

// Prints the runs --history asks for as JSON Lines (or CSV), oldest first,
// or the --summary table, on standard output. False, and why, when the
// database cannot be read; an SQLite file that is not there is one (a
// query never makes a database), as is one without the station's tables.
bool print_records(const record_query& query, std::string& why);
