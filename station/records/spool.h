// The spool: where a run's record waits when its database cannot take it
// (the server gone or not answering, a lock held past its wait, a full
// disk, the SQLite file deleted or replaced), so that no record is lost.
// Each record is a file of its own, one JSON line (spool_line), made whole
// under a fresh name and renamed into place (whole_file.h): a crash never
// leaves half a record. Records are written to the database oldest first,
// each once (its run id makes a second write of it nothing), and each file
// goes once its record is in. A spool folder serves one record database.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "records/record_store.h"
#include "records/run_record.h"

// The folder a station spools to: `spool` (--spool) where given, else
// `log_folder` (--log-dir), else "vexlor-spool" beside an SQLite file, else
// the current folder.
std::string spool_folder_of(const std::string& spool, const std::string& log_folder,
                            const std::string& database);

// Keeps `record` in `folder` (made where it is not there). False, and why,
// when it cannot.
bool spool_keep(const std::string& folder, const run_record& record, std::string& why);

// The spooled records' files in `folder`, oldest first (by their runs' end,
// which their names begin with).
std::vector<std::string> spooled_files(const std::string& folder);

struct replay_result {
  std::size_t written = 0;  // records now in the database, their files gone
  std::size_t waiting = 0;  // records still in the spool
  // What the operator should know: a record whose number was no longer its
  // run's (the conflict), a file that is no record this station reads.
  std::vector<std::string> notes;
};

// Writes the records spooled in `folder` to the database, oldest first,
// each settling its number in its pool as its record says. Stops at the
// first the database cannot take: false, and why; the rest wait. A file
// that is no record is left where it is, and noted.
bool spool_replay(record_store& store, const std::string& folder, replay_result& result,
                  std::string& why);
