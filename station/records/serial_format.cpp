#include "records/serial_format.h"

#include <charconv>
#include <limits>

namespace {

struct layout_name {
  std::string_view word;
  serial_layout layout;
  std::size_t bytes;
  bool little_endian;
};

const layout_name binary_layouts[] = {
    {"u32le", serial_layout::u32le, 4, true},
    {"u32be", serial_layout::u32be, 4, false},
    {"u64le", serial_layout::u64le, 8, true},
    {"u64be", serial_layout::u64be, 8, false},
};

constexpr std::string_view decimal_prefix = "dec:";

}  // namespace

bool parse_serial_format(std::string_view word, serial_format& format, std::string& why) {
  for (const layout_name& name : binary_layouts) {
    if (word == name.word) {
      format = {name.layout, 0};
      return true;
    }
  }
  if (word.starts_with(decimal_prefix)) {
    const std::string_view width = word.substr(decimal_prefix.size());
    std::size_t digits = 0;
    const auto [end, error] = std::from_chars(width.data(), width.data() + width.size(), digits);
    if (!width.empty() && error == std::errc{} && end == width.data() + width.size() &&
        digits >= 1 && digits <= max_serial_digits) {
      format = {serial_layout::decimal, digits};
      return true;
    }
    why = "dec:W needs W from 1 to " + std::to_string(max_serial_digits) + " digits";
    return false;
  }
  why = "the serial number format is one of u32le, u32be, u64le, u64be, dec:W";
  return false;
}

bool serial_bytes(const serial_format& format, uint64_t number, std::vector<uint8_t>& bytes,
                  std::string& why) {
  bytes.clear();
  if (format.layout == serial_layout::decimal) {
    const std::string digits = std::to_string(number);
    if (digits.size() > format.digits) {
      why = "serial number " + digits + " has more than the " + std::to_string(format.digits) +
            " digits of dec:" + std::to_string(format.digits);
      return false;
    }
    bytes.assign(format.digits - digits.size(), '0');
    bytes.insert(bytes.end(), digits.begin(), digits.end());
    return true;
  }
  for (const layout_name& name : binary_layouts) {
    if (name.layout != format.layout) continue;
    if (name.bytes == 4 && number > std::numeric_limits<uint32_t>::max()) {
      why = "serial number " + std::to_string(number) + " does not fit the 32 bits of " +
            std::string(name.word);
      return false;
    }
    for (std::size_t i = 0; i < name.bytes; ++i) {
      const std::size_t shift = 8 * (name.little_endian ? i : name.bytes - 1 - i);
      bytes.push_back(static_cast<uint8_t>(number >> shift));
    }
  }
  return true;
}
