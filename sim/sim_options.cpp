#include "sim_options.h"

#include "text/hex_text.h"
#include "text/whole_number.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

// The options' parsers, each into its own field: false when the value is
// bad, with the reason in `error` where the parser has one of its own.
using option_parser = bool (*)(const std::string& value, sim_options& options, std::string& error);

template <std::string sim_options::*field>
bool read_path(const std::string& value, sim_options& options, std::string&) {
  options.*field = value;
  return !value.empty();
}

template <uint32_t sim_options::*field>
bool read_number(const std::string& value, sim_options& options, std::string&) {
  return parse_u32(value, options.*field);
}

template <std::vector<uint8_t> sim_options::*field>
bool read_hex(const std::string& value, sim_options& options, std::string&) {
  return hex_bytes(value, options.*field);
}

template <bool sim_options::*flag>
bool set_flag(const std::string&, sim_options& options, std::string&) {
  options.*flag = true;
  return true;
}

template <bool board_setup::*flag>
bool set_board_flag(const std::string&, sim_options& options, std::string&) {
  options.board.*flag = true;
  return true;
}

bool read_max_seconds(const std::string& value, sim_options& options, std::string&) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value.c_str(), &end);
  options.max_seconds = seconds;
  return !value.empty() && end == value.c_str() + value.size() && errno == 0 &&
         std::isfinite(seconds) && seconds > 0;
}

bool add_load(const std::string& value, sim_options& options, std::string&) {
  memory_load& load = options.loads.emplace_back();
  const std::string_view text = value;
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon + 1 == text.size()) return false;
  load.path = std::string(text.substr(colon + 1));
  return parse_u32(text.substr(0, colon), load.address);
}

bool add_dump(const std::string& value, sim_options& options, std::string&) {
  memory_dump& dump = options.dumps.emplace_back();
  const std::string_view text = value;
  const auto first = text.find(':');
  if (first == std::string_view::npos) return false;
  const auto second = text.find(':', first + 1);
  if (second == std::string_view::npos || second + 1 == text.size()) return false;
  dump.path = std::string(text.substr(second + 1));
  return parse_u32(text.substr(0, first), dump.address) &&
         parse_u32(text.substr(first + 1, second - first - 1), dump.size);
}

// Text with the escapes \r, \n, \t, \\ and \xHH, so that a shell line can
// give a board's message with its line ends.
template <std::vector<uint8_t> board_setup::*field>
bool read_board_text(const std::string& value, sim_options& options, std::string&) {
  std::vector<uint8_t>& text = options.board.*field;
  text.clear();
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      text.push_back(static_cast<uint8_t>(value[i]));
      continue;
    }
    const char escaped = i + 1 < value.size() ? value[++i] : '\0';
    if (escaped == 'x') {
      std::vector<uint8_t> byte;
      // Two digits, not fewer: a \x at the end of the text holds no byte.
      if (!hex_bytes(std::string_view(value).substr(i + 1, 2), byte) || byte.size() != 1) {
        return false;
      }
      text.push_back(byte[0]);
      i += 2;
    } else if (escaped == 'r' || escaped == 'n' || escaped == 't' || escaped == '\\') {
      text.push_back(escaped == 'r' ? '\r' : escaped == 'n' ? '\n' : escaped == 't' ? '\t' : '\\');
    } else {
      return false;
    }
  }
  return !text.empty();
}

bool read_app_answers(const std::string& value, sim_options& options, std::string&) {
  return parse_u32(value, options.board.app_answers) && options.board.app_answers > 0;
}

bool read_app_every(const std::string& value, sim_options& options, std::string&) {
  return parse_u32(value, options.board.app_every_ms) && options.board.app_every_ms > 0;
}

bool read_app_after(const std::string& value, sim_options& options, std::string&) {
  return parse_u32(value, options.board.app_after_ms) && options.board.app_after_ms > 0;
}

bool read_ignored_starts(const std::string& value, sim_options& options, std::string&) {
  return parse_u32(value, options.board.ignored_starts);
}

bool read_wiring(const std::string& value, sim_options& options, std::string& error) {
  options.board.wiring = parse_wiring(value, error);
  return options.board.wiring.has_value();
}

// ADDRESS:HEX, or ADDRESS:random[:N] for N random bytes (the 12 of a common
// 96-bit unique id when N is not given), 1 to 256 bytes: what one read
// block can carry.
bool set_board_id(const std::string& value, sim_options& options, std::string& error) {
  constexpr uint32_t longest_id = 256;
  constexpr uint32_t usual_id_length = 12;
  board_identity& id = options.board_id.emplace();
  const std::string_view text = value;
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || !parse_u32(text.substr(0, colon), id.address)) {
    return false;
  }
  constexpr std::string_view random_word = "random";
  const std::string_view rest = text.substr(colon + 1);
  if (rest == random_word) {
    id.random_length = usual_id_length;
  } else if (rest.starts_with(random_word) && rest.size() > random_word.size() &&
             rest[random_word.size()] == ':') {
    if (!parse_u32(rest.substr(random_word.size() + 1), id.random_length)) return false;
  } else if (!hex_bytes(rest, id.bytes)) {
    return false;
  }
  const std::size_t length = id.random_length + id.bytes.size();
  if (length < 1 || length > longest_id) {
    error = "--board-id takes 1 to 256 bytes, not " + std::to_string(length);
    return false;
  }
  return true;
}

