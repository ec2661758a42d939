#include "options/options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string_view>

#include "text/decimal_text.h"
#include "text/hex_text.h"
#include "text/visible_text.h"

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

bool parse_board_id_place(const std::string& text, board_id_place& place, std::string& why) {
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon > 0) {
    place.address = parse_number(text.substr(0, colon));
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, place.length);
    const bool whole = error == std::errc{} && end == last && first != last;
    if (whole && place.length >= 1 && place.length <= board_id_max) {
      // Past 2^32 the read would wrap round to address 0.
      if (uint64_t{place.address} + place.length <= uint64_t{1} << 32) return true;
      why = "--board-id " + text + " runs past the end of the address space";
      return false;
    }
  }
  why = "--board-id takes ADDRESS:LENGTH, LENGTH from 1 to 256 bytes, not " + text;
  return false;
}

bool parse_patch(const std::string& text, image_patch& patch, std::string& why) {
  const std::size_t colon = text.find(':');
  patch.bytes.clear();
  if (colon != std::string::npos && colon > 0) {
    patch.address = parse_number(text.substr(0, colon));
    const std::string hex = text.substr(colon + 1);
    if (hex_bytes(hex, patch.bytes) && !patch.bytes.empty() &&
        patch.bytes.size() <= patch_bytes_max) {
      return true;
    }
  }
  why = "--patch takes ADDRESS:HEX, HEX 1 to 256 bytes as pairs of hex digits, not " + text;
  return false;
}

bool parse_image_format_option(const std::string& value, std::optional<image_format>& forced,
                               std::string& why) {
  struct format_word {
    std::string_view word;
    std::optional<image_format> format;
  };
  constexpr std::array<format_word, 5> words{{{"auto", std::nullopt},
                                              {"bin", image_format::raw},
                                              {"ihex", image_format::intel_hex},
                                              {"srec", image_format::s_record},
                                              {"elf", image_format::elf}}};
  for (const format_word& w : words) {
    if (value == w.word) {
      forced = w.format;
      return true;
    }
  }
  why = "--format takes auto, bin, ihex, srec or elf";
  return false;
}

namespace {

constexpr uint64_t address_space_end = uint64_t{1} << 32;

// --size: a count of bytes, where a slip must not read some other count,
// so unlike --address every character must be a digit of its base and the
// value must not wrap.
bool parse_byte_count(const std::string& text, uint32_t& count) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* first = text.data() + (hex ? 2 : 0);
  const char* last = text.data() + text.size();
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
  if (error != std::errc{} || end != last || value == 0) return false;
  count = value;
  return true;
}

bool set_format(run_settings& s, const std::string& value, std::string& why) {
  return parse_image_format_option(value, s.format, why);
}

bool set_save_path(run_settings& s, const std::string& value, std::string& why) {
  if (value.empty()) {
    why = "--save needs the name of the file to save to";
    return false;
  }
  s.save_path = value;
  return true;
}

bool set_save_size(run_settings& s, const std::string& value, std::string& why) {
  uint32_t size = 0;
  if (!parse_byte_count(value, size)) {
    why = "--size takes a number of bytes from 1 to 4294967295, decimal or 0x hex, not \"" +
          visible_text(value) + "\"";
    return false;
  }
  s.save_size = size;
  return true;
}

// One row an option. A value-taking option is one only when another word
// follows it, which it then takes whatever it is; standing last, it is the
// image path, as any other word is. A switch sets its flag, a plain value
// its text; anything else goes through `apply`, which may refuse the value.
struct option_row {
  const char* name;
  bool takes_value;
  bool run_settings::*flag = nullptr;
  std::string run_settings::*text = nullptr;
  bool (*apply)(run_settings& settings, const std::string& value, std::string& why) = nullptr;
};

// A word as a warning names it: cut, so that the line fits a terminal.
std::string shown(const std::string& word) {
  constexpr std::size_t longest = 32;
  return word.size() <= longest ? word : word.substr(0, longest - 3) + "...";
}

bool set_baud_rate(run_settings& s, const std::string& value, std::string&) {
  s.baud_rate = parse_decimal(value);
  return true;
}

bool set_address(run_settings& s, const std::string& value, std::string&) {
  s.address = parse_number(value);
  s.address_given = true;
  return true;
}

