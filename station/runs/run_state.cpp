#include "runs/run_state.h"

#include <algorithm>

#include "contract/visit.h"

namespace {

// The share of a run's transfers done before its time left is guessed.
constexpr double least_share_for_a_guess = 0.05;

}  // namespace

void take_run_line(run_progress& progress, const std::string& line) {
  const std::optional<run_line> event = parse_run_line(line);
  if (!event) {
    // Enough of it to tell what it was, not a whole dump.
    if (!line.empty()) progress.last_words = line.substr(0, 200);
    return;
  }
  std::visit(overloaded{[&](const end_line& end) { progress.end = end; },
                        [&](const board_id_line& b) { progress.board_id = b.id; },
                        [&](const warning_line& w) { progress.warnings.push_back(w.reason); },
                        [&](const progress_line& p) {
                          if (p.phase == run_phase::write) progress.write_begun = true;
                          progress.phase = phase_name(p.phase);
                          progress.detail = std::to_string(percent_done(p.done, p.total)) + "%";
                          progress.transfer_done = percent_done(p.done, p.total) / 100.0;
                        },
                        [&](const phase_line& p) {
                          if (p.phase == run_phase::write) progress.write_begun = true;
                          progress.phase = phase_name(p.phase);
                          if (!p.ok) {
                            progress.detail = "failed";
                          } else if (p.sector) {
                            progress.detail = "sector " + std::to_string(*p.sector);
                          } else {
                            progress.detail = p.phase == run_phase::handshake ? "ok" : "100%";
                          }
                        },
                        [&](const begun_line& b) {
                          progress.phase = phase_name(b.phase);
                          progress.detail.clear();
                        },
                        [&](const boot_check_line& b) {
                          progress.phase = phase_name(run_phase::boot_check);
                          progress.detail = b.ok ? "ok" : "failed";
                          if (b.ok) progress.boot_line = b.line;
                          progress.board_lines = b.lines;
                        },
                        [](const auto&) {}},
             *event);
  // The end object says it again, for a run read from its end alone.
  if (progress.end && progress.end->board_id) progress.board_id = progress.end->board_id;
  if (progress.end && progress.end->boot_line) progress.boot_line = progress.end->boot_line;
}

std::optional<double> run_seconds_left(const run_progress& progress, bool writes, bool verifies,
                                       double seconds) {
  const int transfers = (writes ? 1 : 0) + (verifies ? 1 : 0);
  double done = 0;  // transfers, the one under way in part
  if (progress.phase == phase_name(run_phase::write)) {
    done = progress.transfer_done;
  } else if (progress.phase == phase_name(run_phase::verify)) {
    done = (writes ? 1 : 0) + progress.transfer_done;
  }
  const double share = transfers > 0 ? std::min(done / transfers, 1.0) : 0;
  if (share < least_share_for_a_guess) return std::nullopt;
  return seconds * (1 - share) / share;
}

const char* outcome_name(run_outcome outcome) {
  // In run_outcome's order.
  constexpr const char* names[] = {"ok", "unchanged", "failed", "stopped"};
  return names[static_cast<std::size_t>(outcome)];
}

run_verdict judge_run(const run_progress& progress, int exit_status, bool stop_sent) {
  if (const std::optional<end_line>& end = progress.end) {
    if (end->schema != run_schema) {
      return {run_outcome::failed, "usage",
              "this vexlor-prog speaks --json schema " + std::to_string(end->schema) +
                  ", the station reads schema " + std::to_string(run_schema) +
                  ": install the two from one release"};
    }
    if (exit_status == 0 && end->ok) return {run_outcome::ok, {}, {}};
    run_verdict verdict{run_outcome::failed, end->phase ? phase_name(*end->phase) : "",
                        end->reason.value_or("")};
    if (end->phase == run_phase::signal) verdict.outcome = run_outcome::stopped;
    if (verdict.reason.empty()) verdict.reason = "exit status " + std::to_string(exit_status);
    return verdict;
  }
  // No end object: the run did not get to say how it ended.
  run_verdict verdict{run_outcome::failed, progress.phase, {}};
  if (exit_status > 128 && stop_sent) {
    verdict.outcome = run_outcome::stopped;
    verdict.reason = "stopped by signal " + std::to_string(exit_status - 128) +
                     " before it could say where it was";
  } else if (exit_status > 128) {
    verdict.reason = "vexlor-prog was ended by signal " + std::to_string(exit_status - 128) +
                     " during the " + progress.phase;
  } else {
    verdict.reason =
        "vexlor-prog ended with exit status " + std::to_string(exit_status) + " and no end line";
  }
  if (!progress.last_words.empty()) verdict.reason += ": " + progress.last_words;
  return verdict;
}

bool nothing_written(const run_progress& progress, std::optional<int> exit_status) {
  return !exit_status || (progress.end && !progress.write_begun);
}

bool read_back_differs(const run_progress& progress) {
  return progress.end && progress.end->phase == run_phase::verify;
}
