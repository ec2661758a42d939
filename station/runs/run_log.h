// --log-dir: each run's output kept as the run printed it, one file per
// port, appended to when its board is flashed again.
#pragma once

#include <string>

#include "files/file_access.h"

// A port's name as a file name inside the log folder: the name itself where
// it is plain (letters, digits, ".", "-", "_", not leading with "." or "_");
// any other gets its odd characters as "_" and a hash of the whole name
// ("dev_ttyUSB0+37800d82f33ecf63.log"), so that no two ports ever share a log.
std::string log_file_name(const std::string& port_name);

// Makes the folder if it is not there, and finds out whether a file can be
// made in it; false, and why, when not.
bool log_folder_usable(const std::string& folder, std::string& why);

struct run_log {
  std::string path;  // empty: no log kept
  open_file* file = nullptr;
  std::string lost;  // why a line could not be written; empty while every one was
};

// Opens the log of `port_name` in `folder`. A link at its name is refused,
// never followed: the station makes these names, nobody else.
bool run_log_open(const std::string& folder, const std::string& port_name, run_log& log,
                  std::string& why);

// Appends one line of the run's output, with its line break, as one write.
void run_log_line(run_log& log, const std::string& line);

void run_log_close(run_log& log);
