// One file, one role: the record database (an SQLite file), the report, the
// JUnit file, the spool, the image, each run's log and vexlor-prog itself
// are each a file of their own. Named twice (a slip, a link), the database
// would become XML or have JSON appended, the image a report, the
// programmer a log.
#pragma once

#include <string>
#include <vector>

#include "station_options.h"

struct file_role {
  std::string name;  // "--report", "the log of PORT"
  std::string path;
};

// The files the station's settings name, each with its role, the logs of
// `ports` among them.
std::vector<file_role> file_roles(const station_settings& settings, const std::string& programmer,
                                  const std::string& spool_folder,
                                  const std::vector<std::string>& ports);

// The log of the run on `port`, as a role (the folder given).
file_role log_role(const station_settings& settings, const std::string& port);

// Whether `path`, as `name`, is a file no other role names; false, and why
// (naming both), when one does: the same file (device and inode, links
// followed) or the same path for a file yet to be made.
bool role_apart(const file_role& role, const std::vector<file_role>& roles, std::string& why);

// The same, of every role against every other.
bool roles_apart(const std::vector<file_role>& roles, std::string& why);
