#include "support/image_builders.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

std::string hex_pairs(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

uint8_t byte_sum(const std::vector<uint8_t>& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum);
}

// Splits each piece into records of at most `record_size` bytes that do not
// cross a 64 KiB boundary, and hands each to `emit` with its address.
template <typename emitter>
void each_record(const std::vector<placed_bytes>& pieces, std::size_t record_size, emitter emit) {
  for (const placed_bytes& piece : pieces) {
    for (std::size_t done = 0; done < piece.bytes.size();) {
      const uint64_t address = uint64_t{piece.address} + done;
      const uint64_t to_boundary = 0x10000 - (address & 0xFFFF);
      const std::size_t size = static_cast<std::size_t>(
          std::min<uint64_t>({record_size, piece.bytes.size() - done, to_boundary}));
      const auto first = piece.bytes.begin() + static_cast<std::ptrdiff_t>(done);
      emit(static_cast<uint32_t>(address), std::vector<uint8_t>(first, first + size));
      done += size;
    }
  }
}

void put(std::vector<uint8_t>& file, std::size_t at, uint64_t value, std::size_t width,
         bool big_endian) {
  for (std::size_t i = 0; i < width; ++i) {
    file[at + (big_endian ? width - 1 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

std::string intel_hex_record(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                             static_cast<uint8_t>(offset), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(static_cast<uint8_t>(-byte_sum(bytes)));
  return ":" + hex_pairs(bytes);
}

std::string s_record(char type, uint32_t address, const std::vector<uint8_t>& data) {
  const std::size_t address_size = type == '2' || type == '6' || type == '8' ? 3
                                   : type == '3' || type == '7'              ? 4
                                                                             : 2;
  std::vector<uint8_t> bytes{static_cast<uint8_t>(address_size + data.size() + 1)};
  for (std::size_t i = address_size; i-- > 0;)
    bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(static_cast<uint8_t>(0xFF - byte_sum(bytes)));
  return std::string("S") + type + hex_pairs(bytes);
}

std::string intel_hex_file(const std::vector<placed_bytes>& pieces, std::size_t record_size) {
  std::string text;
  long upper = -1;
  each_record(pieces, record_size, [&](uint32_t address, const std::vector<uint8_t>& data) {
    if (static_cast<long>(address >> 16) != upper) {
      upper = address >> 16;
      text +=
          intel_hex_record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}) +
          "\n";
    }
    text += intel_hex_record(0, static_cast<uint16_t>(address), data) + "\n";
  });
  return text + intel_hex_record(1, 0, {}) + "\n";
}

std::string s_record_file(const std::vector<placed_bytes>& pieces, std::size_t record_size) {
  std::string text = s_record('0', 0, {'t', 'e', 's', 't'}) + "\n";
  each_record(pieces, record_size, [&](uint32_t address, const std::vector<uint8_t>& data) {
    text += s_record('3', address, data) + "\n";
  });
  return text + s_record('7', pieces.empty() ? 0 : pieces.front().address, {}) + "\n";
}

std::vector<uint8_t> elf_file(bool wide, bool big_endian,
                              const std::vector<elf_program>& programs) {
  const std::size_t header_size = wide ? 64 : 52;
  const std::size_t entry_size = wide ? 56 : 32;
  const std::size_t word = wide ? 8 : 4;
  std::vector<uint8_t> file(header_size + entry_size * programs.size());
  const uint8_t ident[] = {0x7F,
                           'E',
                           'L',
                           'F',
                           static_cast<uint8_t>(wide ? 2 : 1),
                           static_cast<uint8_t>(big_endian ? 2 : 1),
                           1};
  std::copy(std::begin(ident), std::end(ident), file.begin());
  auto field = [&](std::size_t at, uint64_t value, std::size_t width) {
    put(file, at, value, width, big_endian);
  };
  field(16, 2, 2);     // an executable
  field(18, 0x28, 2);  // for a 32-bit microcontroller
  field(20, 1, 4);
  field(wide ? 32 : 28, header_size, word);  // the program headers follow the file header
  field(wide ? 52 : 40, header_size, 2);
  field(wide ? 54 : 42, entry_size, 2);
  field(wide ? 56 : 44, programs.size(), 2);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    const elf_program& program = programs[i];
    const std::size_t entry = header_size + i * entry_size;
    const uint64_t size = program.bytes.size();
    field(entry, program.type, 4);
    field(entry + (wide ? 8 : 4), file.size(), word);                             // offset
    field(entry + (wide ? 16 : 8), program.physical_address + 0x10000000, word);  // virtual
    field(entry + (wide ? 24 : 12), program.physical_address, word);
    field(entry + (wide ? 32 : 16), size, word);
    field(entry + (wide ? 40 : 20), size + program.memory_tail, word);
    file.insert(file.end(), program.bytes.begin(), program.bytes.end());
  }
  return file;
}

namespace {

std::vector<uint8_t> utf16(const std::string& text, bool big_endian, bool mark) {
  std::vector<uint8_t> bytes;
  if (mark)
    bytes = big_endian ? std::vector<uint8_t>{0xFE, 0xFF} : std::vector<uint8_t>{0xFF, 0xFE};
  for (const char c : text) {
    const auto unit = static_cast<uint8_t>(c);
    bytes.insert(bytes.end(), big_endian ? std::initializer_list<uint8_t>{0, unit}
                                         : std::initializer_list<uint8_t>{unit, 0});
  }
  return bytes;
}

}  // namespace

std::vector<saved_text> as_editors_save(const std::string& text) {
  auto bytes_of = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  std::string crlf, padded, spaced, lower;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    crlf += line + "\r\n";
    padded += line + " \t \n";
    spaced += line + "\n\n";
    start = end + 1;
  }
  for (const char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<saved_text> saved{
      {"utf-8 with a byte-order mark", bytes_of("\xEF\xBB\xBF" + text)},
      {"utf-16 little-endian with its mark", utf16(text, false, true)},
      {"utf-16 little-endian without a mark", utf16(text, false, false)},
      {"utf-16 big-endian with its mark", utf16(crlf, true, true)},
      {"utf-16 big-endian without a mark", utf16(text, true, false)},
      {"crlf", bytes_of(crlf)},
      {"blank lines before, between and after", bytes_of("\n\r\n" + spaced + "\n")},
      {"spaces and tabs at the lines' ends", bytes_of(padded)},
      {"a dos end-of-file byte", bytes_of(crlf + "\x1A")},
  };
  if (text.starts_with('S')) saved.push_back({"lower case", bytes_of(lower)});
  return saved;
}
