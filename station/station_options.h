// vexlor-flash-all's command line: the station's options first, then
// vexlor-prog's own words, which every run gets after its --port.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"

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
  run_settings run;                // the words as vexlor-prog reads them
};

// What the environment may set, when set and not empty.
struct station_environment {
  std::string ports_folder;  // VEXLOR_PORTS_DIR
  std::string log_folder;    // VEXLOR_LOG_DIR
};

// Reads the arguments (without the program's name). The station's options
// come first; "--" or the first word that is not one of them ends them. A
// valued option takes the next word or its "=value". False, and why, for a
// usage error.
bool parse_station_options(const std::vector<std::string>& args, const station_environment& env,
                           station_settings& settings, std::string& why);

// The synopsis and one line per option, for --help and after a usage error.
std::string station_usage();

// vexlor-prog's words for one run of a board: its port, --json (the station
// reads the events, never the console text), and the station's words. The
// read-back that --skip-same makes first is the same run with a verify alone,
// one that ends at the first block that differs.
std::vector<std::string> run_arguments(const station_settings& settings, const std::string& port,
                                       bool read_back_only);
