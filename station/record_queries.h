// vexlor-flash-all --history and --summary: the record database read back,
// flashing nothing.
#pragma once

#include <string>

#include "station_options.h"

// Prints the runs --history asks for as JSON Lines, oldest first, or the
// --summary table, on standard output. False, and why, when the database
// cannot be read; an SQLite file that is not there is one (a query never
// makes a database).
bool print_records(const station_settings& settings, std::string& why);
