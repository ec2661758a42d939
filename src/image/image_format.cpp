#include "image/image.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "image_records.h"

image_format recognise_image_format(std::span<const uint8_t> image) {
  constexpr std::array<uint8_t, 4> elf_magic{0x7F, 'E', 'L', 'F'};
  if (image.size() >= elf_magic.size() &&
      std::equal(elf_magic.begin(), elf_magic.end(), image.begin())) {
    return image_format::elf;
  }
  if (begins_with_intel_hex_record(image)) return image_format::intel_hex;
  if (begins_with_s_record(image)) return image_format::s_record;
  return image_format::raw;
}

const char* image_format_name(image_format format) {
  // In image_format's order.
  constexpr const char* names[] = {"raw bytes", "an elf file", "an intel hex file",
                                   "an s-record file"};
  return names[static_cast<std::size_t>(format)];
}
