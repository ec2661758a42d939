// A number written in decimal digits alone, as a count or a wait on the
// command line is: "3x", "-1", "+3" and "" are slips, not numbers.
#pragma once

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// The value of `text`, held just past `largest` (anything over it reads as
// largest + 1), so that no number of digits wraps it round; nullopt for text
// that is not digits alone.
inline std::optional<unsigned> decimal_digits(std::string_view text, unsigned largest) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (char c : text) value = std::min(value * 10 + static_cast<unsigned>(c - '0'), largest + 1);
  return value;
}

// Seconds as the console writes them: "10 s", "0.5 s".
inline std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}
