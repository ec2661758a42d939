// The stand-in for a build without PostgreSQL's client library (the
// statically linked station: Debian's libpq does not link statically).
#include "records/record_database.h"

struct postgres_database {};

const sql_dialect postgres_dialect{.begin_write = "", .row_id_column = "", .schema_lock = ""};

bool postgres_target_has_password(const std::string&) { return false; }

postgres_database* postgres_open(const std::string&, database_waits&, std::string& why) {
  why =
      "this build of vexlor-flash-all cannot reach PostgreSQL (it was built without its "
      "client library, libpq)";
  return nullptr;
}

bool postgres_run(postgres_database&, const std::string&, const std::vector<sql_value>&,
                  const row_sink&, std::string& why) {
  why = "no PostgreSQL in this build";
  return false;
}

void postgres_close(postgres_database*) {}
