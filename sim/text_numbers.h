// Strict number reading for the simulator's options: the whole text must be
// the number, so a typo in a test script is an error, not a silent zero.
#pragma once

#include <charconv>
#include <string_view>

template <typename T>
bool parse_whole_unsigned(std::string_view text, T& value, int base = 10) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc{} && end == text.data() + text.size();
}
