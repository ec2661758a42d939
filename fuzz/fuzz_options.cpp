// The command line: any words, any number text. Checks the number rules
// against 64-bit reference arithmetic, and that parse_options only ever
// takes what the words say.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"
#include "serial/port_common.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "options check failed: %s for \"%s\"\n", what, text.c_str());
  std::abort();
}

// Every character multiplies by the base, digits add; wrapped at the end only.
uint32_t reference_number(const std::string& text) {
  uint64_t base = 10;
  std::size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int c = std::tolower(static_cast<unsigned char>(text[i]));
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    value = (value * base + digit) % (uint64_t{1} << 32);
  }
  return static_cast<uint32_t>(value);
}

int32_t reference_decimal(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;  // capped well above the 32-bit range, so it cannot overflow
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{1} << 40);
  }
  if (negative) value = -value;
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
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

  const run_settings s = parse_options(words);
  if (s.image_path != "default.bin" && !any_word_is(words, s.image_path)) {
    fail("image path that no word gave", s.image_path);
  }
  if (s.port_name != "COM1" && !any_word_is(words, s.port_name))
    fail("port that no word gave", s.port_name);
  if (s.write && !any_word_is(words, "--write")) fail("--write set without the word", "");
  if (s.verify && !any_word_is(words, "--verify")) fail("--verify set without the word", "");
  if (!any_word_is(words, "--port") && s.port_name != "COM1")
    fail("port changed without --port", s.port_name);
  return 0;
}
