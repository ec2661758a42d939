// One board run as the station keeps it: every field of its --report line,
// with the board's own identity, its serial number, the run's own id and the
// image its station was started with. The report line and --history's line
// are written here, one after the other's fields.
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
  // The number was no longer the run's to settle when its record was
  // written (given back meanwhile, maybe taken by another board): the
  // board may hold it too. Written by the record store, never asked for.
  conflict,
};

const char* settlement_name(serial_settlement settlement);
// The settlement of that name; none for a name that is no settlement.
std::optional<serial_settlement> settlement_named(std::string_view name);

struct serial_use {
  std::string pool;
  uint64_t number = 0;
  serial_settlement settlement = serial_settlement::spent;
};

struct run_record {
  // The run's own id (new_run_id): a record replayed from the spool is kept
  // once, and a serial number knows the run that holds it.
  std::string run_id;
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
  // The image the station was started with, and its digest: what a run that
  // failed before reading its image was to write.
  std::optional<std::string> station_image;
  std::optional<std::string> station_sha256;
  // What the run warned of (a word that looks like a slip, bytes outside
  // the flash map, a neighbour's bytes an erase clears), in order.
  std::vector<std::string> warnings;
  // --changed-only among the words: the sectors the run erased and wrote,
  // the rest being unchanged; none when it did not say.
  std::optional<int64_t> sectors_written;
  // --expect: the line the board printed that held the text; none when not
  // checked or when the check failed.
  std::optional<std::string> boot_line;
  // The board's last lines as its check ended, for JUnit's system-out;
  // the report and the database keep boot_line alone.
  std::vector<std::string> board_lines;
};

// 32 lower-case hex digits from the system's random source: an id no other
// run of any station has.
std::string new_run_id();

// 2026-12-07T10:31:02.123Z: UTC as the records keep every time, which sorts
// as time does.
std::string utc_text(std::chrono::system_clock::time_point time);

// The run's line of --report, with its line break: every field in the
// report's order ("boot_line" last), null where there is none.
std::string report_text(const run_record& record);

// The run as one line of --history, with its line break: the report line's
// fields, then "board_id", "serial_number", "serial_pool", "serial_state"
// (spent, returned, kept, conflict), "run_id", "station_image" and
// "station_sha256", each null where there is none.
std::string history_line(const run_record& record);

// The spool's record (spool.h): one JSON line with its line break, the
// history line's fields after "spool", the format's version. Read back
// whole by record_of_spool_line, which refuses a version it does not know
// and a line that lacks what a record must have (its run id, port, times
// and outcome): a record is replayed as it was written, or not at all.
inline constexpr int spool_format_version = 1;
std::string spool_line(const run_record& record);
bool record_of_spool_line(const std::string& line, run_record& record, std::string& why);

// The same fields as comma-separated values: the header line (the identity's
// fields as "identity.vendor_id" and so on), and a run's line, each with its
// line break. A cell with a comma, a quote or a line break is quoted; null
// is an empty cell; control characters are shown as \xNN, so that no cell
// reaches a terminal raw.
std::string history_csv_header();
std::string history_csv_line(const run_record& record);

// An ISO 8601 date or time as the records write times (UTC,
// "2026-12-07T10:31:02.123Z"): "2026-12-07", "2026-12-07T10:31",
// "2026-12-07 10:31:02.5", each UTC unless it ends in an offset
// ("+02:00", "-0530") or "Z". A date alone is that day's start, or with
// `end_of_day` the next day's. False for anything else (a month 13, a
// 9 for 09): a filter that matches nothing would say nothing was there.
bool parse_record_time(const std::string& text, bool end_of_day, std::string& utc,
                       std::string& why);
