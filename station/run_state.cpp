#include "run_state.h"

#include <algorithm>

namespace {

using json = nlohmann::json;

std::string text_of(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long number_of(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_number_integer() ? it->get<long>() : 0;
}

bool flag_of(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

// In floating point: the counts are the run's to say, and no count it says
// may overflow the sum.
std::string percent(long done, long total) {
  const double share = total > 0 ? std::clamp(static_cast<double>(done) / total, 0.0, 1.0) : 1.0;
  return std::to_string(static_cast<int>(share * 100)) + "%";
}

}  // namespace

void take_run_line(run_progress& progress, const std::string& line) {
  const json event = json::parse(line, nullptr, false);
  if (!event.is_object()) {
    // Enough of it to tell what it was, not a whole dump.
    if (!line.empty()) progress.last_words = line.substr(0, 200);
    return;
  }
  const std::string kind = text_of(event, "event");
  if (kind == "end") {
    progress.end = event;
  } else if (kind == "progress") {
    progress.phase = text_of(event, "phase");
    progress.detail = percent(number_of(event, "done"), number_of(event, "total"));
  } else if (kind == "phase") {
    progress.phase = text_of(event, "phase");
    if (!flag_of(event, "ok")) {
      progress.detail = "failed";
    } else if (progress.phase == "erase") {
      progress.detail = "sector " + std::to_string(number_of(event, "sector"));
    } else {
      progress.detail = progress.phase == "handshake" ? "ok" : "100%";
    }
  }
}

const char* outcome_name(run_outcome outcome) {
  switch (outcome) {
    case run_outcome::ok:
      return "ok";
    case run_outcome::unchanged:
      return "unchanged";
    case run_outcome::failed:
      return "failed";
    case run_outcome::stopped:
      return "stopped";
  }
  return "failed";
}

run_verdict judge_run(const run_progress& progress, int exit_status, bool stop_sent) {
  const json& end = progress.end;
  if (end.is_object()) {
    if (exit_status == 0 && flag_of(end, "ok")) return {run_outcome::ok, {}, {}};
    run_verdict verdict{run_outcome::failed, text_of(end, "phase"), text_of(end, "reason")};
    if (verdict.phase == "signal") verdict.outcome = run_outcome::stopped;
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

bool read_back_differs(const run_progress& progress) {
  return progress.end.is_object() && text_of(progress.end, "phase") == "verify";
}
