// SHA-256 of the image, so a record of the run names exactly the bytes that
// were programmed. Written here rather than taken from a library because the
// tool is also built fully static, for Windows and for a bare Linux guest.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// 64 lower-case hex digits.
std::string sha256_hex(std::span<const uint8_t> bytes);

// The same of the pieces one after another, without joining them.
std::string sha256_hex(std::span<const std::span<const uint8_t>> pieces);
