#include "image_elf.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<uint8_t, 4> elf_magic{0x7F, 'E', 'L', 'F'};
constexpr std::size_t ident_size = 16;
constexpr std::size_t class_at = 4;       // 1: 32-bit, 2: 64-bit
constexpr std::size_t byte_order_at = 5;  // 1: little-endian, 2: big-endian
constexpr uint32_t loadable = 1;          // PT_LOAD

// Where the fields a flash needs sit in each class's file header and
// program header, and how wide the wide ones are.
struct elf_layout {
  std::size_t header_size;
  std::size_t table_offset_at;  // e_phoff
  std::size_t entry_size_at;    // e_phentsize
  std::size_t entry_count_at;   // e_phnum
  std::size_t entry_size;
  std::size_t file_offset_at;       // p_offset
  std::size_t physical_address_at;  // p_paddr
  std::size_t file_size_at;         // p_filesz
  std::size_t word;                 // the width of offsets, addresses and sizes
};

constexpr elf_layout elf32{52, 28, 42, 44, 32, 4, 12, 16, 4};
constexpr elf_layout elf64{64, 32, 54, 56, 56, 8, 24, 32, 8};

// An unsigned field of `width` bytes at `at`, which the caller has checked
// lies inside the file.
uint64_t field(std::span<const uint8_t> file, std::size_t at, std::size_t width, bool big_endian) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const uint8_t byte = file[at + (big_endian ? i : width - 1 - i)];
    value = value << 8 | byte;
  }
  return value;
}

}  // namespace

bool read_elf_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                     std::string& why) {
  if (file.size() < ident_size || !std::equal(elf_magic.begin(), elf_magic.end(), file.begin())) {
    why = "not an elf file: it does not begin with the elf magic and identification";
    return false;
  }
  const uint8_t elf_class = file[class_at];
  const uint8_t byte_order = file[byte_order_at];
  if (elf_class != 1 && elf_class != 2) {
    why = "unknown elf class " + std::to_string(elf_class) + ": neither 32- nor 64-bit";
    return false;
  }
  if (byte_order != 1 && byte_order != 2) {
    why =
        "unknown elf byte order " + std::to_string(byte_order) + ": neither little- nor big-endian";
    return false;
  }
  const elf_layout& layout = elf_class == 1 ? elf32 : elf64;
  const bool big_endian = byte_order == 2;
  if (file.size() < layout.header_size) {
    why = "elf header cut short: the file holds " + std::to_string(file.size()) + " of its " +
          std::to_string(layout.header_size) + " bytes";
    return false;
  }
  const uint64_t table = field(file, layout.table_offset_at, layout.word, big_endian);
  const uint64_t entry_size = field(file, layout.entry_size_at, 2, big_endian);
  const uint64_t count = field(file, layout.entry_count_at, 2, big_endian);
  if (count != 0 && entry_size < layout.entry_size) {
    why = "program headers of " + std::to_string(entry_size) + " bytes, fewer than the " +
          std::to_string(layout.entry_size) + " of one entry";
    return false;
  }
  // Both counts are 16-bit: their product cannot overflow.
  if (table > file.size() || count * entry_size > file.size() - table) {
    why = "the program headers run past the end of the file";
    return false;
  }
  uint64_t loaded = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const auto entry = static_cast<std::size_t>(table + index * entry_size);
    const uint64_t offset = field(file, entry + layout.file_offset_at, layout.word, big_endian);
    const uint64_t size = field(file, entry + layout.file_size_at, layout.word, big_endian);
    if (field(file, entry, 4, big_endian) != loadable || size == 0) continue;
    if (offset > file.size() || size > file.size() - offset) {
      why = "program header " + std::to_string(index) + ": its bytes run past the end of the file";
      return false;
    }
    // Headers that load the same file bytes again and again would make a
    // small file ask for gigabytes; a linker gives each byte one place.
    loaded += size;
    if (loaded > file.size()) {
      why = "the program headers load more bytes than the file holds";
      return false;
    }
    pieces.push_back(
        {.address = field(file, entry + layout.physical_address_at, layout.word, big_endian),
         .size = size,
         .offset = offset,
         .origin = static_cast<uint32_t>(index)});
  }
  if (pieces.empty()) {
    why = "no loadable bytes: no program header loads bytes from the file";
    return false;
  }
  return true;
}
