#include "text/visible_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence at `at` when it is a well-formed one
// that encodes a character a terminal prints (not C1, not a surrogate);
// 0 otherwise.
std::size_t printable_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead >= 0x20 && lead < 0x7f) return 1;
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool printable = code >= shortest[length] && code >= 0xA0 && code <= 0x10FFFF &&
                         !(code >= 0xD800 && code <= 0xDFFF);
  return printable ? length : 0;
}

}  // namespace

std::string visible_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t length = printable_length(text, at)) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[at]));
    out += escape;
    ++at;
  }
  return out;
}

bool has_invisible_bytes(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = printable_length(text, at);
    if (length == 0) return true;
    at += length;
  }
  return false;
}
