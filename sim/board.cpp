#include "board.h"

#include "text/whole_number.h"

#include <algorithm>

namespace {

std::optional<bool>& level_of(board_state& b, control_line line) {
  return line == control_line::rts ? b.rts_set : b.dtr_set;
}

std::string_view line_name(control_line line) { return line == control_line::rts ? "rts" : "dtr"; }

bool app_prints(const board_setup& setup) { return !setup.app_banner.empty() || setup.app_crash; }

board_mode power_on_mode(const board_setup& setup) {
  if (setup.app_after_ms > 0) return board_mode::boot_loader;  // until it times out
  return setup.wiring || !setup.app_text.empty() || app_prints(setup) ? board_mode::application
                                                                      : board_mode::boot_loader;
}

// The application starts at `at_ns`, and prints then what it prints.
void start_application(board_state& b, int64_t at_ns) {
  b.mode = board_mode::application;
  if (app_prints(b.setup)) b.app_print_ns = at_ns;
}

// When a board that is starting reads its boot pin.
int64_t start_up_end_ns(const board_state& b) {
  return b.started_ns + int64_t{b.setup.wiring->boot_hold_ms} * 1'000'000;
}

// The board has read its boot pin, at the end of its start-up.
void end_start_up(board_state& b, std::vector<std::string>& notes) {
  if (b.boot_chosen) {
    b.mode = board_mode::boot_loader;
  } else {
    start_application(b, start_up_end_ns(b));
  }
  notes.push_back(b.boot_chosen ? "board starts its boot loader" : "board starts its application");
}

// When a boot loader that times out (--app-after) starts the application.
std::optional<int64_t> boot_time_out_ns(const board_state& b) {
  if (b.mode != board_mode::boot_loader || !b.boot_quiet_since_ns) return std::nullopt;
  return *b.boot_quiet_since_ns + int64_t{b.setup.app_after_ms} * 1'000'000;
}

// How long after one print the application prints again; 0: never.
int64_t app_period_ns(const board_setup& setup) {
  return setup.app_crash ? app_restart_ns : int64_t{setup.app_every_ms} * 1'000'000;
}

}  // namespace

std::optional<line_level> parse_line_level(std::string_view text) {
  if (text.size() != 2 || (text[0] != 'R' && text[0] != 'D') || (text[1] != '0' && text[1] != '1'))
    return std::nullopt;
  return line_level{text[0] == 'R' ? control_line::rts : control_line::dtr, text[1] == '1'};
}

std::string line_level_name(line_level level) {
  return std::string(level.line == control_line::rts ? "R" : "D") + (level.set ? "1" : "0");
}

std::optional<board_wiring> parse_wiring(std::string_view text, std::string& error) {
  const std::string quoted = "wiring '" + std::string(text) + "': ";
  board_wiring wiring;
  const auto first = text.find(':');
  const auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
  const auto reset = parse_line_level(text.substr(0, first));
  const auto boot = first == std::string_view::npos
                        ? std::nullopt
                        : parse_line_level(text.substr(first + 1, second - first - 1));
  if (!reset || !boot) {
    error = quoted + "expected RESET:BOOT[:MS], each R0, R1, D0 or D1";
    return std::nullopt;
  }
  if (reset->line == boot->line) {
    error = quoted + "reset and boot pin need two different lines";
    return std::nullopt;
  }
  if (second != std::string_view::npos &&
      !parse_whole_unsigned(text.substr(second + 1), wiring.boot_hold_ms)) {
    error = quoted + "MS must be a number";
    return std::nullopt;
  }
  wiring.reset = *reset;
  wiring.boot = *boot;
  return wiring;
}

board_mode board_settle(board_state& b, int64_t at_ns, std::vector<std::string>& notes) {
  if (b.mode == board_mode::powered_on) {
    b.mode = power_on_mode(b.setup);
    // A wired board is reset by its host before it is used: its application
    // prints for the host once a reset has started it.
    if (b.mode == board_mode::application && !b.setup.wiring) start_application(b, at_ns);
    if (b.setup.app_after_ms > 0) b.boot_quiet_since_ns = at_ns;
  }
  if (const auto time_out_ns = boot_time_out_ns(b); time_out_ns && at_ns >= *time_out_ns) {
    start_application(b, *time_out_ns);
    b.boot_quiet_since_ns.reset();
    notes.push_back("board boot loader times out: starts its application");
  }
  if (b.mode == board_mode::starting && at_ns >= start_up_end_ns(b)) {
    end_start_up(b, notes);
  }
  return b.mode;
}

