// vexlor-flash-all: flashes every board of a production line at once, one
// vexlor-prog per port, and keeps a record of each board run.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board_cache/board_cache.h"
#include "board_records.h"
#include "runs/children.h"
#include "contract/run_contract.h"
#include "console_view.h"
#include "file_roles.h"
#include "image_check.h"
#include "records/junit_report.h"
#include "files/whole_file.h"
#include "records/report_file.h"
#include "runs/run_log.h"
#include "ports/port_list.h"
#include "ports/ports_watch.h"
#include "runs/programmer_path.h"
#include "records/record_queries.h"
#include "stop/stop_requests.h"
#include "records/spool.h"
#include "station_options.h"
#include "supervisor.h"

namespace {

constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

int complain(int status, const std::string& why) {
  say_on_stderr(why);
  if (status == exit_usage) std::fputs("See vexlor-flash-all --help.\n", stderr);
  return status;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::vector<station_port> named_ports(const station_settings& settings) {
  std::vector<station_port> ports;
  for (const std::string& name : settings.ports) ports.push_back(named_port(name));
  return ports;
}

int list_ports(const station_settings& settings) {
  std::vector<station_port> ports = named_ports(settings);
  std::string why;
  if (settings.ports.empty() && !find_ports(settings.ports_folder, ports, why)) {
    complain(0, why);
  }
  for (const station_port& port : ports) std::printf("%s\n", port_list_line(port).c_str());
  return 0;
}

// What must be in place before any board is touched: a record that cannot
// be kept is found out now, not after a line of boards has been flashed.
bool prepare_records(const station_settings& settings, const std::vector<file_role>& roles,
                     report_file& report, junit_record& junit, std::string& why) {
  if (!roles_apart(roles, why)) return false;
  if (!settings.log_folder.empty() && !log_folder_usable(settings.log_folder, why)) return false;
  if (!settings.junit_path.empty() && !junit_open(settings.junit_path, junit, why)) {
    why = "--junit " + why;
    return false;
  }
  if (!settings.report_path.empty()) {
    // Appended to, never truncated: the record of earlier runs stays.
    std::string mended;
    const bool opened = report_open(settings.report_path, report, mended, why);
    if (!mended.empty()) say_on_stderr(mended);
    if (!opened) {
      why = "cannot open the report " + settings.report_path + ": " + why;
      return false;
    }
  }
  return true;
}

// --replay DIR: what waits in DIR, written to the database by hand.
int replay(const station_settings& settings) {
  store_handle store;
  std::string why;
  std::size_t waiting = 0;
  if (!open_board_records(settings, {}, store, why)) return complain(exit_usage, why);
  if (!write_spooled(*store, settings.replay_folder, waiting, why)) complain(0, why);
  if (waiting == 0) return 0;
  std::fputs(records_wait_line(waiting, settings.replay_folder).c_str(), stdout);
  return exit_failed;
}

int flash(const station_settings& settings) {
  std::string why;
  // Once, before any board is touched, rather than a failed run each (every
  // run writes or verifies: the options refuse words that do neither).
  std::string image_sha256;
  if (!image_usable(settings.run, image_sha256, why)) return complain(exit_usage, why);
  const std::string programmer = find_programmer(why);
  if (programmer.empty()) return complain(exit_usage, why);
  std::vector<station_port> boards = named_ports(settings);
  ports_watch* watch = nullptr;
  if (settings.watch) {
    watch = ports_watch_start(settings.ports_folder, why);
    if (watch == nullptr) return complain(exit_usage, why);
  } else if (boards.empty() && !found_ports_may_be_flashed) {
    return complain(exit_usage, "name each port to flash with --port (COM3, ...)");
  } else if (boards.empty()) {
    if (!find_ports(settings.ports_folder, boards, why)) return complain(exit_failed, why);
    if (boards.empty()) {
      return complain(exit_failed, "no serial adapter found in " + settings.ports_folder);
    }
  }
  report_file report;
  junit_record junit;
  store_handle store;
  const std::string spool =
      spool_folder_of(settings.spool_folder, settings.log_folder, settings.database);
  std::vector<std::string> names;
  for (const station_port& board : boards) names.push_back(board.name);
  const std::vector<file_role> roles = file_roles(settings, programmer, spool, names);
  // Before any number is handed out: the numbers of records that wait in
  // the spool are settled first. A stop request ends the database's waits.
  std::size_t unwritten = 0;
  if (!prepare_records(settings, roles, report, junit, why) ||
      !open_board_records(settings, stop_requested, store, why) ||
      (store && !write_spooled(*store, spool, unwritten, why))) {
    report_close(report);
    junit_close(junit);
    ports_watch_end(watch);
    if (stop_requested()) return complain(stop_exit_status(), stop_reason() + " before any board");
    return complain(exit_usage, why);
  }
  const int status = supervise({settings, programmer, report.file != nullptr ? &report : nullptr,
                                junit.cases != nullptr ? &junit : nullptr, watch, boards,
                                store.get(), spool, roles, image_sha256});
  report_close(report);
  ports_watch_end(watch);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: a Ctrl-C from here on reaches the runs once, through the
  // station, and every run ends cleanly.
  catch_station_stops();
  const std::vector<std::string> args(argv + 1, argv + argc);
  station_settings settings;
  std::string why;
  const station_environment env{environment("VEXLOR_PORTS_DIR"), environment("VEXLOR_LOG_DIR"),
                                default_cache_folder("vexlor-flash-all")};
  if (!parse_station_options(args, env, settings, why)) return complain(exit_usage, why);
  if (settings.help) {
    std::fputs(station_usage().c_str(), stdout);
    return 0;
  }
  if (settings.version) {
    std::printf("vexlor-flash-all %s\n", tool_version());
    return 0;
  }
  const std::string target_warning = store_target_warning(settings.database);
  if (!target_warning.empty()) say_on_stderr(target_warning);
  if (settings.history || settings.summary) {
    const record_query query{
        .database = settings.database,
        .summary = settings.summary,
        .csv = settings.csv,
        .by = settings.summary_grouping,
        .filter = {
            .board_id = settings.history_board_id,
            .serial_number = settings.history_serial,
            .port = settings.ports.empty() ? std::nullopt : std::optional(settings.ports.front()),
            .since = settings.since,
            .until = settings.until,
            .image_prefix = settings.image_prefix,
            .outcome = settings.outcome,
            .pool = settings.pool,
            .station = settings.station.empty() ? std::nullopt : std::optional(settings.station)}};
    return print_records(query, why) ? 0 : complain(exit_usage, why);
  }
  if (!settings.replay_folder.empty()) return replay(settings);
  if (settings.release_serial) {
    std::string done;
    if (!release_board_serial(settings, done, why)) return complain(exit_usage, why);
    say_on_stderr(done);
    return 0;
  }
  return settings.list ? list_ports(settings) : flash(settings);
}
