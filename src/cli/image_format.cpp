#include "cli/image_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// The bytes a run of hex pairs spells; nothing when it is not one.
std::optional<std::vector<uint8_t>> hex_pairs(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char* pair = text.data() + 2 * i;
    const auto [end, error] = std::from_chars(pair, pair + 2, bytes[i], 16);
    if (error != std::errc{} || end != pair + 2) return std::nullopt;
  }
  return bytes;
}

uint8_t byte_sum(const std::vector<uint8_t>& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum);
}

// The file's lines without their LF or CRLF ends. Line ends after the last
// record are allowed; an empty line between records is not.
std::vector<std::string_view> record_lines(std::span<const uint8_t> image) {
  std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

constexpr uint8_t hex_end_of_file = 0x01;
constexpr uint8_t hex_last_type = 0x05;

// ":" count, address (2 bytes), type, count data bytes, checksum; all bytes
// sum to 0 modulo 256. The end-of-file record is last and only last.
bool is_intel_hex(std::span<const uint8_t> image) {
  const auto lines = record_lines(image);
  if (lines.empty()) return false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i][0] != ':') return false;
    const auto bytes = hex_pairs(lines[i].substr(1));
    if (!bytes || bytes->size() < 5 || bytes->size() != std::size_t{(*bytes)[0]} + 5) return false;
    if (byte_sum(*bytes) != 0) return false;
    const uint8_t type = (*bytes)[3];
    const bool last = i + 1 == lines.size();
    if (type > hex_last_type || (type == hex_end_of_file) != last) return false;
  }
  return true;
}

// Address bytes of S0 to S9; S4 is reserved and never written.
constexpr std::array<uint8_t, 10> s_address_size{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// "S", type digit, count of the bytes that follow, address, data, checksum;
// count through checksum sum to 0xFF modulo 256.
bool is_s_record(std::span<const uint8_t> image) {
  const auto lines = record_lines(image);
  if (lines.empty()) return false;
  for (std::string_view line : lines) {
    if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return false;
    const uint8_t address_size = s_address_size[static_cast<std::size_t>(line[1] - '0')];
    const auto bytes = hex_pairs(line.substr(2));
    if (address_size == 0 || !bytes || bytes->empty()) return false;
    const std::size_t count = (*bytes)[0];
    if (bytes->size() != count + 1 || count < std::size_t{address_size} + 1) return false;
    if (byte_sum(*bytes) != 0xFF) return false;
  }
  return true;
}

}  // namespace

image_format recognise_image_format(std::span<const uint8_t> image) {
  constexpr std::array<uint8_t, 4> elf_magic{0x7F, 'E', 'L', 'F'};
  if (image.size() >= elf_magic.size() &&
      std::equal(elf_magic.begin(), elf_magic.end(), image.begin())) {
    return image_format::elf;
  }
  if (!image.empty() && image[0] == ':' && is_intel_hex(image)) return image_format::intel_hex;
  if (!image.empty() && image[0] == 'S' && is_s_record(image)) return image_format::s_record;
  return image_format::raw;
}

const char* image_format_advice(image_format format) {
  switch (format) {
    case image_format::raw:
      return nullptr;
    case image_format::elf:
      return "this is an elf file, not raw bytes; convert it with: objcopy -O binary IN OUT";
    case image_format::intel_hex:
      return "this is an intel hex file, not raw bytes; convert it with: objcopy -I ihex -O binary "
             "IN OUT";
    case image_format::s_record:
      return "this is an s-record file, not raw bytes; convert it with: objcopy -I srec -O binary "
             "IN OUT";
  }
  return nullptr;
}
