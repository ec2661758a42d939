// Text from outside (a port's name, a run's reason, the name of a program
// that holds a port) as it may reach a terminal: its control characters made
// visible, so that nobody's port name can clear the operator's screen, write
// the clipboard or forge a result line. vexlor-prog and vexlor-flash-all show
// every such text through here; JSON and XML escape in their own ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The UTF-8 character at `at`: its length in bytes, with its code point in
// `code`; 0 where the bytes there are no well-formed character (a stray
// byte, a cut or overlong sequence, a surrogate, past U+10FFFF).
std::size_t utf8_character(const std::string& text, std::size_t at, uint32_t& code);

// `text` with every control character as \xNN, one escape per byte: C0
// (line breaks and tabs too), DEL, C1 (U+0080 to U+009F) and any byte
// that is no part of a well-formed UTF-8 character, among which the raw
// 0x80 to 0x9F that some terminals take as C1. An escape sequence so loses
// its ESC or CSI and shows as plain text. Every other character stays as it
// is; so do the characters of `also_escaped`, each then after a backslash
// (for a quoted field: "\"\\").
std::string visible_text(const std::string& text, const char* also_escaped = "");
