// The station at work: one vexlor-prog per board, at most --jobs at once
// (and no more than the file descriptors allow),
// each run's events read as they come, its record kept as it ends; with
// --watch, boards taken on as their ports appear, until a stop request.
#pragma once

#include <string>
#include <vector>

#include "file_roles.h"
#include "records/junit_report.h"
#include "ports/port_list.h"
#include "ports/ports_watch.h"
#include "records/report_file.h"
#include "records/record_store.h"
#include "station_options.h"

struct station_setup {
  const station_settings& settings;
  std::string programmer;  // the vexlor-prog to run
  report_file* report;     // --report, open for appending; nullptr: none
  junit_record* junit;     // --junit, ready for the cases; nullptr: none
  ports_watch* watch;      // --watch; nullptr: the boards below and no more
  std::vector<station_port> boards;
  record_store* records = nullptr;  // --db; nullptr: none
  std::string spool_folder;         // where records the database cannot take wait
  std::vector<file_role> roles;     // the files of other roles, which no run's log may be
  std::string image_sha256;         // of the image the station was started with
};

// Runs every board to its end and returns the station's exit status: 0 when
// every run succeeded and its record is kept, 1 when any failed or a record
// waits in the spool (or, without --watch, no board was there), 128 + N
// when stopped by signal N (with --watch, only when a run was still going
// and had to be stopped).
int supervise(station_setup setup);
