// One run as the station follows it: vexlor-prog's --json events, line by
// line, and what the run came to once it has exited.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "contract/run_contract.h"

struct run_progress {
  std::string phase = "handshake";  // the phase under way or last ended, by the events' names
  std::string detail;               // "42%", "sector 3", "ok"
  double transfer_done = 0;         // of the write or the read under way, from 0 to 1
  std::optional<end_line> end;      // the end object, once it has come
  std::string last_words;  // the last line that was no event (a crash report, say); for the reason
  std::optional<std::string> board_id;  // the board's own, once the run has read it
  bool write_begun = false;             // a write event came: the board's flash may have changed
  std::vector<std::string> warnings;    // what its warning events said, in order
  // --expect: the line the board printed that held the text, once found,
  // and the board's last lines as the check ended.
  std::optional<std::string> boot_line;
  std::vector<std::string> board_lines;
};

// Takes one line of the run's output, without its line break.
void take_run_line(run_progress& progress, const std::string& line);

// What a run that has gone on for `seconds` still needs, from the share of
// its transfers that is done (`writes`, `verifies`: the transfers it was
// asked for, each weighing alike; the handshake and the erase count as time
// spent): none until a few percent are in, when the guess would say little.
std::optional<double> run_seconds_left(const run_progress& progress, bool writes, bool verifies,
                                       double seconds);

enum class run_outcome { ok, unchanged, failed, stopped };

const char* outcome_name(run_outcome outcome);

// A board that holds what it should: flashed, or found holding it already.
inline bool outcome_is_success(run_outcome outcome) {
  return outcome == run_outcome::ok || outcome == run_outcome::unchanged;
}

struct run_verdict {
  run_outcome outcome = run_outcome::failed;
  std::string phase;   // of the failure; empty when ok
  std::string reason;  // why it failed, in the run's own words where it said them
};

// What a run came to, from its exit status (128 + N when signal N ended it)
// and its events; `stop_sent` when the station passed a stop request on. A
// run that speaks a --json schema this station does not know has failed:
// nothing it said can be relied on.
run_verdict judge_run(const run_progress& progress, int exit_status, bool stop_sent);

// Whether the run certainly wrote nothing to the board: it never started,
// or it said how it ended without a write event before. A run that ended
// without its end object may have been writing.
bool nothing_written(const run_progress& progress, std::optional<int> exit_status);

// Whether --skip-same's read-back found the board holding something else
// (its verify failed), so that it is to be written; any other failure of the
// read-back is the board's result.
bool read_back_differs(const run_progress& progress);
