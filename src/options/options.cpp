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

namespace {

constexpr uint64_t address_space_end = uint64_t{1} << 32;

// A character of a word as a reason names it: 'k', ' ', '\x1b'.
std::string character_named(char c) {
  std::string named(1, '\'');
  named += visible_text(std::string_view(&c, 1));
  named += '\'';
  return named;
}

// Digits of `base` alone, at least one, the value below 2^32.
bool read_digits(std::string_view digits, uint32_t base, uint32_t& value, std::string& fault) {
  if (digits.empty()) {
    fault = "no digits";
    return false;
  }
  uint64_t number = 0;
  for (const char c : digits) {
    const int lower = std::tolower(static_cast<unsigned char>(c));
    uint32_t digit = base;  // none
    if (lower >= '0' && lower <= '9') digit = static_cast<uint32_t>(lower - '0');
    if (lower >= 'a' && lower <= 'f') digit = static_cast<uint32_t>(lower - 'a' + 10);
    if (digit >= base) {
      fault = character_named(c) + (base == 16 ? " is not a hex digit" : " is not a decimal digit");
      return false;
    }
    number = number * base + digit;
    if (number >= address_space_end) {
      fault = "more than 32 bits";
      return false;
    }
  }
  value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

bool parse_number(std::string_view text, uint32_t& value, std::string& fault) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return read_digits(text.substr(2), 16, value, fault);
  }
  return read_digits(text, 10, value, fault);
}

bool parse_decimal(std::string_view text, uint32_t& value, std::string& fault) {
  return read_digits(text, 10, value, fault);
}

namespace {

// A word as a reason names it: quoted, so that a space at its end shows,
// and cut, so that the line fits a terminal.
std::string quoted(const std::string& word) {
  constexpr std::size_t longest = 40;
  const std::string cut = word.size() <= longest ? word : word.substr(0, longest - 3) + "...";
  return "\"" + cut + "\"";
}

// A word as a warning names it: cut, so that the line fits a terminal.
std::string shown(const std::string& word) {
  constexpr std::size_t longest = 32;
  return word.size() <= longest ? word : word.substr(0, longest - 3) + "...";
}

// "--address \"12k\": 'k' is not a decimal digit"
bool number_of(const char* option, const std::string& text, uint32_t& value, std::string& why) {
  std::string fault;
  if (parse_number(text, value, fault)) return true;
  why = std::string(option) + " " + quoted(text) + ": " + fault;
  return false;
}

}  // namespace

