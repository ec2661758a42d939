// Strict number reading for the options of the simulator and the station:
// the whole text must be the number, so a typo in a script is an error, not
// a silent zero or a number cut short.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>

template <typename T>
bool parse_whole_unsigned(std::string_view text, T& value, int base = 10) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc{} && end == text.data() + text.size();
}

// Decimal, or hex with a 0x prefix; the whole text must be the number.
inline bool parse_u32(std::string_view text, uint32_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  return parse_whole_unsigned(text, value, base);
}
