#include "cli/released_board.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>

#include "cli/board_lines.h"
#include "stop/stop_requests.h"
#include "text/visible_text.h"
#include "text/decimal_text.h"

namespace {

// The board's last lines a failed check quotes, and how much of each.
constexpr std::size_t lines_kept = 3;
constexpr std::size_t quoted_most = 80;

// The lines the board printed during the check, the last few, as they came.
struct lines_seen {
  std::vector<std::string> lines;
  bool last_goes_on = false;  // the last is a piece of a line not yet ended
};

void note(lines_seen& seen, const std::string& line_so_far, bool goes_on) {
  if (seen.last_goes_on) {
    seen.lines.back() = line_so_far;
  } else {
    seen.lines.push_back(line_so_far);
    if (seen.lines.size() > lines_kept) seen.lines.erase(seen.lines.begin());
  }
  seen.last_goes_on = goes_on;
}

std::vector<std::string> visible_lines(const lines_seen& seen) {
  std::vector<std::string> shown;
  for (const std::string& line : seen.lines) shown.push_back(visible_text(line));
  return shown;
}

double seconds_since(board_clock::time_point start) {
  const std::chrono::duration<double> elapsed = board_clock::now() - start;
  return std::round(elapsed.count() * 1000) / 1000;
}

board_clock::time_point after_seconds(board_clock::time_point start, double seconds) {
  return start +
         std::chrono::duration_cast<board_clock::duration>(std::chrono::duration<double>(seconds));
}

// Text from outside, quoted for a reason line, cut if long.
std::string quoted(const std::string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  // Appended: GCC 12 takes "\"" + a string for an overlapping copy.
  std::string shown = "\"";
  shown += printable_ascii(std::span(bytes, text.size()), quoted_most);
  return shown + "\"";
}

// What the board did print, and what to look at next.
std::string what_it_printed(const lines_seen& seen, uint32_t rate) {
  if (seen.lines.empty()) {
    return "the board printed nothing at " + std::to_string(rate) +
           " baud: held in reset (see --leave), or printing at another rate (see --app-baud)?";
  }
  std::string text = seen.lines.size() == 1
                         ? "the board's last line: "
                         : "the board's last " + std::to_string(seen.lines.size()) + " lines: ";
  // A board that prints one line over and over (a fault, a restart) is
  // quoted once, with the count.
  for (std::size_t i = 0; i < seen.lines.size();) {
    std::size_t same = 1;
    while (i + same < seen.lines.size() && seen.lines[i + same] == seen.lines[i]) ++same;
    if (i != 0) text += ", ";
    text += quoted(seen.lines[i]);
    if (same > 1) text += ' ' + std::to_string(same) + " times";
    i += same;
  }
  return text + ": not the firmware expected, or another rate (see --app-baud)?";
}

// --expect: the board's lines until one holds the text, for at most
// `within_s`. The line, or nullopt when none did (told, with why).
std::optional<std::string> check_start(board_lines& reader, const std::string& expected,
                                       double within_s, uint32_t rate, const run_sink& report) {
  report(boot_check_begun{});
  const auto start = board_clock::now();
  lines_seen seen;
  const auto found = [&](const std::string& line) {
    report(boot_checked{.ok = true,
                        .line = visible_text(line),
                        .seconds = seconds_since(start),
                        .lines = visible_lines(seen)});
    return visible_text(line);
  };
  while (const std::optional<board_piece> piece =
             next_board_piece(reader, after_seconds(start, within_s))) {
    // A line cut at its longest goes on as a line of its own.
    const bool goes_on = !piece->line_ended && piece->line_so_far.size() < board_line_most;
    note(seen, piece->line_so_far, goes_on);
    if (piece->line_so_far.find(expected) != std::string::npos) return found(piece->line_so_far);
  }
  // What the board said last, too soon before the end to have been handed
  // on: it said it within the time. Unless it holds the text, a line still
  // coming is quoted only when there is no other: the start of a line is no
  // line.
  if (const std::string rest = unhanded_text(reader); !rest.empty()) {
    const std::string line = seen.last_goes_on ? seen.lines.back() + rest : rest;
    if (!stop_requested() && line.find(expected) != std::string::npos) {
      note(seen, line, true);
      return found(line);
    }
    if (seen.lines.empty()) note(seen, line, true);
  }
  std::string reason;
  if (stop_requested()) {
    reason = stop_reason();
  } else if (port_gone(reader.port)) {
    char after[32];
    std::snprintf(after, sizeof after, "%.1f s", seconds_since(start));
    reason = "the serial adapter was disconnected " + std::string(after) + " into the wait for " +
             quoted(expected) + "; " + what_it_printed(seen, rate);
  } else {
    reason = "no line with " + quoted(expected) + " within " + seconds_text(within_s) + ": " +
             what_it_printed(seen, rate);
  }
  report(boot_checked{.ok = false,
                      .reason = reason,
                      .seconds = seconds_since(start),
                      .lines = visible_lines(seen)});
  return std::nullopt;
}

// --monitor: every line the board prints, as it comes, for `seconds` or
// until a stop request or the port's end.
void monitor(board_lines& reader, std::optional<double> seconds, const run_sink& report) {
  report(monitor_begun{seconds});
  const auto deadline =
      seconds ? after_seconds(board_clock::now(), *seconds) : board_clock::time_point::max();
  bool mid_line = false;
  while (const std::optional<board_piece> piece = next_board_piece(reader, deadline)) {
    report(board_output{
        .text = visible_text(piece->text), .line_ended = piece->line_ended, .goes_on = mid_line});
    mid_line = !piece->line_ended;
  }
  // A line on its way as the time ends gets a moment more to end; what is
  // still left then is shown as it is: nothing the board printed is lost.
  if (!unhanded_text(reader).empty() && !stop_requested()) {
    if (const auto last = next_board_piece(reader, board_clock::now() + board_quiet)) {
      report(board_output{
          .text = visible_text(last->text), .line_ended = last->line_ended, .goes_on = mid_line});
      mid_line = !last->line_ended;
    }
  }
  if (const std::string rest = unhanded_text(reader); !rest.empty()) {
    report(board_output{.text = visible_text(rest), .line_ended = false, .goes_on = mid_line});
    mid_line = true;
  }
  report(monitor_ended{mid_line});
  if (port_gone(reader.port) && !stop_requested()) {
    report(run_warning{"the serial adapter was disconnected while the board's output was watched"});
  }
}

// The rate the board's lines are read at, as the user asked for it (a
// port under another name may say otherwise).
uint32_t reading_rate(port_handle port, const run_settings& settings) {
  if (settings.app_baud) return settings.app_baud->bits_per_second;
  if (const auto rate = line_rate_from(settings.baud_rate)) return rate->bits_per_second;
  return port_line_rate(port);
}

}  // namespace

bool watch_released_board(port_handle port, const run_settings& settings, bool& error_flag,
                          end_line& outcome, const run_sink& report) {
  // A run that failed or was stopped has nothing to prove: its outcome is
  // told already.
  const bool checks = settings.expect && !error_flag && !stop_requested();
  if (!checks && !settings.monitor) return false;
  if (settings.app_baud && !port_set_line(port, *settings.app_baud)) {
    report(run_warning{"the port did not take --app-baud " +
                       std::to_string(settings.app_baud->bits_per_second) +
                       ": the board's lines are read at the run's rate"});
  }
  board_lines reader{.port = port, .last_byte = board_clock::now()};
  if (checks) {
    outcome.boot_line = check_start(reader, *settings.expect, settings.expect_within_s,
                                    reading_rate(port, settings), report);
    if (!outcome.boot_line) error_flag = true;
  }
  if (!settings.monitor || stop_requested() || port_gone(port)) return false;
  monitor(reader, settings.monitor_for_s, report);
  return stop_requested();
}
