#include "runs/run_log.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "files/whole_file.h"

namespace {

// FNV-1a, 64 bits: plenty to tell a bench's port names apart.
constexpr uint64_t fnv_offset = 0xcbf29ce484222325;
constexpr uint64_t fnv_prime = 0x100000001b3;

std::string name_hash(const std::string& text) {
  uint64_t hash = fnv_offset;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * fnv_prime;
  char hex[24];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

}  // namespace

std::string log_file_name(const std::string& port_name) {
  std::string name;
  for (const char c : port_name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  name.erase(0, name.find_first_not_of("._"));
  if (name.empty()) name = "port";
  // "+" is no plain character: a name with a hash never equals a plain one.
  if (name != port_name) {
    name += '+';
    name += name_hash(port_name);
  }
  return name + ".log";
}

bool log_folder_usable(const std::string& folder, std::string& why) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) {
    why = "cannot make the log folder " + folder;
    return false;
  }
  std::string made;
  open_file* probe = create_fresh_file(folder, "vexlor-flash-all-probe", true, made, why);
  if (probe == nullptr) {
    why = "cannot write in the log folder " + folder + ": " + why;
    return false;
  }
  close_file(probe, why);
  return true;
}

bool run_log_open(const std::string& folder, const std::string& port_name, run_log& log,
                  std::string& why) {
  log = {(std::filesystem::path(folder) / log_file_name(port_name)).string(), nullptr, ""};
  log.file = open_appending(log.path, false, why);
  if (log.file != nullptr) return true;
  why = "cannot write the log " + log.path + ": " + why;
  log.path.clear();
  return false;
}

void run_log_line(run_log& log, const std::string& line) {
  if (log.file == nullptr || !log.lost.empty()) return;
  const std::string whole = line + "\n";
  std::string why;
  const long long written = write_once(*log.file, whole, why);
  if (written >= 0 && static_cast<std::size_t>(written) < whole.size()) why = "the disk is full";
  if (written < 0 || static_cast<std::size_t>(written) < whole.size()) log.lost = why;
}

void run_log_close(run_log& log) { let_go(log.file); }