bool add_fault(const std::string& value, sim_options& options, std::string& error) {
  const auto rule = parse_fault(value, error);
  if (rule) options.faults.push_back(*rule);
  return rule.has_value();
}

struct option_row {
  std::string_view name;
  std::string_view argument;  // empty: a flag, which takes no value
  option_parser parse;
  std::string_view help;
};

// Every option the simulator takes, in the order the usage text shows them.
const option_row option_table[] = {
    {"--link", "PATH", read_path<&sim_options::link_path>,
     "also make a symlink to the pty (use it as --port PATH)"},
    {"--log", "PATH", read_path<&sim_options::log_path>,
     "log every byte received and sent, with monotonic timestamps"},
    {"--once", "", set_flag<&sim_options::once>,
     "exit when the programmer closes the port (or nobody opens it within 60 s)"},
    {"--ready-file", "PATH", read_path<&sim_options::ready_file>,
     "write the pty's path to PATH once the port can be opened"},
    {"--baud", "B", read_number<&sim_options::baud>,
     "pace bytes at B baud in both directions, as a real line would"},
    {"--erase-ms", "MS", read_number<&sim_options::erase_ms>, "how long one sector erase takes"},
    {"--latency", "MS", read_number<&sim_options::latency_ms>,
     "answer through a modelled USB adapter whose latency timer is MS"},
    {"--chatter", "HEX", read_hex<&sim_options::chatter>,
     "bytes already on the line before the port is opened"},
    {"--on-open", "HEX", read_hex<&sim_options::on_open>,
     "bytes sent as soon as the port is opened"},
    {"--load", "ADDR:PATH", add_load, "preload memory from a file; again for more"},
    {"--dump", "ADDR:SIZE:PATH", add_dump, "write memory to a file at exit; again for more"},
    {"--board-id", "ADDR:HEX", set_board_id,
     "the board's unique id at ADDR (ADDR:random[:N] draws N bytes)"},
    {"--fault", "STEP:KIND[:ARG][@N]", add_fault, "inject a fault; again for more"},
    {"--wiring", "RESET:BOOT[:MS]", read_wiring,
     "the boot loader only through these reset and boot pins"},
    {"--app-text", "TEXT", read_board_text<&board_setup::app_text>,
     "its application answers a start byte with TEXT"},
    {"--app-answers", "N", read_app_answers, "its boot loader runs after N such answers"},
    {"--app-banner", "TEXT", read_board_text<&board_setup::app_banner>,
     "its application prints TEXT as it starts"},
    {"--app-every", "MS", read_app_every, "and again every MS milliseconds while it runs"},
    {"--app-crash", "", set_board_flag<&board_setup::app_crash>,
     "its application prints a fault line and restarts every 200 ms"},
    {"--app-after", "MS", read_app_after,
     "its boot loader starts the application after MS ms of quiet (no --wiring)"},
    {"--ignore-starts", "K", read_ignored_starts,
     "the boot loader lets its first K start bytes pass"},
    {"--echo", "", set_board_flag<&board_setup::echo>, "every byte received comes straight back"},
    {"--lines-from", "PATH", read_path<&sim_options::lines_from>,
     "RTS and DTR from a Unix socket at PATH; line 2 says how to send them"},
    {"--max-seconds", "S", read_max_seconds, "exit S seconds after it started, whatever happens"},
    {"--help", "", set_flag<&sim_options::help>, "this text"},
    {"--version", "", set_flag<&sim_options::version>, "the version"},
};

const option_row* find_option(std::string_view name) {
  for (const option_row& row : option_table) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

}  // namespace

std::string sim_usage() {
  std::string text = "usage: vexlor-sim [OPTION]...\n";
  for (const option_row& row : option_table) {
    std::string words = "  " + std::string(row.name);
    if (!row.argument.empty()) words += " " + std::string(row.argument);
    words.resize(std::max<std::size_t>(words.size() + 2, 32), ' ');
    text += words + std::string(row.help) + "\n";
  }
  return text;
}

std::optional<sim_options> parse_sim_options(std::span<const std::string> args,
                                             std::string& error) {
  sim_options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    const option_row* row = find_option(name);
    if (row == nullptr) {
      error = "unknown option '" + name + "'";
      return std::nullopt;
    }
    std::string value;
    if (!row->argument.empty()) {
      if (i + 1 == args.size()) {
        error = name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    error.clear();
    if (!row->parse(value, options, error)) {
      if (error.empty()) error = "bad value for " + name + ": '" + value + "'";
      return std::nullopt;
    }
  }
  if (options.board.app_answers > 0 && (options.board.app_text.empty() || options.board.wiring)) {
    error =
        "--app-answers needs --app-text, and no --wiring: a wired board leaves its application by "
        "a reset";
    return std::nullopt;
  }
  if (options.board.app_every_ms > 0 &&
      (options.board.app_banner.empty() || options.board.app_crash)) {
    error =
        "--app-every needs --app-banner, and no --app-crash: it repeats the banner, which a "
        "crashing application never prints";
    return std::nullopt;
  }
  if (options.board.app_after_ms > 0 && (options.board.wiring || !options.board.app_text.empty())) {
    error =
        "--app-after is for a board not wired whose application answers no start byte: give no "
        "--wiring and no --app-text";
    return std::nullopt;
  }
  return options;
}
