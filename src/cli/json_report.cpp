#include "cli/json_report.h"

#include <memory>

#include "cli/console_report.h"
#include "contract/visit.h"

namespace {

using maybe_line = std::optional<run_line>;

maybe_line protocol_line(run_phase phase, const bootloader_event& event, json_state& state) {
  return std::visit(
      overloaded{[&](const handshake_ended& h) -> maybe_line {
                   return phase_line{.phase = phase, .ok = h.ok, .reason = h.reason};
                 },
                 [&](const sector_erased& s) -> maybe_line {
                   return phase_line{
                       .phase = phase, .ok = s.ok, .reason = s.reason, .sector = s.sector};
                 },
                 [&](const transfer_begun&) -> maybe_line {
                   state.last_percent = -1;
                   return std::nullopt;
                 },
                 [&](const transfer_progress& t) -> maybe_line {
                   const int percent = static_cast<int>(percent_done(t.done, t.size));
                   if (percent == state.last_percent) return std::nullopt;
                   state.last_percent = percent;
                   return progress_line{.phase = phase, .done = t.done, .total = t.size};
                 },
                 [&](const transfer_ended& t) -> maybe_line {
                   // A read that went through is told by what follows it: the
                   // comparison, or the file it was saved to.
                   if ((phase == run_phase::verify || phase == run_phase::save) && t.ok) {
                     return std::nullopt;
                   }
                   return phase_line{.phase = phase,
                                     .ok = t.ok,
                                     .reason = t.reason,
                                     .address = t.address,
                                     .size = t.size};
                 },
                 [](const handshake_begun&) -> maybe_line { return std::nullopt; },
                 [&](const handshake_attempt_failed& a) -> maybe_line {
                   return attempt_line{
                       .phase = phase, .attempt = a.attempt, .of = a.attempts, .reason = a.reason};
                 }},
      event);
}

}  // namespace

// A phase that ended over a range of the target's memory.
phase_line range_line(run_phase phase, bool ok, const std::string& reason, uint32_t address,
                      uint32_t size) {
  return {.phase = phase, .ok = ok, .reason = reason, .address = address, .size = size};
}

maybe_line json_line(const run_event& event, json_state& state) {
  return std::visit(
      overloaded{
          [&](const protocol_event& e) { return protocol_line(e.phase, e.event, state); },
          [](const compared& c) -> maybe_line {
            return range_line(run_phase::verify, c.ok, c.reason, c.address, c.size);
          },
          [](const run_warning& w) -> maybe_line { return warning_line{w.reason}; },
          [](const save_ended& s) -> maybe_line {
            return range_line(run_phase::save, s.ok, s.reason, s.address, s.size);
          },
          [](const run_ended& e) -> maybe_line { return e.outcome; },
          [](const board_identified& b) -> maybe_line { return board_id_line{b.id}; },
          [](const sectors_unchanged& u) -> maybe_line { return skipped_line{u.sectors}; },
          [](const board_forgotten& f) -> maybe_line {
            return phase_line{.phase = run_phase::forget, .ok = f.ok, .reason = f.reason};
          },
          [](const boot_check_begun&) -> maybe_line { return begun_line{run_phase::boot_check}; },
          [](const boot_checked& b) -> maybe_line {
            return boot_check_line{.ok = b.ok,
                                   .line = b.line,
                                   .reason = b.reason,
                                   .seconds = b.seconds,
                                   .lines = b.lines};
          },
          // The line feed that ends a piece already sent adds nothing.
          [](const board_output& o) -> maybe_line {
            if (o.goes_on && o.text.empty()) return std::nullopt;
            return output_line{o.text};
          },
          // The front end's failures are told by the end object.
          [](const auto&) -> maybe_line { return std::nullopt; }},
      event);
}

run_sink json_sink() {
  auto state = std::make_shared<json_state>();
  return [state](const run_event& event) {
    if (const maybe_line line = json_line(event, *state)) console_write(run_line_text(*line));
  };
}
