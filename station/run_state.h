// One run as the station follows it: vexlor-prog's --json events, line by
// line, and what the run came to once it has exited.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct run_progress {
  std::string phase = "handshake";  // the phase under way or last ended, by the events' names
  std::string detail;               // "42%", "sector 3", "ok"
  nlohmann::json end;               // the end object; null until it has come
  std::string last_words;  // the last line that was no event (a crash report, say); for the reason
};

// Takes one line of the run's output, without its line break.
void take_run_line(run_progress& progress, const std::string& line);

enum class run_outcome { ok, unchanged, failed, stopped };

const char* outcome_name(run_outcome outcome);

struct run_verdict {
  run_outcome outcome = run_outcome::failed;
  std::string phase;   // of the failure; empty when ok
  std::string reason;  // why it failed, in the run's own words where it said them
};

// What a run came to, from its exit status (128 + N when signal N ended it)
// and its events; `stop_sent` when the station passed a stop request on.
run_verdict judge_run(const run_progress& progress, int exit_status, bool stop_sent);

// Whether --skip-same's read-back found the board holding something else
// (its verify failed), so that it is to be written; any other failure of the
// read-back is the board's result.
bool read_back_differs(const run_progress& progress);
