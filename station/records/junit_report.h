// --junit: the station's runs as JUnit XML, which CI systems and test
// trackers read: one testsuite named vexlor-flash-all, one testcase per run.
// Each run's case is kept on disk as it ends, beside the file, never in
// memory: a station under --watch for a week holds no more than on its
// first day. The document is written whole at the end (whole_file.h).
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "files/whole_file.h"
#include "ports/port_list.h"
#include "records/run_record.h"

struct junit_record {
  whole_file_place place;
  open_file* cases = nullptr;  // the runs' test cases so far, a file without a name
  std::size_t tests = 0;
  std::size_t failures = 0;
  std::string lost;  // why a case could not be kept; empty while every one was
  // Cases so far of each port: as many ports as the station has seen, not
  // one a run.
  std::map<std::string, std::size_t> cases_of_port;
};

// Decides where the file goes and makes the file that keeps the cases.
// False, and why, when the path cannot take the file (a folder, a link to
// nothing) or no file can be made in its folder.
bool junit_open(const std::string& path, junit_record& record, std::string& why);

// One test case, named after the run's port; the port's second case and
// later ones (--watch flashes a port again when it comes back) as "NAME #2",
// so that each case has a name of its own. `record_waits`: why the run's
// record is not in its database yet (it waits in the spool), which fails
// the case whatever the run's outcome; empty when it is.
void junit_add(junit_record& record, const run_record& run, const std::string& record_waits = {});

// Writes the whole document and lets go of the cases. `not_run`: boards whose
// run a stop request kept from beginning; each is a failed testcase whose
// message begins with "stopped".
bool junit_finish(junit_record& record, const std::vector<station_port>& not_run,
                  std::chrono::system_clock::time_point start, double seconds,
                  const std::string& host, std::string& why);

// Lets go of the cases without writing the document.
void junit_close(junit_record& record);

// Text for an XML attribute or element: markup characters as references,
// bytes that are not UTF-8 and characters XML does not allow as U+FFFD.
std::string xml_escaped(const std::string& text);
