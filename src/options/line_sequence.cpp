#include "options/line_sequence.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "text/decimal_text.h"
#include "text/visible_text.h"

namespace {

struct drive_word {
  std::string_view word;
  port_line_action action;
};

constexpr std::array<drive_word, 4> drive_words{{
    {"R1", port_line_action::set_rts},
    {"R0", port_line_action::clear_rts},
    {"D1", port_line_action::set_dtr},
    {"D0", port_line_action::clear_dtr},
}};

// A bad step is named whole up to this length, and cut beyond it.
constexpr std::size_t longest_step_shown = 40;

// A step from the command line, fit to be shown on a terminal.
std::string quoted(std::string_view step) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(step.data());
  std::string text = "'";
  text += printable_ascii(std::span(bytes, step.size()), longest_step_shown);
  text += '\'';
  return text;
}

// W and 0 to 10000 in decimal digits.
std::optional<line_step> read_wait(std::string_view step, std::string& why) {
  const std::optional<unsigned> ms = decimal_digits(step.substr(1), max_line_wait_ms);
  if (!ms) {
    why = "the wait " + quoted(step) + " needs a number of milliseconds";
    return std::nullopt;
  }
  if (*ms > max_line_wait_ms) {
    why = "the wait " + quoted(step) + " is over " + std::to_string(max_line_wait_ms) + " ms";
    return std::nullopt;
  }
  return line_step{std::nullopt, *ms};
}

std::optional<line_step> read_step(std::string_view step, std::string& why) {
  for (const drive_word& word : drive_words) {
    if (step == word.word) return line_step{word.action, 0};
  }
  if (step.starts_with('W')) return read_wait(step, why);
  why = "unknown step " + quoted(step) + " (steps are R0, R1, D0, D1, W<ms>, separated by commas)";
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<line_step>> parse_line_sequence(std::string_view text, std::string& why) {
  why.clear();
  std::vector<line_step> steps;
  if (text == "none") return steps;
  if (text.empty()) {
    why = "an empty sequence: give none for no steps";
    return std::nullopt;
  }
  std::size_t from = 0;
  for (;;) {
    const auto comma = text.find(',', from);
    const std::string_view step = text.substr(from, comma - from);
    if (step.empty()) {
      why = "an empty step in " + quoted(text);
      return std::nullopt;
    }
    if (step == "none") {
      why = "'none' stands alone, for no steps at all: leave it out of " + quoted(text);
      return std::nullopt;
    }
    const auto next = read_step(step, why);
    if (!next) return std::nullopt;
    steps.push_back(*next);
    if (comma == std::string_view::npos) return steps;
    from = comma + 1;
  }
}

std::vector<line_step> default_line_steps(std::string_view text) {
  std::string why;
  return parse_line_sequence(text, why).value_or(std::vector<line_step>{});
}
