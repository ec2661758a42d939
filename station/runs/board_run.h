// The record of one board run, as --report keeps it: one JSON object a
// line, appended as each run ends, for a factory's traceability.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_list.h"
#include "records/run_record.h"
#include "runs/run_state.h"

struct board_run {
  std::string run_id;  // new_run_id
  station_port port;
  std::optional<end_line> end;  // the run's end object; none when it printed none
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end_time;
  double seconds = 0;
  std::optional<int> exit_status;  // none when it could not be started
  run_verdict verdict;
  std::string log_path;                 // empty: no log kept
  std::optional<std::string> board_id;  // the board's own, when a run read it
  std::optional<serial_use> serial;     // its serial number, and what became of it
  bool record_spooled = false;          // its record waits in the spool, not in the database
  std::string station_image;            // the station's image, and its digest
  std::string station_sha256;
  std::vector<std::string> warnings;     // what the run warned of, in order
  std::optional<std::string> boot_line;  // --expect: the board's line that held the text
  std::vector<std::string> board_lines;  // --expect: the board's last lines as the check ended
};

// What the record keeps of the run. `station` names the machine.
run_record record_of_run(const board_run& run, const std::string& station);

// The run's line of the report, with its line break.
std::string report_line(const board_run& run, const std::string& station);
