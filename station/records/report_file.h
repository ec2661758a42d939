// --report: one JSON line per board run, appended to a file that other
// stations may append to at the same time. A record goes in whole, as one
// write, or not at all; and a last line left unfinished (a full disk, a
// crash, a tool that wrote it by hand) is mended before the next record, so
// that every line stays one whole record and none is glued onto another.
// Only a report is appended to: an empty file, or one whose last whole line
// is a record (a JSON object with "port" and "outcome"); anything else is
// refused, never cut.
#pragma once

#include <string>

#include "files/file_access.h"

struct report_file {
  std::string path;  // as given, for the messages
  open_file* file = nullptr;
};

// Opens `path` for appending, made if it is not there, and mends its end.
// False, and why, when it can be neither opened nor mended, or is no report. `mended` says
// what mending did, for a warning; empty when the end was whole.
bool report_open(const std::string& path, report_file& report, std::string& mended,
                 std::string& why);

// Appends `line`, one record with its line break, as one write, the end
// mended first. A record that went in only in part is cut off again.
bool report_append(report_file& report, const std::string& line, std::string& mended,
                   std::string& why);

void report_close(report_file& report);
