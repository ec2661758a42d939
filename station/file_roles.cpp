#include "file_roles.h"

#include "files/whole_file.h"
#include "records/record_store.h"
#include "runs/run_log.h"

std::vector<file_role> file_roles(const station_settings& settings, const std::string& programmer,
                                  const std::string& spool_folder,
                                  const std::vector<std::string>& ports) {
  std::vector<file_role> roles;
  const auto add = [&](std::string name, const std::string& path) {
    if (!path.empty()) roles.push_back({std::move(name), path});
  };
  if (!settings.database.empty() && !store_is_postgres(settings.database)) {
    add("--db", settings.database);
    add("--db's write-ahead log", settings.database + "-wal");
  }
  add("--report", settings.report_path);
  add("--junit", settings.junit_path);
  // A folder, which no file of another role may be.
  if (!settings.database.empty()) add("--spool", spool_folder);
  add("the image", settings.run.image_path);
  add("vexlor-prog", programmer);
  if (!settings.log_folder.empty()) {
    for (const std::string& port : ports) {
      const file_role log = log_role(settings, port);
      add(log.name, log.path);
    }
  }
  return roles;
}

file_role log_role(const station_settings& settings, const std::string& port) {
  return {"the log of " + port, settings.log_folder + "/" + log_file_name(port)};
}

bool role_apart(const file_role& role, const std::vector<file_role>& roles, std::string& why) {
  for (const file_role& other : roles) {
    if (other.name != role.name && same_file(role.path, other.path)) {
      why = other.name + " and " + role.name + " name the same file (" + role.path +
            "): each needs a file of its own";
      return false;
    }
  }
  return true;
}

bool roles_apart(const std::vector<file_role>& roles, std::string& why) {
  for (std::size_t i = 0; i < roles.size(); ++i) {
    const std::vector<file_role> earlier(roles.begin(), roles.begin() + static_cast<long>(i));
    if (!role_apart(roles[i], earlier, why)) return false;
  }
  return true;
}
