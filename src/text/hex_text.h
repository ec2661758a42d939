// Bytes as hex digits, the way a board's id, a patch and the simulator's
// byte options are written: two digits a byte, no separators.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Two lower-case hex digits a byte.
std::string hex_text(std::span<const uint8_t> bytes);

// The bytes an even number of hex digits (either case) stand for; false,
// leaving `bytes` unspecified, for any other text.
bool hex_bytes(std::string_view text, std::vector<uint8_t>& bytes);