bool parse_board_id_place(const std::string& text, board_id_place& place, std::string& why) {
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon > 0) {
    std::string fault;
    if (!parse_number(text.substr(0, colon), place.address, fault)) {
      why = "--board-id " + quoted(text) + ": its address: " + fault;
      return false;
    }
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, place.length);
    const bool whole = error == std::errc{} && end == last && first != last;
    if (whole && place.length >= 1 && place.length <= board_id_max) {
      // Past 2^32 the read would wrap round to address 0.
      if (uint64_t{place.address} + place.length <= address_space_end) return true;
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
    std::string fault;
    if (!parse_number(text.substr(0, colon), patch.address, fault)) {
      why = "--patch " + quoted(text) + ": its address: " + fault;
      return false;
    }
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

// --size: a count of bytes, where a slip must not read some other count.
bool set_save_size(run_settings& s, const std::string& value, std::string& why) {
  uint32_t size = 0;
  if (!number_of("--size", value, size, why)) return false;
  if (size == 0) {
    why = "--size takes a number of bytes from 1 to 4294967295, decimal or 0x hex, not \"0\"";
    return false;
  }
  s.save_size = size;
  return true;
}

// A rate of 0 would leave the port at whatever rate it had; one past the
// signed 32-bit range is no rate a driver takes.
bool set_baud_rate(run_settings& s, const std::string& value, std::string& why) {
  uint32_t rate = 0;
  std::string fault;
  if (!parse_decimal(value, rate, fault)) {
    why = "--baudrate " + quoted(value) + ": " + fault;
    return false;
  }
  if (rate == 0 || rate > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    why = "--baudrate takes a rate from 1 to 2147483647, not " + quoted(value);
    return false;
  }
  s.baud_rate = static_cast<int32_t>(rate);
  return true;
}

bool set_address(run_settings& s, const std::string& value, std::string& why) {
  if (!number_of("--address", value, s.address, why)) return false;
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

// A verify that reads back every sector of the image, also those
// --changed-only leaves as they are.
bool set_verify_all(run_settings& s, const std::string&, std::string&) {
  s.verify = true;
  s.verify_all = true;
  return true;
}

bool set_cache_folder(run_settings& s, const std::string& value, std::string& why) {
  if (value.empty()) {
    why = "--cache needs the name of a folder";
    return false;
  }
  s.cache_folder = value;
  return true;
}

bool set_forget_board(run_settings& s, const std::string& value, std::string& why) {
  std::vector<uint8_t> id;
  if (!hex_bytes(value, id) || id.empty() || id.size() > board_id_max) {
    why = "--forget-board takes a board id as vexlor-prog shows it (hex digits, two a byte), not " +
          shown(value);
    return false;
  }
  s.forget_board = hex_text(id);  // as the run shows it: lower case
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

// One row an option: its name, its value's name in the usage text (none
// for a switch), what it does there, and what it sets: a switch its flag,
// a plain value its text, anything else through `apply`, which may refuse
// the value. One table drives the parsing, the suggestion for a mistyped
// option and --help.
struct option_row {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* help;
  bool run_settings::*flag = nullptr;
  std::string run_settings::*text = nullptr;
  bool (*apply)(run_settings& settings, const std::string& value, std::string& why) = nullptr;
  const char* short_name = nullptr;  // -h for --help
};

using r = run_settings;
constexpr option_row option_table[] = {
    {"--port", "P", "the serial port (default COM1; COMn, ttyUSB0, /dev/...)", nullptr,
     &r::port_name},
    {"--baudrate", "B", "the line's speed, decimal (default 115200)", nullptr, nullptr,
     set_baud_rate},
    {"--address", "A", "where a raw image goes, and where --save reads (default 0x20000000)",
     nullptr, nullptr, set_address},
    {"--write", nullptr, "erase the sectors the image touches, then write it", &r::write},
    {"--verify", nullptr, "read the image's range back and compare it", &r::verify},
    {"--verify-until-differ", nullptr, "--verify, its read ending at the first block that differs",
     nullptr, nullptr, set_verify_until_differ},
    {"--keep-unwritten", nullptr,
     "keep the bytes of the erased sectors that the image does not cover", &r::keep_unwritten},
    {"--allow-empty", nullptr, "write or verify an empty image (refused: a truncated build)",
     &r::allow_empty},
    {"--json", nullptr, "JSON Lines on standard output instead of the console text", &r::json},
    {"--format", "F", "how the image is read: auto, bin, ihex, srec or elf (default auto)", nullptr,
     nullptr, set_format},
    {"--save", "FILE", "read --size bytes at --address into FILE", nullptr, nullptr, set_save_path},
    {"--size", "N", "how many bytes --save reads", nullptr, nullptr, set_save_size},
    {"--force", nullptr, "--save may replace a file that exists", &r::force},
    {"--board-id", "A:LENGTH", "read the board's own id, LENGTH bytes at A", nullptr, nullptr,
     set_board_id},
    {"--patch", "A:HEX", "put these bytes into the image at A (repeatable)", nullptr, nullptr,
     add_patch},
    {"--enter", "SEQ", "the control-line steps before each start byte (default R0,D1,D0,W10)",
     nullptr, nullptr, set_enter},
    {"--leave", "SEQ", "the control-line steps at the end (default R1,D1,D0)", nullptr, nullptr,
     set_leave},
    {"--connect-attempts", "N", "start handshakes before the run gives up, 1 to 100 (default 1)",
     nullptr, nullptr, set_connect_attempts},
    {"--changed-only", nullptr,
     "with --board-id: erase and write only the sectors that differ from the board's last flash",
     &r::changed_only},
    {"--verify-all", nullptr, "--verify, every sector of the image, also those left as they were",
     nullptr, nullptr, set_verify_all},
    {"--cache", "DIR", "where what each board holds is kept (default ~/.cache/vexlor-prog)",
     nullptr, nullptr, set_cache_folder},
    {"--forget-board", "ID", "forget what board ID is known to hold; open no port", nullptr,
     nullptr, set_forget_board},
    {"--expect", "TEXT", "once the board is let go, wait for a line of it that holds TEXT", nullptr,
     nullptr, set_expect},
    {"--expect-within", "S", "how long --expect waits, 0.1 to 600 seconds (default 10)", nullptr,
     nullptr, set_expect_within},
    {"--app-baud", "B", "the rate the board's application prints at (default --baudrate)", nullptr,
     nullptr, set_app_baud},
    {"--monitor", nullptr, "after the run, show the board's lines until Ctrl-C", &r::monitor},
    {"--monitor-for", "S", "--monitor for S seconds", nullptr, nullptr, set_monitor_for},
    {"--help", nullptr, "this text", &r::help, nullptr, nullptr, "-h"},
    {"--version", nullptr, "the version", &r::version, nullptr, nullptr, "-V"},
};

const option_row* option_named(std::string_view word) {
  for (const option_row& row : option_table) {
    if (word == row.name || (row.short_name != nullptr && word == row.short_name)) return &row;
  }
  return nullptr;
}

bool looks_like_an_option(std::string_view word) { return word.starts_with('-'); }

std::string lower_case(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Edits (a character added, dropped, changed, or two swapped) that make
// one text the other.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The option a mistyped word most likely meant: the shortest whose name
// begins with the word's letters (-w, --verif), else the nearest by edits,
// case aside, when it is near enough to be the one meant; nullptr when none
// is.
const option_row* nearest_option(std::string_view word) {
  const std::string letters =
      lower_case(word.substr(std::min(word.find_first_not_of('-'), word.size())));
  if (letters.empty()) return nullptr;
  const option_row* nearest = nullptr;
  for (const option_row& row : option_table) {
    const std::string_view name(row.name);
    if (name.substr(2).starts_with(letters) &&
        (nearest == nullptr || name.size() < std::string_view(nearest->name).size())) {
      nearest = &row;
    }
  }
  if (nearest != nullptr) return nearest;
  std::size_t fewest = std::max<std::size_t>(1, letters.size() / 3) + 1;
  for (const option_row& row : option_table) {
    const std::size_t edits = edit_distance(letters, std::string_view(row.name).substr(2));
    if (edits < fewest) {
      fewest = edits;
      nearest = &row;
    }
  }
  return nearest;
}

// Why a word that begins with "-" is no option this tool reads.
std::string not_an_option(const std::string& word) {
  const std::size_t equals = word.find('=');
  if (equals != std::string::npos) {
    if (const option_row* joined = option_named(word.substr(0, equals))) {
      // Taken as the image path, "--port=COM3" would leave the default port
      // to be opened and driven.
      if (joined->value == nullptr) return shown(word) + ": " + joined->name + " takes no value";
      return word + " is not a word this tool reads: write it as " + joined->name + " " +
             word.substr(equals + 1);
    }
  }
  const std::string name = word.substr(0, equals);
  if (const option_row* meant = nearest_option(name)) {
    return "unknown option " + shown(word) + "; did you mean " + meant->name + "?";
  }
  return "unknown option " + shown(word) +
         " (see vexlor-prog --help; an image of that name goes after --)";
}

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
  } else if (s.keep_unwritten && !s.write) {
    why = "--keep-unwritten keeps what a write's erase would clear: give --write";
  } else if (s.changed_only && !s.board_id) {
    why = "--changed-only needs --board-id: what a board holds is kept under its id";
  } else if (s.changed_only && !s.write) {
    why = "--changed-only goes with --write: it chooses the sectors the write erases and writes";
  } else if (s.forget_board && (s.write || s.verify || s.save_path)) {
    why =
        "--forget-board is a run of its own that opens no port: leave out --write, --verify and "
        "--save";
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool option_takes_value(const std::string& word) {
  const option_row* option = option_named(word);
  return option != nullptr && option->value != nullptr;
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
  bool only_images = false;  // after "--"
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!only_images && word == "--") {
      only_images = true;
      continue;
    }
    const option_row* option = only_images ? nullptr : option_named(word);
    if (option == nullptr) {
      if (!only_images && looks_like_an_option(word)) {
        refuse(not_an_option(word));
        continue;
      }
      if (image_given) {
        settings.slips.push_back("the image is " + shown(word) + ", not " +
                                 shown(settings.image_path) + ": the last such word names it");
      }
      settings.image_path = word;
      image_given = true;
      continue;
    }
    std::string value;
    if (option->value != nullptr) {
      const bool has_value = i + 1 < words.size();
      if (!has_value || words[i + 1] == "--" || option_named(words[i + 1]) != nullptr) {
        // The option word stays a word of its own: read next as itself.
        refuse(std::string(option->name) + " needs " + option->value + " after it, " +
               (has_value ? "not the option " + words[i + 1] : "and nothing follows"));
        continue;
      }
      value = words[++i];
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
  if (settings.help || settings.version) return true;
  return check_together(settings, why);
}

std::string usage_text() {
  std::string usage = "usage: vexlor-prog [OPTIONS] [--] [IMAGE]\n";
  const auto named = [](const option_row& row) {
    std::string name = row.short_name != nullptr ? std::string(row.short_name) + ", " : "";
    return name + row.name + (row.value != nullptr ? std::string(" ") + row.value : "");
  };
  std::size_t width = 0;  // the longest, so that the helps line up
  for (const option_row& row : option_table) width = std::max(width, named(row).size());
  for (const option_row& row : option_table) {
    std::string name = named(row);
    name.resize(width, ' ');
    usage += "  " + name + "  " + row.help + "\n";
  }
  return usage +
         "IMAGE is raw bytes, ELF, Intel HEX or S-records (default default.bin); one whose name\n"
         "begins with - goes after --. See man vexlor-prog.\n";
}

std::string refusal_with_image(const run_settings& settings, const image_contents& image) {
  const std::string shown_path = visible_text(settings.image_path);
  // With --save the address names the range to save.
  if (carries_addresses(image) && settings.address_given && !settings.save_path) {
    return "--address means nothing for " + shown_path + ": " + image_format_name(*image.format) +
           " carries its own addresses";
  }
  const bool empty = image.format == image_format::raw && image.file_size == 0;
  if (empty && (settings.write || settings.verify) && !settings.allow_empty) {
    return "the image " + shown_path + " is empty, as a truncated build leaves it: give " +
           "--allow-empty to " + (settings.write ? "write" : "verify") + " it all the same";
  }
  return {};
}