bool set_board_id(run_settings& s, const std::string& value, std::string& why) {
  board_id_place place;
  if (!parse_board_id_place(value, place, why)) return false;
  s.board_id = place;
  return true;
}

bool add_patch(run_settings& s, const std::string& value, std::string& why) {
  image_patch patch;
  if (!parse_patch(value, patch, why)) return false;
  s.patches.push_back(std::move(patch));
  return true;
}

// A verify for a caller that only asks whether the board holds the image
// (the station's --skip-same): a board that does not costs one block of
// reading, not the whole image.
bool set_verify_until_differ(run_settings& s, const std::string&, std::string&) {
  s.verify = true;
  s.verify_until_differ = true;
  return true;
}

bool set_line_steps(std::vector<line_step>& steps, const char* option, const std::string& value,
                    std::string& why) {
  auto read = parse_line_sequence(value, why);
  if (!read) {
    why = std::string(option) + ": " + why;
    return false;
  }
  steps = std::move(*read);
  return true;
}

bool set_enter(run_settings& s, const std::string& value, std::string& why) {
  return set_line_steps(s.enter, "--enter", value, why);
}

bool set_leave(run_settings& s, const std::string& value, std::string& why) {
  return set_line_steps(s.leave, "--leave", value, why);
}

bool set_connect_attempts(run_settings& s, const std::string& value, std::string& why) {
  constexpr auto most = static_cast<unsigned>(max_connect_attempts);
  const std::optional<unsigned> count = decimal_digits(value, most);
  if (!count || *count < 1 || *count > most) {
    why = "--connect-attempts takes a number from 1 to " + std::to_string(max_connect_attempts) +
          ", not '" + shown(value) + "'";
    return false;
  }
  s.connect_attempts = static_cast<int>(*count);
  return true;
}

// A time in seconds as the command line writes it: digits, then perhaps a
// point and more digits ("10", "0.5"); no sign, no exponent, nothing else.
bool parse_seconds(const std::string& text, double least, double most, double& seconds) {
  const std::size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "1" : text.substr(point + 1);
  const auto digits = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  if (!digits(whole) || !digits(fraction)) return false;
  double value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (error != std::errc{} || end != text.data() + text.size()) return false;
  if (value < least || value > most) return false;
  seconds = value;
  return true;
}

// "0.1 to 600": a bound as the refusal names it.
std::string seconds_range(double least, double most) {
  char text[64];
  std::snprintf(text, sizeof text, "%g to %g", least, most);
  return text;
}

bool set_expect(run_settings& s, const std::string& value, std::string& why) {
  if (value.empty()) {
    why = "--expect needs the text the board prints as it starts";
    return false;
  }
  s.expect = value;
  return true;
}

bool set_expect_within(run_settings& s, const std::string& value, std::string& why) {
  s.expect_within_given = true;
  if (parse_seconds(value, expect_within_least_s, expect_within_most_s, s.expect_within_s)) {
    return true;
  }
  why = "--expect-within takes a number of seconds from " +
        seconds_range(expect_within_least_s, expect_within_most_s) + ", not '" + shown(value) + "'";
  return false;
}

bool set_monitor_for(run_settings& s, const std::string& value, std::string& why) {
  double seconds = 0;
  if (parse_seconds(value, monitor_for_least_s, monitor_for_most_s, seconds)) {
    s.monitor = true;
    s.monitor_for_s = seconds;
    return true;
  }
  why = "--monitor-for takes a number of seconds from " +
        seconds_range(monitor_for_least_s, monitor_for_most_s) + ", not '" + shown(value) + "'";
  return false;
}

bool set_app_baud(run_settings& s, const std::string& value, std::string& why) {
  constexpr unsigned most = std::numeric_limits<int32_t>::max();
  const std::optional<unsigned> rate = decimal_digits(value, most);
  if (!rate || *rate < 1 || *rate > most) {
    why = "--app-baud takes a rate in baud from 1 to " + std::to_string(most) + ", not '" +
          shown(value) + "'";
    return false;
  }
  s.app_baud = line_rate{*rate};
  return true;
}

