#include "console_view.h"

#include <algorithm>
#include <cstdio>

#include "text/visible_text.h"

namespace {

constexpr auto moving_interval = std::chrono::milliseconds(100);
constexpr auto clock_interval = std::chrono::seconds(1);
constexpr const char* erase_line_end = "\x1b[K";
constexpr const char* erase_below = "\x1b[J";

std::string elapsed(double seconds) {
  const long whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// Cut to fit one row: a line that wrapped would take two, and the cursor
// would no longer come back to the first live line.
std::string fitted(std::string line, int columns) {
  const auto room = static_cast<std::size_t>(std::max(columns - 1, 1));
  if (line.size() > room) line.resize(room);
  return line + erase_line_end + "\n";
}

void write_out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void draw(console_view& view, const std::string& lines, const live_view& live) {
  const terminal_size size = *view.terminal;
  // Back to the first live line, then over it.
  std::string text = "\r";
  if (view.drawn > 0) text += "\x1b[" + std::to_string(view.drawn) + "A";
  for (std::size_t start = 0; start < lines.size();) {
    const std::size_t end = lines.find('\n', start);
    text += lines.substr(start, end - start) + erase_line_end + "\n";
    start = end == std::string::npos ? lines.size() : end + 1;
  }
  const std::vector<std::string> shown = live_lines(live, size);
  for (const std::string& line : shown) text += line;
  text += erase_below;
  write_out(text);
  view.drawn = static_cast<int>(shown.size());
  view.last_drawn = view_clock::now();
  view.changed = false;
}

// " (unchanged)", " (exit 1)": the note after a board's name, then its
// warnings (" (1 warning: ...)"), with its serial number last, and what
// became of it unless the board simply has it now: " (serial 1042)",
// " (exit 1, serial 1042 returned)".
std::string notes(std::string note, const board_run& run) {
  // Every warning the run gave: on this line, or nowhere the operator looks;
  // but for one the line ends with anyway, as the reason its board failed.
  std::vector<std::string> warnings;
  for (const std::string& warning : run.warnings) {
    if (warning != run.verdict.reason) warnings.push_back(warning);
  }
  if (!warnings.empty()) {
    if (!note.empty()) note += ", ";
    const std::size_t count = warnings.size();
    note += std::to_string(count) + (count == 1 ? " warning: " : " warnings: ");
    for (std::size_t i = 0; i < count; ++i) {
      note += (i == 0 ? "" : "; ") + visible_text(warnings[i]);
    }
  }
  if (run.serial) {
    if (!note.empty()) note += ", ";
    note += "serial " + std::to_string(run.serial->number);
    const bool the_boards = outcome_is_success(run.verdict.outcome) &&
                            run.serial->settlement == serial_settlement::spent;
    if (!the_boards) note += std::string(" ") + settlement_name(run.serial->settlement);
  }
  if (run.record_spooled) note += std::string(note.empty() ? "" : ", ") + "record spooled";
  return note.empty() ? note : " (" + note + ")";
}

std::string board_line(const live_board& board) {
  if (board.waiting) return "  waiting";
  char text[64];
  std::snprintf(text, sizeof text, "  %-9s %-10s %s", visible_text(board.phase).c_str(),
                visible_text(board.detail).c_str(), elapsed(board.seconds).c_str());
  if (!board.seconds_left) return text;
  return text + ("  " + elapsed(*board.seconds_left) + " left");
}

std::string tally_line(const station_tally& tally) {
  return std::to_string(tally.ok) + " ok, " + std::to_string(tally.failed) + " failed, " +
         std::to_string(tally.stopped) + " stopped, " + std::to_string(tally.running) +
         " running, " + std::to_string(tally.waiting) + " waiting";
}

}  // namespace

// Port names and reasons come from outside (a link's name, a run's words):
// shown with their control characters made visible, none of them can move
// the cursor, clear the screen or begin a line of their own.
std::string result_line(const board_run& run) {
  const std::string name = visible_text(run.port.name);
  // --expect: what the board itself said as it started.
  const std::string said = run.boot_line ? ": \"" + visible_text(*run.boot_line) + "\"" : "";
  switch (run.verdict.outcome) {
    case run_outcome::ok:
      return "ok      " + name + notes("", run) + said + "\n";
    case run_outcome::unchanged:
      return "ok      " + name + notes("unchanged", run) + said + "\n";
    case run_outcome::failed:
    case run_outcome::stopped:
      break;
  }
  // A stopped board is not a faulty one: it is to be run again, not set aside.
  const char* result = run.verdict.outcome == run_outcome::stopped ? "STOPPED " : "FAILED  ";
  const std::string exit = run.exit_status ? "exit " + std::to_string(*run.exit_status) : "not run";
  return result + name + notes(exit, run) + ": " + visible_text(run.verdict.reason) + "\n";
}

std::string not_run_line(const std::string& name) {
  return "STOPPED " + visible_text(name) + " (not run): stopped before its run began\n";
}

std::string records_wait_line(std::size_t records, const std::string& spool_folder) {
  return "vexlor-flash-all: " + std::to_string(records) + " record(s) wait in the spool " +
         visible_text(spool_folder) +
         ": they go to the database at the station's next start, or with --replay " +
         visible_text(spool_folder) + "\n";
}

std::string start_line(const std::string& name) { return "start   " + visible_text(name) + "\n"; }

void say_on_stderr(const std::string& why) {
  std::fprintf(stderr, "vexlor-flash-all: %s\n", visible_text(why).c_str());
}

std::string count_line(std::size_t ok, std::size_t total, bool watching) {
  return "vexlor-flash-all: " + std::to_string(ok) + " of " + std::to_string(total) +
         (watching ? " run(s) ok\n" : " port(s) ok\n");
}

std::vector<std::string> live_lines(const live_view& live, terminal_size size) {
  std::vector<std::string> lines;
  const std::vector<live_board>& boards = live.boards;
  if (boards.empty() && live.watched_folder.empty()) return lines;
  // One row stays free for the cursor below the live lines, one holds the
  // tally.
  const std::size_t room = static_cast<std::size_t>(std::max(size.rows - 3, 1));
  const std::size_t shown = boards.size() <= room ? boards.size() : room - 1;
  std::vector<std::string> names;
  std::size_t name_width = 0;
  for (std::size_t i = 0; i < shown; ++i) {
    names.push_back(visible_text(boards[i].name));
    name_width = std::max(name_width, names.back().size());
  }
  for (std::size_t i = 0; i < shown; ++i) {
    lines.push_back(
        fitted(names[i] + std::string(name_width - names[i].size(), ' ') + board_line(boards[i]),
               size.columns));
  }
  if (shown < boards.size()) {
    lines.push_back(
        fitted("... and " + std::to_string(boards.size() - shown) + " more", size.columns));
  }
  if (boards.empty()) {
    lines.push_back(
        fitted("waiting for boards in " + visible_text(live.watched_folder), size.columns));
  }
  lines.push_back(fitted(tally_line(live.tally), size.columns));
  return lines;
}

console_view open_console_view() { return {.terminal = output_terminal()}; }

void view_print(console_view& view, const std::string& lines, const live_view& live) {
  if (!view.terminal) {
    write_out(lines);
    return;
  }
  view.terminal = output_terminal().value_or(*view.terminal);  // it may have been resized
  draw(view, lines, live);
}

void view_refresh(console_view& view, const live_view& live) {
  const bool shows = !live.boards.empty() || !live.watched_folder.empty();
  if (view_wait_ms(view, shows || view.drawn > 0) == 0) view_print(view, "", live);
}

int view_wait_ms(const console_view& view, bool boards_running) {
  if (!view.terminal || !boards_running) return -1;
  const auto due = view.last_drawn + (view.changed ? moving_interval : clock_interval);
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(due - view_clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left) + 1;
}
