#include "text/visible_text.h"

#include <cstdio>

namespace {

// The length of the character at `at` when a terminal prints it as it is
// (printable ASCII, or UTF-8 from U+00A0 on); 0 otherwise.
std::size_t printable_length(std::string_view text, std::size_t at) {
  const auto character = utf8_character_at(text, at);
  if (!character) return 0;
  const bool printable = character->length == 1 ? character->code >= 0x20 && character->code < 0x7f
                                                : character->code >= 0xA0;
  return printable ? character->length : 0;
}

}  // namespace

std::optional<utf8_character> utf8_character_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return utf8_character{lead, 1};
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
    return std::nullopt;
  }
  if (at + length > text.size()) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < shortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return std::nullopt;
  }
  return utf8_character{code, length};
}

std::string visible_text(std::string_view text, std::string_view also_escaped) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (also_escaped.find(text[at]) != std::string_view::npos) {
      out += '\\';
      out += text[at++];
      continue;
    }
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

namespace {

constexpr std::string_view cut_mark = "...";

std::string printable_byte(uint8_t byte) {
  switch (byte) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    default:
      break;
  }
  if (byte >= 0x20 && byte < 0x7f) return std::string(1, static_cast<char>(byte));
  char escape[5];
  std::snprintf(escape, sizeof escape, "\\x%02x", byte);
  return escape;
}

}  // namespace

std::string printable_ascii(std::span<const uint8_t> bytes, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::string piece = printable_byte(bytes[i]);
    const std::size_t room = i + 1 == bytes.size() ? 0 : cut_mark.size();
    if (text.size() + piece.size() + room > most) return text + std::string(cut_mark);
    text += piece;
  }
  return text;
}
