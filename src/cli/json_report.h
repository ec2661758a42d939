// The run's events as JSON Lines (--json), for scripts and the production
// station: one object per line, each flushed as written, the end object
// last. The lines themselves are the contract's (contract/run_contract.h).
#pragma once

#include <optional>

#include "cli/run_events.h"

// Progress is said at most once per percent.
struct json_state {
  int last_percent = -1;
};

// The contract's line for one event; nullopt when the event has none in
// JSON.
std::optional<run_line> json_line(const run_event& event, json_state& state);

// A sink that writes each event's JSON line.
run_sink json_sink();
