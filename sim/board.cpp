#include "board.h"

#include "text/whole_number.h"

namespace {

std::optional<bool>& level_of(board_state& b, control_line line) {
  return line == control_line::rts ? b.rts_set : b.dtr_set;
}

std::string_view line_name(control_line line) { return line == control_line::rts ? "rts" : "dtr"; }

board_mode power_on_mode(const board_setup& setup) {
  return setup.wiring || !setup.app_text.empty() ? board_mode::application
                                                 : board_mode::boot_loader;
}

void end_start_up(board_state& b, std::vector<std::string>& notes) {
  b.mode = b.boot_chosen ? board_mode::boot_loader : board_mode::application;
  notes.push_back(b.boot_chosen ? "board starts its boot loader" : "board starts its application");
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
  if (b.mode == board_mode::powered_on) b.mode = power_on_mode(b.setup);
  if (b.mode == board_mode::starting &&
      at_ns >= b.started_ns + int64_t{b.setup.wiring->boot_hold_ms} * 1'000'000) {
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
  }
  return true;
}

bool board_takes_start(board_state& b, std::vector<std::string>& notes) {
  if (b.starts_ignored >= b.setup.ignored_starts) return true;
  ++b.starts_ignored;
  notes.push_back("board ignores start byte");
  return false;
}

void board_hang_up(board_state& b) {
  std::vector<std::string> unlogged;
  if (b.mode == board_mode::starting) end_start_up(b, unlogged);
}
