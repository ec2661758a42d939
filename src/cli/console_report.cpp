#include "cli/console_report.h"

#include <cstdio>

#include "text/visible_text.h"
#include "contract/visit.h"
#include "text/decimal_text.h"

namespace {

const char* const ok_tail = "\b\b - OK  \n";
const char* const error_tail = "\b\b - error\n";
const char* const percent_field_end = "\b\b\b\b";  // steps back over "100%"

std::string format(const char* format, unsigned long value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Reasons and names carry text from outside (a port name, a path, the name
// of the program that holds a port): shown with control characters made
// visible, so that none reaches the terminal raw.
std::string reason_line(const std::string& reason) {
  return reason.empty() ? std::string() : "  " + visible_text(reason) + "\n";
}

std::string tail(bool ok, const std::string& reason) {
  return (ok ? ok_tail : error_tail) + reason_line(reason);
}

// The board id's read shows no status line of its own: its id, or its
// failure (the only event of the read that reaches here), is its line.
std::string board_id_text(const protocol_event& e) {
  const auto* ended = std::get_if<transfer_ended>(&e.event);
  return ended == nullptr ? std::string() : "reading board id.." + tail(false, ended->reason);
}

// A board that answered only after it was entered again: the user learns
// what the next run needs.
std::string handshake_text(const handshake_ended& h) {
  if (!h.ok || h.attempt <= 1) return tail(h.ok, h.reason);
  return tail(true, "") + "  the board answered on attempt " + std::to_string(h.attempt) + " of " +
         std::to_string(h.attempts) + "\n";
}

std::string protocol_text(const protocol_event& e) {
  if (e.phase == run_phase::board_id) return board_id_text(e);
  return std::visit(
      overloaded{[](const handshake_begun&) -> std::string { return "initializing device.."; },
                 [](const handshake_ended& h) { return handshake_text(h); },
                 [](const sector_erased& s) { return tail(s.ok, s.reason); },
                 [](const transfer_begun& t) {
                   const char* message = t.direction == transfer_direction::write
                                             ? "writting %lu bytes.."
                                             : "reading %lu bytes..";
                   return format(message, t.size) + "  0%";
                 },
                 [](const transfer_progress& t) {
                   return format("\b\b\b\b%3lu%%", percent_done(t.done, t.size));
                 },
                 [](const transfer_ended& t) { return percent_field_end + tail(t.ok, t.reason); },
                 // The handshake keeps its one line; its tail tells the outcome.
                 [](const handshake_attempt_failed&) { return std::string(); }},
      e.event);
}

std::string line_naming(const char* format, const std::string& subject, const std::string& reason) {
  std::string text(format);
  text.replace(text.find("%s"), 2, visible_text(subject));
  return text + reason_line(reason);
}

std::string file_text(const file_failed& f) {
  switch (f.kind) {
    case file_failed::cannot_open:
      return line_naming("cannot open file %s..\n", f.path, f.reason);
    case file_failed::cannot_read:
      return line_naming("cannot read file %s..\n", f.path, f.reason);
    case file_failed::does_not_fit: {
      char text[96];
      std::snprintf(text, sizeof text, "image of %lu bytes does not fit at 0x%08lx..\n",
                    static_cast<unsigned long>(f.size), static_cast<unsigned long>(f.address));
      return text + reason_line(f.reason);
    }
  }
  return {};
}

std::string save_text(const save_ended& s) {
  if (!s.ok) return line_naming("cannot save file %s..\n", s.path, s.reason);
  return format("  saved %lu bytes to ", s.size) + visible_text(s.path) + "\n";
}

// "sectors 1-3, 5, 16-17": runs of numbers that follow each other.
std::string sector_list(const std::vector<uint32_t>& sectors) {
  std::string text = sectors.size() == 1 ? "sector " : "sectors ";
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t last = i;
    while (last + 1 < sectors.size() && sectors[last + 1] == sectors[last] + 1) ++last;
    if (i > 0) text += ", ";
    text += std::to_string(sectors[i]);
    if (last > i) text.append("-").append(std::to_string(sectors[last]));
    i = last + 1;
  }
  return text;
}

std::string boot_text(const boot_checked& b) {
  if (!b.ok) return tail(false, b.reason);
  return tail(true, "") + "  the board said: " + visible_text(b.line) + "\n";
}

std::string monitor_text(const monitor_begun& m) {
  if (!m.seconds) return "watching the board's output (Ctrl-C ends it)\n";
  return "watching the board's output for " + seconds_text(*m.seconds) + "\n";
}

std::string final_line(bool ok) {
  return ok ? "done without errors..\n\n" : format("done with %lu error(s)..\n\n", 1);
}

}  // namespace

std::string console_banner() {
  const std::string version = tool_version();
  // "1.0.0" shows as "v1.0".
  return "vexlor prog v" + version.substr(0, version.rfind('.')) + "\n\n";
}

std::string console_text(const run_event& event) {
  return std::visit(
      overloaded{
          [](const protocol_event& e) { return protocol_text(e); },
          [](const compared& c) { return reason_line(c.reason); },
          [](const run_warning& w) { return reason_line(w.reason); },
          [](const port_failed& p) {
            return line_naming("error: cannot open port %s\n", p.port, p.reason);
          },
          [](const file_failed& f) { return file_text(f); },
          [](const memory_failed& m) {
            return format("cannot allocate %lu bytes..\n", m.size) + reason_line(m.reason);
          },
          [](const run_ended& e) { return final_line(e.outcome.ok); },
          [](const save_ended& s) { return save_text(s); },
          [](const board_identified& b) { return "  board id " + b.id + "\n"; },
          [](const sectors_unchanged& u) {
            return "  " + sector_list(u.sectors) +
                   " unchanged since the last flash of this board: not written\n";
          },
          [](const board_forgotten& f) {
            return "forgetting board " + f.id + ".." + tail(f.ok, f.reason);
          },
          [](const boot_check_begun&) -> std::string { return "checking the board's start.."; },
          [](const boot_checked& b) { return boot_text(b); },
          [](const monitor_begun& m) { return monitor_text(m); },
          // Shown as it came: a piece without its line feed stays on
          // its line, as a prompt does.
          [](const board_output& o) { return visible_text(o.text) + (o.line_ended ? "\n" : ""); },
          [](const monitor_ended& m) { return std::string(m.mid_line ? "\n" : ""); }},
      event);
}

void console_write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

run_sink console_sink() {
  return [](const run_event& event) { console_write(console_text(event)); };
}
