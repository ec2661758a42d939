#include "cli/json_report.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "cli/console_report.h"

#ifndef VEXLOR_VERSION
#error "the build names the tool's version"
#endif

namespace {

using json = nlohmann::ordered_json;

// Port names and paths are bytes as typed; any that are not UTF-8 are shown
// with replacement characters rather than making the line invalid JSON.
std::string line_of(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json phase_object(const run_event& event) {
  json object{{"event", "phase"}, {"phase", phase_name(event.phase)}, {"ok", event.ok}};
  if (!event.ok) object["reason"] = event.reason;
  if (event.phase == run_phase::erase) object["sector"] = event.sector;
  if (event.phase == run_phase::write || event.phase == run_phase::verify) {
    object["address"] = event.address;
    object["size"] = event.size;
  }
  return object;
}

}  // namespace

const char* phase_name(run_phase phase) {
  // In run_phase's order.
  constexpr const char* names[] = {"port",  "file",   "handshake", "erase",
                                   "write", "verify", "signal"};
  return names[static_cast<std::size_t>(phase)];
}

std::string json_line(const run_event& event, json_state& state) {
  switch (event.kind) {
    case event_kind::begun:
      state.last_percent = -1;
      return {};
    case event_kind::progress: {
      const int percent =
          event.size == 0 ? 100 : static_cast<int>(uint64_t{event.done} * 100 / event.size);
      if (percent == state.last_percent) return {};
      state.last_percent = percent;
      return line_of({{"event", "progress"},
                      {"phase", phase_name(event.phase)},
                      {"done", event.done},
                      {"total", event.size}});
    }
    case event_kind::ended:
      // The front end's failures are told by the end object; a read that went
      // through is told by the comparison that follows it.
      if (event.failure != front_end_failure::none) return {};
      if (event.phase == run_phase::verify && event.ok) return {};
      return line_of(phase_object(event));
    case event_kind::compared:
      return line_of(phase_object(event));
    case event_kind::warning:
      return line_of({{"event", "warning"}, {"reason", event.reason}});
  }
  return {};
}

std::string json_end_line(const run_summary& summary) {
  json end{{"event", "end"},
           {"ok", summary.ok},
           {"errors", summary.ok ? 0 : 1},
           {"exit", summary.exit_status},
           {"phase", nullptr},
           {"reason", nullptr},
           {"port", summary.port},
           {"image", summary.image},
           {"size", nullptr},
           {"sha256", nullptr},
           {"address", summary.address},
           {"baud", summary.baud},
           {"seconds", summary.seconds},
           {"version", VEXLOR_VERSION}};
  if (summary.failed_phase) {
    end["phase"] = phase_name(*summary.failed_phase);
    end["reason"] = summary.reason;
  }
  if (summary.size) end["size"] = *summary.size;
  if (summary.sha256) end["sha256"] = *summary.sha256;
  return line_of(end);
}

event_sink json_sink() {
  auto state = std::make_shared<json_state>();
  return [state](const run_event& event) {
    const std::string line = json_line(event, *state);
    if (!line.empty()) console_write(line);
  };
}
