#include "cli/options.h"

#include <cctype>
#include <limits>

uint32_t parse_number(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  uint32_t base = 10;
  std::size_t first = 0;
  if (lower.size() > 2 && lower.compare(0, 2, "0x") == 0) {
    base = 16;
    first = 2;
  }
  uint32_t value = 0;
  for (std::size_t i = first; i < lower.size(); ++i) {
    const char c = lower[i];
    value *= base;
    if (c >= '0' && c <= '9') {
      value += static_cast<uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      value += static_cast<uint32_t>(c - 'a' + 10);
    }
  }
  return value;
}

int32_t parse_decimal(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a magnitude that stops growing past the 32-bit range, so
  // any number of digits is safe.
  const int64_t limit = negative ? int64_t{1} << 31 : std::numeric_limits<int32_t>::max();
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(limit, magnitude * 10 + (text[i] - '0'));
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

run_settings parse_options(const std::vector<std::string>& words) {
  run_settings settings;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool has_value = i + 1 < words.size();
    if (word == "--port" && has_value) {
      settings.port_name = words[++i];
    } else if (word == "--baudrate" && has_value) {
      settings.baud_rate = parse_decimal(words[++i]);
    } else if (word == "--address" && has_value) {
      settings.address = parse_number(words[++i]);
    } else if (word == "--write") {
      settings.write = true;
    } else if (word == "--verify") {
      settings.verify = true;
    } else if (word == "--json") {
      settings.json = true;
    } else {
      settings.image_path = word;
    }
  }
  return settings;
}
