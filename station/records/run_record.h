// One board run as the station keeps it: every field of its --report line,
// with the board's own identity and its serial number. The report line and
// --history's line are written here, one after the other's fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_list.h"

// What became of a run's serial number as it ended.
enum class serial_settlement {
  spent,     // writing began: the number is the board's, even if the run failed
  returned,  // nothing was written: the number is handed out next
  kept,      // the board already held it from an earlier run
};

const char* settlement_name(serial_settlement settlement);

struct serial_use {
  std::string pool;
  uint64_t number = 0;
  serial_settlement settlement = serial_settlement::spent;
};

struct run_record {
  std::string port;
  std::optional<std::string> device;
  std::optional<usb_identity> identity;
  std::optional<std::string> image;
  std::optional<std::string> sha256;
  std::optional<int64_t> size;
  std::optional<int64_t> address;
  std::optional<int64_t> baud;
  std::string start;  // UTC, as utc_text writes it
  std::string end;
  double seconds = 0;
  std::optional<int64_t> exit_status;
  std::string outcome;
  std::optional<std::string> phase;
  std::optional<std::string> reason;
  std::optional<std::string> log;
  std::optional<std::string> station;
  std::optional<std::string> tool;
  std::optional<std::string> board_id;  // lower-case hex; none when not read
  std::optional<serial_use> serial;
  // --expect: the line the board printed that held the text; none when not
  // checked or when the check failed.
  std::optional<std::string> boot_line;
  // The board's last lines as its check ended, for JUnit's system-out;
  // the report and the database keep boot_line alone.
  std::vector<std::string> board_lines;
};

// 2026-12-07T10:31:02.123Z: UTC as the records keep every time, which sorts
// as time does.
std::string utc_text(std::chrono::system_clock::time_point time);

// The run's line of --report, with its line break: every field in the
// report's order ("boot_line" last), null where there is none.
std::string report_text(const run_record& record);

// The run as one line of --history, with its line break: the report line's
// fields, then "board_id", "serial_number", "serial_pool" and
// "serial_state" (spent, returned, kept), each null where there is none.
std::string history_line(const run_record& record);
