// The command line: any words, any number text. Checks the number rules
// against 64-bit reference arithmetic, and that parse_options only ever
// takes what the words say.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "options/options.h"
#include "serial/port_common.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "options check failed: %s for \"%s\"\n", what, text.c_str());
  std::abort();
}

// The same rule said another way: the value is the sum of each character's
// digit times base^(characters after it), modulo 2^32, summed from the right.
uint32_t reference_number(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  const std::string digits = hex ? text.substr(2) : text;
  uint64_t value = 0;
  uint64_t weight = 1;
  for (auto c = digits.rbegin(); c != digits.rend(); ++c) {
    const int lower = std::tolower(static_cast<unsigned char>(*c));
    uint64_t digit = 0;
    if (std::isdigit(lower)) digit = static_cast<uint64_t>(lower - '0');
    if (hex && std::isxdigit(lower) && !std::isdigit(lower))
      digit = static_cast<uint64_t>(lower - 'a' + 10);
    value = (value + digit * weight) % (uint64_t{1} << 32);
    weight = weight * base % (uint64_t{1} << 32);
  }
  return static_cast<uint32_t>(value);
}

// The leading decimal number through the standard library's own reader,
// saturated where it says the number is out of range.
int32_t reference_decimal(const std::string& text) {
  std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return 0;
  if (text[i] == '+') ++i;
  // "+-5": one sign only, so no number at all.
  if (i > 0 && text[i - 1] == '+' && i < text.size() && text[i] == '-') return 0;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) return text[i] == '-' ? INT32_MIN : INT32_MAX;
  return error == std::errc{} ? value : 0;
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
    if (parse_number(w) != reference_number(w)) fail("parse_number differs from the reference", w);
    if (parse_decimal(w) != reference_decimal(w))
      fail("parse_decimal differs from the reference", w);
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
