// vexlor-flash-all's command line: the station's options first, then
// vexlor-prog's own words, which every run gets after its --port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/record_store.h"
#include "records/serial_format.h"
#include "options/options.h"

struct station_settings {
  std::vector<std::string> ports;  // --port, in the order given; empty: the ports folder's
  std::string ports_folder;        // --ports-dir, else VEXLOR_PORTS_DIR, else /dev/serial/by-id
  bool list = false;
  int jobs = 0;             // at most this many runs at once; 0: every board at once
  std::string report_path;  // empty: none
  std::string junit_path;   // empty: none
  std::string log_folder;   // --log-dir, else VEXLOR_LOG_DIR; empty: none
  bool skip_same = false;
  bool allow_empty = false;  // an empty image is flashed, not refused as a truncated build
  bool watch = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> words;  // vexlor-prog's, without --port
  // The record database (--db): an SQLite file, or a PostgreSQL connection
  // URI or keyword string; empty: none. --history and --summary query it,
  // flashing nothing.
  std::string database;
  bool db_create = false;    // make the file and the tables where they are not there
  std::string spool_folder;  // --spool; empty: the default (spool_folder_of)
  std::string station;  // --station: the station's name (empty: the host's); --history's filter
  bool history = false;
  bool summary = false;
  std::optional<std::string> history_board_id;  // --history's --board-id
  std::optional<uint64_t> history_serial;       // --history's --serial
  std::optional<std::string> since;  // --history's and --summary's, UTC as the records write it
  std::optional<std::string> until;
  std::optional<std::string> image_prefix;  // --history's --image
  std::optional<std::string> outcome;       // --history's --outcome
  std::optional<std::string> pool;          // --history's --pool
  bool csv = false;
  std::string replay_folder;                        // --replay: a spool to write to the database
  std::optional<uint64_t> release_serial;           // --release-serial
  summary_by summary_grouping = summary_by::image;  // --summary's --by
  // Serial numbers: a pool's next number written into each board's image.
  std::string serial_pool;  // empty: none
  uint32_t serial_at = 0;
  serial_format number_format;           // --serial-format
  std::optional<uint64_t> serial_first;  // starts the pool where it is not there
  run_settings run;                      // the words as vexlor-prog reads them
  // The station's own cache folder, passed to each run that writes to a
  // board it knows by its id (--cache among the words comes after, and wins).
  std::string cache_folder;
};

// What the environment may set, when set and not empty.
struct station_environment {
  std::string ports_folder;  // VEXLOR_PORTS_DIR
  std::string log_folder;    // VEXLOR_LOG_DIR
  std::string cache_folder;  // default_cache_folder("vexlor-flash-all"); empty: none
};

// Reads the arguments (without the program's name). The station's options
// come first; "--" or the first word that is not one of them ends them. A
// valued option takes the next word or its "=value". False, and why, for a
// usage error.
bool parse_station_options(const std::vector<std::string>& args, const station_environment& env,
                           station_settings& settings, std::string& why);

// The synopsis and one line per option, for --help and after a usage error.
std::string station_usage();

// The runs a board may take, in their order: the first that asks only
// for the handshake and the board's id (so that its serial number is known
// before anything is written), --skip-same's read-back, the flash itself.
enum class run_stage { identify, read_back, flash };

// vexlor-prog's words for one run of a board: its port, --json (the station
// reads the events, never the console text), --allow-empty when the station
// was given it, `patch` (the board's serial number), then the user's words
// (last, since a "--" among them makes every word after it the image path).
// The identifying run has neither --write nor --verify; the read-back has a
// verify alone, one that ends at the first block that differs; neither
// keeps unwritten bytes or has --changed-only or --verify-all, since
// neither writes. A flash that knows its board by its id gets the
// station's cache folder.
std::vector<std::string> run_arguments(const station_settings& settings, const std::string& port,
                                       run_stage stage, const std::vector<std::string>& patch = {});

// The board's first run.
run_stage first_stage(const station_settings& settings);
