#include "image/image.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <string_view>

#include "image_records.h"

namespace {

struct named_format {
  std::string_view extension;  // lower case, with its dot
  image_format format;
};

// The names builds and tools give these files.
constexpr std::array<named_format, 11> named_formats{{
    {".hex", image_format::intel_hex},
    {".ihex", image_format::intel_hex},
    {".ihx", image_format::intel_hex},
    {".h86", image_format::intel_hex},
    {".srec", image_format::s_record},
    {".s19", image_format::s_record},
    {".s28", image_format::s_record},
    {".s37", image_format::s_record},
    {".mot", image_format::s_record},
    {".elf", image_format::elf},
    {".axf", image_format::elf},
}};

}  // namespace

std::optional<image_format> image_format_by_name(std::string_view path) {
  const std::size_t name_start = path.find_last_of("/\\");
  const std::string_view name =
      path.substr(name_start == std::string_view::npos ? 0 : name_start + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string extension(name.substr(dot));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const named_format& named : named_formats) {
    if (extension == named.extension) return named.format;
  }
  return std::nullopt;
}

image_format recognise_image_format(std::span<const uint8_t> image, std::string_view path) {
  if (const std::optional<image_format> named = image_format_by_name(path)) return *named;
  constexpr std::array<uint8_t, 4> elf_magic{0x7F, 'E', 'L', 'F'};
  if (image.size() >= elf_magic.size() &&
      std::equal(elf_magic.begin(), elf_magic.end(), image.begin())) {
    return image_format::elf;
  }
  return record_format_of_first_line(image);
}

const char* image_format_name(image_format format) {
  // In image_format's order.
  constexpr const char* names[] = {"raw bytes", "an elf file", "an intel hex file",
                                   "an s-record file"};
  return names[static_cast<std::size_t>(format)];
}

const char* image_format_word(image_format format) {
  // In image_format's order: --format's words.
  constexpr const char* words[] = {"bin", "elf", "ihex", "srec"};
  return words[static_cast<std::size_t>(format)];
}
