#include "cli/save.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/phases.h"
#include "cli/save_file.h"
#include "stop/stop_requests.h"
#include "text/visible_text.h"

std::string save_target_refusal(const run_settings& settings) {
  namespace fs = std::filesystem;
  const fs::path target(*settings.save_path);
  const std::string shown = "--save " + visible_text(*settings.save_path);
  std::error_code error;
  // The name itself, not what a link there leads to: a link that leads
  // nowhere is a file that exists too.
  const fs::file_status status = fs::symlink_status(target, error);
  if (status.type() == fs::file_type::none) {
    return shown + ": cannot tell whether it exists: " + error.message();
  }
  if (status.type() != fs::file_type::not_found) {
    if (fs::is_directory(target, error)) return shown + ": a folder has that name";
    if (!settings.force) return shown + ": the file exists; --force replaces it";
    return {};
  }
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!fs::is_directory(folder, error)) return shown + ": its folder does not exist";
  return {};
}

bool save_phase(port_handle port, const run_settings& settings, bool& error_flag,
                const run_sink& report) {
  if (error_flag) return false;
  const uint32_t size = *settings.save_size;
  std::vector<uint8_t> flash;
  if (!read_target(port, run_phase::save, settings.address, size, flash, report)) {
    error_flag = true;
    return false;
  }
  save_ended saved{.path = *settings.save_path, .address = settings.address, .size = size};
  if (stop_requested()) {
    // Whoever stopped the run is told it failed, so nothing of it is left.
    saved.ok = false;
    saved.reason = stop_reason() + ": nothing was saved";
  } else {
    saved.ok = save_file_whole(*settings.save_path, flash, settings.force, saved.reason);
  }
  report(saved);
  if (!saved.ok) error_flag = true;
  return saved.ok;
}