void board_line_change(board_state& b, line_level change, int64_t at_ns,
                       std::vector<std::string>& notes) {
  board_settle(b, at_ns, notes);
  notes.push_back("line " + std::string(change.set ? "set " : "clear ") +
                  std::string(line_name(change.line)));
  level_of(b, change.line) = change.set;
  if (!b.setup.wiring) return;

  const board_wiring& wiring = *b.setup.wiring;
  if (change.line == wiring.reset.line) {
    if (change.set == wiring.reset.set) {
      if (b.mode != board_mode::in_reset) notes.push_back("board held in reset");
      b.mode = board_mode::in_reset;
      b.app_print_ns.reset();
    } else if (b.mode == board_mode::in_reset) {
      // Reset released: the board reads its boot pin once it has started,
      // and only a pin that kept its level all along selects the boot loader.
      b.mode = board_mode::starting;
      b.started_ns = at_ns;
      b.boot_chosen = level_of(b, wiring.boot.line) == wiring.boot.set;
      board_settle(b, at_ns, notes);
    }
  } else if (b.mode == board_mode::starting && change.set != wiring.boot.set) {
    b.boot_chosen = false;
  }
}

bool board_app_answers(board_state& b, std::vector<std::string>& notes) {
  if (b.setup.app_text.empty()) return false;
  notes.push_back("board application answers");
  ++b.app_answered;
  if (!b.setup.wiring && b.setup.app_answers != 0 && b.app_answered >= b.setup.app_answers) {
    b.mode = board_mode::boot_loader;
    b.app_print_ns.reset();
  }
  return true;
}

void board_heard(board_state& b, int64_t at_ns) {
  if (b.setup.app_after_ms > 0 && b.mode == board_mode::boot_loader) b.boot_quiet_since_ns = at_ns;
}

bool board_app_yields(board_state& b, int64_t at_ns, std::vector<std::string>& notes) {
  if (b.setup.app_after_ms == 0) return false;
  b.mode = board_mode::boot_loader;
  b.app_print_ns.reset();
  b.boot_quiet_since_ns = at_ns;
  notes.push_back("board starts its boot loader");
  return true;
}

bool board_takes_start(board_state& b, std::vector<std::string>& notes) {
  if (b.starts_ignored >= b.setup.ignored_starts) return true;
  ++b.starts_ignored;
  notes.push_back("board ignores start byte");
  return false;
}

void board_port_opened(board_state& b, int64_t at_ns, std::vector<std::string>& notes) {
  if (b.mode == board_mode::powered_on) {
    board_settle(b, at_ns, notes);
    return;
  }
  if (!b.app_print_ns || *b.app_print_ns >= at_ns) return;
  const int64_t period_ns = app_period_ns(b.setup);
  if (period_ns == 0) {
    b.app_print_ns.reset();
  } else {
    *b.app_print_ns += (at_ns - *b.app_print_ns + period_ns - 1) / period_ns * period_ns;
  }
}

std::optional<int64_t> board_next_event_ns(const board_state& b) {
  if (b.mode == board_mode::starting) return start_up_end_ns(b);
  if (const auto time_out_ns = boot_time_out_ns(b)) return time_out_ns;
  return b.mode == board_mode::application ? b.app_print_ns : std::nullopt;
}

std::vector<uint8_t> board_app_print(board_state& b, int64_t at_ns, int64_t& print_ns,
                                     std::vector<std::string>& notes) {
  if (b.mode != board_mode::application || !b.app_print_ns || *b.app_print_ns > at_ns) return {};
  print_ns = *b.app_print_ns;
  // A print that comes late (a busy line, a slow machine) goes when it can;
  // after one that fell a whole period behind the next follows at once: one
  // print made up for, not every one missed.
  const int64_t period_ns = app_period_ns(b.setup);
  if (period_ns == 0) {
    b.app_print_ns.reset();
  } else {
    b.app_print_ns = std::max(print_ns + period_ns, at_ns);
  }
  if (!b.setup.app_crash) {
    notes.push_back("board application prints its banner");
    return b.setup.app_banner;
  }
  notes.push_back("board application faults and restarts");
  return {app_fault_line.begin(), app_fault_line.end()};
}

void board_hang_up(board_state& b) {
  std::vector<std::string> unlogged;
  if (b.mode == board_mode::starting) end_start_up(b, unlogged);
  // A boot loader waiting to time out has done so by the next open, on a
  // clock that starts again from 0.
  if (boot_time_out_ns(b)) {
    start_application(b, 0);
    b.boot_quiet_since_ns.reset();
  }
}
