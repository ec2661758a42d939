#include "cli/visible_text.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t last_c0 = 0x1F;
constexpr uint32_t del = 0x7F;
constexpr uint32_t first_c1 = 0x80;
constexpr uint32_t last_c1 = 0x9F;

bool is_control(uint32_t code) {
  return code <= last_c0 || code == del || (code >= first_c1 && code <= last_c1);
}

void append_escaped_bytes(std::string& out, const std::string& text, std::size_t at,
                          std::size_t length) {
  for (std::size_t i = at; i < at + length; ++i) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
    out += escape;
  }
}

}  // namespace

std::size_t utf8_character(const std::string& text, std::size_t at, uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
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
  const bool well_formed =
      code >= shortest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
  return well_formed ? length : 0;
}

std::string visible_text(const std::string& text, const char* also_escaped) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    uint32_t code = 0;
    const std::size_t length = utf8_character(text, at, code);
    if (length == 0) {
      append_escaped_bytes(out, text, at, 1);
      ++at;
      continue;
    }
    if (is_control(code)) {
      append_escaped_bytes(out, text, at, length);
    } else {
      if (length == 1 && std::strchr(also_escaped, text[at]) != nullptr) out += '\\';
      out.append(text, at, length);
    }
    at += length;
  }
  return out;
}
