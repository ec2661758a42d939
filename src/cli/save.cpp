#include "cli/save.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/phases.h"
#include "files/whole_file.h"
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
    if (fs::is_symlink(status) && !fs::exists(target, error)) {
      // No file exists there, yet the name is taken: neither "exists" nor
      // --force says what to do.
      return shown + ": a link that leads nowhere has that name: remove it, or save to another";
    }
    if (!settings.force) return shown + ": the file exists; --force replaces it";
    // What the save would find at the name, found out before the port opens.
    whole_file_place place;
    file_failure failure;
    if (!whole_file_place_of(*settings.save_path, place, failure)) {
      return shown + ": " + failure.words + " has that name";
    }
    return {};
  }
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!fs::is_directory(folder, error)) return shown + ": its folder does not exist";
  return {};
}

namespace {

// Why the file could not be saved, as the reason line tells it.
std::string save_failure_reason(const file_failure& failure) {
  switch (failure.step) {
    case file_step::place:
      return "it is " + failure.words;
    case file_step::make:
      return "cannot make a file in its folder: " + failure.words;
    case file_step::write:
      return "cannot write the file: " + failure.words;
    case file_step::rename:
      return "cannot give the file its name: " + failure.words;
    case file_step::exists:
      break;
  }
  return "a file of that name appeared meanwhile; it is left as it is";
}

}  // namespace

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
    file_failure failure;
    saved.ok = write_whole_file(*settings.save_path, flash, settings.force, failure);
    if (!saved.ok) saved.reason = save_failure_reason(failure);
  }
  report(saved);
  if (!saved.ok) error_flag = true;
  return saved.ok;
}
