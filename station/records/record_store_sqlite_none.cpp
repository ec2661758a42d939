// The stand-in for a build without SQLite (the Windows build): no store.
#include "records/record_database.h"

struct sqlite_database {};

const sql_dialect sqlite_dialect{.begin_write = "", .row_id_column = "", .schema_lock = ""};

sqlite_database* sqlite_open(const std::string&, store_access, database_waits&, std::string& why) {
  why = "this build of vexlor-flash-all keeps no database (it was built without SQLite)";
  return nullptr;
}

bool sqlite_run(sqlite_database&, const std::string&, const std::vector<sql_value>&,
                const row_sink&, std::string& why) {
  why = "no SQLite in this build";
  return false;
}

bool sqlite_still_there(sqlite_database&, std::string&) { return true; }

void sqlite_close(sqlite_database*) {}
