// The run's events as JSON Lines (--json), for scripts and the production
// station: one object per line, each flushed as written, the end object last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bootloader/report.h"

// What the end object says about the whole run.
struct run_summary {
  bool ok = false;
  int exit_status = 1;
  std::optional<run_phase> failed_phase;  // the first failure's
  std::string reason;                     // the first failure's
  std::string port;
  std::string image;
  std::optional<uint32_t> size;       // when the image was loaded
  std::optional<std::string> sha256;  // of the image bytes, when loaded
  uint32_t address = 0;
  int32_t baud = 0;
  double seconds = 0;
};

const char* phase_name(run_phase phase);

// Progress is said at most once per percent.
struct json_state {
  int last_percent = -1;
};

// The line for one event ("" when the event has none in JSON), with its
// line break.
std::string json_line(const run_event& event, json_state& state);

std::string json_end_line(const run_summary& summary);

// A sink that writes each event's JSON line.
event_sink json_sink();
