#include "cli/run_events.h"
#include "contract/visit.h"

namespace {

std::optional<failure_note> failed(bool ok, run_phase phase, const std::string& reason) {
  if (ok) return std::nullopt;
  return failure_note{phase, reason};
}

}  // namespace

std::optional<failure_note> failure_of(const run_event& event) {
  return std::visit(
      overloaded{
          [](const protocol_event& e) {
            return std::visit(
                overloaded{
                    [&](const handshake_ended& h) { return failed(h.ok, e.phase, h.reason); },
                    [&](const sector_erased& s) { return failed(s.ok, e.phase, s.reason); },
                    [&](const transfer_ended& t) { return failed(t.ok, e.phase, t.reason); },
                    [](const auto&) { return std::optional<failure_note>(); }},
                e.event);
          },
          [](const compared& c) { return failed(c.ok, run_phase::verify, c.reason); },
          [](const port_failed& p) { return failed(false, run_phase::port, p.reason); },
          [](const file_failed& f) { return failed(false, run_phase::file, f.reason); },
          [](const memory_failed& m) { return failed(false, m.phase, m.reason); },
          [](const save_ended& s) { return failed(s.ok, run_phase::save, s.reason); },
          [](const board_forgotten& f) { return failed(f.ok, run_phase::forget, f.reason); },
          [](const boot_checked& b) { return failed(b.ok, run_phase::boot_check, b.reason); },
          [](const auto&) { return std::optional<failure_note>(); }},
      event);
}
