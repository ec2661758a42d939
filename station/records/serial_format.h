// How a board's serial number is laid out in its flash: the bytes a patch
// puts into the image at the address the firmware reserves for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class serial_layout { u32le, u32be, u64le, u64be, decimal };

struct serial_format {
  serial_layout layout = serial_layout::u32le;
  std::size_t digits = 0;  // dec:W only: W
};

// The most bytes one patch carries, and so the widest dec:W.
inline constexpr std::size_t max_serial_digits = 256;

// The FORMAT word: u32le, u32be, u64le, u64be, or dec:W (W ASCII decimal
// digits, zero-padded, 1 to 256). False, and why, for any other word.
bool parse_serial_format(std::string_view word, serial_format& format, std::string& why);

// The bytes that hold `number` in `format`. False, and why, when the number
// does not fit: above 32 bits for u32, more digits than W for dec:W.
bool serial_bytes(const serial_format& format, uint64_t number, std::vector<uint8_t>& bytes,
                  std::string& why);
