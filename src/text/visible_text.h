// Text from outside (a port name, a path, a program's name, a run's output)
// as a terminal may show it: a control character reaching a terminal raw
// can clear the screen, move the cursor over an earlier line, or set the
// clipboard, and a line break can forge a line of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// `text` with every control character made visible as \xNN: C0 (tab and
// line breaks included), DEL, C1 (raw or UTF-8 encoded) and every byte that
// is not UTF-8. An escape sequence so loses its ESC or CSI and shows as plain
// text. Printable ASCII and UTF-8 text pass as they are; so do the
// characters of `also_escaped`, each then after a backslash (for a quoted
// field: "\"\\").
std::string visible_text(std::string_view text, std::string_view also_escaped = {});

// True when visible_text would change `text`.
bool has_invisible_bytes(std::string_view text);

// One character of UTF-8 text: its code point and how many bytes it takes.
struct utf8_character {
  uint32_t code = 0;
  std::size_t length = 0;
};

// The character at `at` when the bytes there are well-formed UTF-8 (the
// shortest form, no surrogate, at most U+10FFFF); nullopt otherwise.
std::optional<utf8_character> utf8_character_at(std::string_view text, std::size_t at);

// Bytes from outside as printable ASCII, fit for a terminal and for a
// quoted field: \r, \n, \t, \", \\ and \xHH stand for what is not
// printable as it is. Longer than `most` characters, it is cut, never
// inside an escape, and ends in "...".
std::string printable_ascii(std::span<const uint8_t> bytes, std::size_t most);
