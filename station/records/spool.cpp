#include "records/spool.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/whole_file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view name_start = "vexlor-record-";
constexpr std::string_view name_end = ".json";

// "vexlor-record-20261207103102123-RUNID.json": the run's end as digits,
// so that names sort as the records' ends do, then the run's own id.
std::string spool_file_name(const run_record& record) {
  std::string digits;
  for (const char c : record.end) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return std::string(name_start) + digits + "-" + record.run_id + std::string(name_end);
}

}  // namespace

std::string spool_folder_of(const std::string& spool, const std::string& log_folder,
                            const std::string& database) {
  if (!spool.empty()) return spool;
  if (!log_folder.empty()) return log_folder;
  if (!database.empty() && !store_is_postgres(database)) {
    return (fs::path(folder_of(database)) / "vexlor-spool").string();
  }
  return ".";
}

bool spool_keep(const std::string& folder, const run_record& record, std::string& why) {
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string line = spool_line(record);
  file_failure failure;
  const std::string path = (fs::path(folder) / spool_file_name(record)).string();
  if (write_whole_file(path, {reinterpret_cast<const uint8_t*>(line.data()), line.size()}, false,
                       failure)) {
    return true;
  }
  why = "cannot spool to " + folder + ": " + failure.words;
  return false;
}

std::vector<std::string> spooled_files(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(name_start) && name.ends_with(name_end)) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return fs::path(a).filename() < fs::path(b).filename();
  });
  return files;
}

bool spool_replay(record_store& store, const std::string& folder, replay_result& result,
                  std::string& why) {
  const std::vector<std::string> files = spooled_files(folder);
  result.waiting = files.size();
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run_record record;
    std::string unread;
    if (!in || !record_of_spool_line(text.str(), record, unread)) {
      result.notes.push_back(file + " is left in the spool: " + unread);
      continue;
    }
    const std::string outcome = record.outcome;
    if (!store_add_run(store, record, why)) return false;
    if (record.outcome != outcome) {
      result.notes.push_back("the spooled record of " + record.port + " (run " + record.run_id +
                             ") is kept failed: " + record.reason.value_or(""));
    }
    std::error_code unremoved;  // a record kept twice is kept once: its run id says so
    fs::remove(file, unremoved);
    ++result.written;
    --result.waiting;
  }
  return true;
}
