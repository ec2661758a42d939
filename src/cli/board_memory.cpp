#include "cli/board_memory.h"

#include <optional>

#include "stop/stop_requests.h"

namespace {

// The folder the records are kept in; empty when --cache names none and the
// environment names no place for caches.
std::string cache_folder(const run_settings& settings) {
  return settings.cache_folder.empty() ? default_cache_folder("vexlor-prog")
                                       : settings.cache_folder;
}

const char* const no_cache_folder = "no cache folder: the environment names none; give --cache";
const char* const whole_flash = ": flashing every sector";

// Removes the record; a record that stays is told, as a later run could
// take it for what the board holds.
bool remove_record(board_memory& memory, const std::string& consequence, const run_sink& report) {
  bool had = false;
  std::string why;
  memory.removed = forget_board_record(memory.folder, memory.board_id, had, why);
  if (!memory.removed) {
    report(run_warning{"the record of board " + memory.board_id + " cannot be removed (" + why +
                       ")" + consequence});
  }
  return memory.removed;
}

}  // namespace

board_memory recall_board(const run_settings& settings, const std::optional<std::string>& board_id,
                          const run_sink& report) {
  board_memory memory;
  if (!settings.write || !board_id) return memory;
  const auto warn = [&](const std::string& why) {
    if (settings.changed_only) report(run_warning{why + whole_flash});
  };
  if (!unique_board_id(*board_id)) {
    // Every board of the kind would share its record.
    warn("board id " + *board_id + " is the same byte throughout, no id of one board");
    return memory;
  }
  memory.folder = cache_folder(settings);
  if (memory.folder.empty()) {
    warn(no_cache_folder);
    return memory;
  }
  memory.board_id = *board_id;
  if (!settings.changed_only) return memory;
  board_record record;
  std::string why;
  switch (read_board_record(memory.folder, memory.board_id, record, why)) {
    case record_found::yes:
      memory.before = std::move(record);
      break;
    case record_found::none:
      warn("no record of what board " + memory.board_id + " holds");
      break;
    case record_found::damaged:
      warn("the record of board " + memory.board_id + " " + why);
      break;
  }
  return memory;
}

void plan_board_write(board_memory& memory, write_plan& plan, const run_settings& settings,
                      const run_sink& report) {
  // Shaped on a copy: the image's own plan is carried out when the board's
  // record cannot be removed.
  std::optional<write_plan> shaped;
  if (settings.changed_only && !memory.board_id.empty()) {
    shaped = plan;
    leave_unchanged_sectors(*shaped, memory.before.value_or(board_record{memory.board_id, {}}),
                            settings.verify_all);
  }
  const write_plan& next = shaped ? *shaped : plan;
  const bool changes = !next.sectors.empty() || !next.outside.empty();
  if (!memory.board_id.empty() && changes &&
      !remove_record(memory, next.unchanged.empty() ? "" : whole_flash, report)) {
    // Nor is a new one kept: the record that stays says what it says.
    memory.board_id.clear();
    return;
  }
  if (shaped) plan = std::move(*shaped);
  if (!plan.unchanged.empty()) report(sectors_unchanged{plan.unchanged});
}

void remember_board(board_memory& memory, const write_plan& plan, const run_settings& settings,
                    bool error_flag, const run_sink& report) {
  if (memory.board_id.empty() || !settings.changed_only) return;
  if (error_flag || stop_exit_status() != 0) {
    // A verify of sectors left as they were that failed: the record was wrong.
    if (!memory.removed) remove_record(memory, "", report);
    return;
  }
  // Without a verify nothing is known of what the write put there; with
  // nothing written the record stands as it was.
  if (!settings.verify || !memory.removed) return;
  std::string why;
  if (!keep_board_record(memory.folder, record_after(memory.before, memory.board_id, plan.holds),
                         why)) {
    report(run_warning{"what board " + memory.board_id + " now holds cannot be kept (" + why +
                       "): its next flash writes every sector"});
  }
}

bool forget_board(const run_settings& settings, const run_sink& report) {
  const std::string& id = *settings.forget_board;
  const std::string folder = cache_folder(settings);
  if (folder.empty()) {
    report(board_forgotten{.id = id, .ok = false, .reason = no_cache_folder});
    return false;
  }
  bool had = false;
  std::string why;
  if (!forget_board_record(folder, id, had, why)) {
    report(board_forgotten{.id = id, .ok = false, .reason = why});
    return false;
  }
  if (!had) report(run_warning{"no record of board " + id + " was kept in " + folder});
  report(board_forgotten{.id = id});
  return true;
}
