// The command line: any words, any number text. Checks the number rules
// against 64-bit reference arithmetic, and that parse_options only ever
// takes what the words say.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options/options.h"
#include "serial/port_common.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "options check failed: %s for \"%s\"\n", what, text.c_str());
  std::abort();
}

// The same rule said another way: the whole text the standard library's
// number in its base, "0x" or "0X" before hex digits, below 2^32.
std::optional<uint32_t> reference_number(const std::string& text, bool hex_allowed) {
  const bool hex =
      hex_allowed && text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  const bool all_digits = std::all_of(digits.begin(), digits.end(), [&](char c) {
    return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
               : std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  if (digits.empty() || !all_digits) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (error != std::errc{} || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// A number read by `read` as the reference reads it, with a fault when it
// is none.
void check_number(bool (*read)(std::string_view, uint32_t&, std::string&), bool hex_allowed,
                  const std::string& text) {
  uint32_t value = 0;
  std::string fault;
  const bool read_it = read(text, value, fault);
  const std::optional<uint32_t> reference = reference_number(text, hex_allowed);
  if (read_it != reference.has_value()) fail("a number read where the reference reads none", text);
  if (read_it && value != *reference) fail("a number read other than the reference", text);
  if (!read_it && fault.empty()) fail("a number refused without a fault", text);
}

bool any_word_is(const std::vector<std::string>& words, const std::string& text) {
  for (const auto& w : words) {
    if (w == text) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // Words are separated by NUL bytes, as in argv.
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size && words.size() <= 64; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }

  for (const std::string& w : words) {
    check_number(parse_number, true, w);
    check_number(parse_decimal, false, w);
    if (auto number = com_port_number(w); number && "COM" + std::to_string(*number) != w) {
      fail("a COM number that does not spell the name", w);
    }
  }

  run_settings s;
  std::string why;
  if (!parse_options(words, s, why)) {
    if (why.empty()) fail("a usage error that does not say why", "");
    return 0;
  }
  if (s.image_path != "default.bin" && !any_word_is(words, s.image_path)) {
    fail("image path that no word gave", s.image_path);
  }
  if (s.port_name != "COM1" && !any_word_is(words, s.port_name))
    fail("port that no word gave", s.port_name);
  if (s.write && !any_word_is(words, "--write")) fail("--write set without the word", "");
  const bool until_differ = any_word_is(words, "--verify-until-differ");
  if (s.verify && !any_word_is(words, "--verify") && !until_differ) {
    fail("--verify set without the word", "");
  }
  if (s.verify_until_differ && (!until_differ || !s.verify)) {
    fail("--verify-until-differ set without the word, or without a verify", "");
  }
  if (s.json && !any_word_is(words, "--json")) fail("--json set without the word", "");
  if (!any_word_is(words, "--port") && s.port_name != "COM1")
    fail("port changed without --port", s.port_name);
  return 0;
}
