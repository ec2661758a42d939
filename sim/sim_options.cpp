#include "sim_options.h"

#include "text_numbers.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 11> valued_options{
    "--link", "--log",  "--baud",  "--erase-ms",    "--latency", "--chatter",
    "--on-open", "--load", "--dump", "--fault", "--max-seconds",
};

bool takes_value(std::string_view name)
{
  for (auto option : valued_options) {
    if (option == name) return true;
  }
  return false;
}

// Decimal, or hex with a 0x prefix; the whole text must be the number.
bool parse_u32(std::string_view text, uint32_t& value)
{
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  return parse_whole_unsigned(text, value, base);
}

int hex_digit(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex_bytes(std::string_view text, std::vector<uint8_t>& bytes)
{
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = hex_digit(text[i]);
    int low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

bool parse_seconds(const std::string& text, double& value)
{
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0 && std::isfinite(value) && value > 0;
}

bool parse_load(std::string_view text, memory_load& load)
{
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon + 1 == text.size()) return false;
  load.path = std::string(text.substr(colon + 1));
  return parse_u32(text.substr(0, colon), load.address);
}

bool parse_dump(std::string_view text, memory_dump& dump)
{
  auto first = text.find(':');
  if (first == std::string_view::npos) return false;
  auto second = text.find(':', first + 1);
  if (second == std::string_view::npos || second + 1 == text.size()) return false;
  dump.path = std::string(text.substr(second + 1));
  return parse_u32(text.substr(0, first), dump.address) &&
         parse_u32(text.substr(first + 1, second - first - 1), dump.size);
}

}  // namespace

std::optional<sim_options> parse_sim_options(std::span<const std::string> args, std::string& error)
{
  sim_options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--once") {
      options.once = true;
      continue;
    }
    if (!takes_value(name)) {
      error = "unknown option '" + name + "'";
      return std::nullopt;
    }
    if (i + 1 == args.size()) {
      error = name + " needs a value";
      return std::nullopt;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (name == "--link") {
      options.link_path = value;
      ok = !value.empty();
    } else if (name == "--log") {
      options.log_path = value;
      ok = !value.empty();
    } else if (name == "--baud") {
      ok = parse_u32(value, options.baud);
    } else if (name == "--erase-ms") {
      ok = parse_u32(value, options.erase_ms);
    } else if (name == "--latency") {
      ok = parse_u32(value, options.latency_ms);
    } else if (name == "--chatter") {
      ok = parse_hex_bytes(value, options.chatter);
    } else if (name == "--on-open") {
      ok = parse_hex_bytes(value, options.on_open);
    } else if (name == "--load") {
      ok = parse_load(value, options.loads.emplace_back());
    } else if (name == "--dump") {
      ok = parse_dump(value, options.dumps.emplace_back());
    } else if (name == "--max-seconds") {
      ok = parse_seconds(value, options.max_seconds);
    } else {
      auto rule = parse_fault(value, error);
      if (!rule) return std::nullopt;
      options.faults.push_back(*rule);
    }
    if (!ok) {
      error = "bad value for " + name + ": '" + value + "'";
      return std::nullopt;
    }
  }
  return options;
}
