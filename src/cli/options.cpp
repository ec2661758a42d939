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

namespace {

// One row an option. A value-taking option is one only when another word
// follows it, which it then takes whatever it is; standing last, it is the
// image path, as any other word is. `apply` sets what the option sets, or
// says why it cannot take the value.
struct option_row {
  const char* name;
  bool takes_value;
  bool (*apply)(run_settings& settings, const std::string& value, std::string& why);
};

constexpr option_row option_table[] = {
    {"--port", true,
     [](run_settings& s, const std::string& value, std::string&) {
       s.port_name = value;
       return true;
     }},
    {"--baudrate", true,
     [](run_settings& s, const std::string& value, std::string&) {
       s.baud_rate = parse_decimal(value);
       return true;
     }},
    {"--address", true,
     [](run_settings& s, const std::string& value, std::string&) {
       s.address = parse_number(value);
       return true;
     }},
    {"--write", false,
     [](run_settings& s, const std::string&, std::string&) {
       s.write = true;
       return true;
     }},
    {"--verify", false,
     [](run_settings& s, const std::string&, std::string&) {
       s.verify = true;
       return true;
     }},
    {"--json", false,
     [](run_settings& s, const std::string&, std::string&) {
       s.json = true;
       return true;
     }},
};

const option_row* option_named(const std::string& word) {
  for (const option_row& row : option_table) {
    if (word == row.name) return &row;
  }
  return nullptr;
}

}  // namespace

bool parse_options(const std::vector<std::string>& words, run_settings& settings,
                   std::string& why) {
  settings = {};
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const option_row* option = option_named(word);
    const bool has_value = i + 1 < words.size();
    if (option == nullptr || (option->takes_value && !has_value)) {
      settings.image_path = word;
      continue;
    }
    const std::string value = option->takes_value ? words[++i] : std::string();
    if (!option->apply(settings, value, why)) return false;
  }
  return true;
}