using r = run_settings;
constexpr option_row option_table[] = {
    {"--port", true, nullptr, &r::port_name},
    {"--baudrate", true, nullptr, nullptr, set_baud_rate},
    {"--address", true, nullptr, nullptr, set_address},
    {"--write", false, &r::write},
    {"--verify", false, &r::verify},
    {"--verify-until-differ", false, nullptr, nullptr, set_verify_until_differ},
    {"--json", false, &r::json},
    {"--format", true, nullptr, nullptr, set_format},
    {"--save", true, nullptr, nullptr, set_save_path},
    {"--size", true, nullptr, nullptr, set_save_size},
    {"--force", false, &r::force},
    {"--board-id", true, nullptr, nullptr, set_board_id},
    {"--patch", true, nullptr, nullptr, add_patch},
    {"--enter", true, nullptr, nullptr, set_enter},
    {"--leave", true, nullptr, nullptr, set_leave},
    {"--connect-attempts", true, nullptr, nullptr, set_connect_attempts},
    {"--expect", true, nullptr, nullptr, set_expect},
    {"--expect-within", true, nullptr, nullptr, set_expect_within},
    {"--app-baud", true, nullptr, nullptr, set_app_baud},
    {"--monitor", false, &r::monitor},
    {"--monitor-for", true, nullptr, nullptr, set_monitor_for},
};

const option_row* option_named(const std::string& word) {
  for (const option_row& row : option_table) {
    if (word == row.name) return &row;
  }
  return nullptr;
}

// "--port=COM3": a known option and its value joined, which no word of
// this tool's command line is.
const option_row* joined_option(const std::string& word) {
  const std::size_t equals = word.find('=');
  if (equals == std::string::npos) return nullptr;
  const option_row* option = option_named(word.substr(0, equals));
  return option != nullptr && option->takes_value ? option : nullptr;
}

bool looks_like_an_option(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

// The rules no single option can check: which options need which, and the
// range --save reads.
bool check_together(const run_settings& s, std::string& why) {
  if (s.save_path && !s.save_size) {
    why = "--save needs --size: the number of bytes to read";
  } else if (s.save_size && !s.save_path) {
    why = "--size goes with --save: it is the number of bytes to save";
  } else if (s.expect_within_given && !s.expect) {
    why = "--expect-within goes with --expect: it is how long to wait for its text";
  } else if (s.app_baud && !s.expect && !s.monitor) {
    why = "--app-baud goes with --expect or --monitor: it is the rate the board prints at";
  } else if (s.save_size && uint64_t{s.address} + *s.save_size > address_space_end) {
    // Past 2^32 the block addresses would wrap to 0.
    char text[128];
    std::snprintf(text, sizeof text,
                  "--size %lu at 0x%08lx runs past the end of the 4 GiB address space",
                  static_cast<unsigned long>(*s.save_size), static_cast<unsigned long>(s.address));
    why = text;
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool option_takes_value(const std::string& word) {
  const option_row* option = option_named(word);
  return option != nullptr && option->takes_value;
}

bool parse_options(const std::vector<std::string>& words, run_settings& settings,
                   std::string& why) {
  settings = {};
  why.clear();
  // The first usage error is the one told; the words after it are read all
  // the same, so that --json decides how it is told.
  auto refuse = [&](const std::string& text) {
    if (why.empty()) why = text;
  };
  bool image_given = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (const option_row* joined = joined_option(word)) {
      refuse(word + " is not a word this tool reads: write it as " + joined->name + " " +
             word.substr(word.find('=') + 1));
      continue;
    }
    const option_row* option = option_named(word);
    const bool has_value = i + 1 < words.size();
    if (option == nullptr || (option->takes_value && !has_value)) {
      if (image_given) {
        const std::string& earlier = settings.image_path;
        settings.slips.push_back(looks_like_an_option(earlier)
                                     ? shown(earlier) + " is not an option of this tool; " +
                                           shown(word) + " is the image"
                                     : "the image is " + shown(word) + ", not " + shown(earlier) +
                                           ": the last such word names it");
      }
      settings.image_path = word;
      image_given = true;
      continue;
    }
    const std::string value = option->takes_value ? words[++i] : std::string();
    if (option->takes_value && option_named(value) != nullptr) {
      // Both words are the table's: the line stays short.
      settings.slips.push_back(value + " is taken as the value of " + option->name +
                               ", not as an option");
    }
    std::string refused;
    if (option->flag != nullptr) {
      settings.*(option->flag) = true;
    } else if (option->text != nullptr) {
      settings.*(option->text) = value;
    } else if (!option->apply(settings, value, refused)) {
      refuse(refused);
    }
  }
  if (!why.empty()) return false;
  return check_together(settings, why);
}
