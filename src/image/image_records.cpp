#include "image_records.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "text/hex_text.h"

namespace {

std::string_view as_text(std::span<const uint8_t> file) {
  return {reinterpret_cast<const char*>(file.data()), file.size()};
}

// A file's characters, one byte each, as the readers take its lines.
struct record_text {
  std::string decoded;  // the characters of a UTF-16 file
  std::string_view text;
};

constexpr std::array<uint8_t, 3> utf8_mark{0xEF, 0xBB, 0xBF};
constexpr char dos_end_of_file = 0x1A;
// What a UTF-16 character beyond ASCII reads as: no record holds it, so
// its line is refused rather than read as some other character.
constexpr char beyond_ascii = '\xFF';

bool begins_with(std::span<const uint8_t> file, std::span<const uint8_t> mark) {
  return file.size() >= mark.size() && std::equal(mark.begin(), mark.end(), file.begin());
}

// UTF-16 without its mark, told by every character being ASCII: each
// pair of bytes a character from 0x01 to 0x7f.
bool utf16_of_ascii(std::span<const uint8_t> file, bool big_endian) {
  if (file.empty() || file.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    const uint8_t low = file[i + (big_endian ? 1 : 0)];
    const uint8_t high = file[i + (big_endian ? 0 : 1)];
    if (high != 0 || low == 0 || low > 0x7F) return false;
  }
  return true;
}

// The file as a Windows editor, PowerShell's ">" or a DOS tool may have
// saved it: a UTF-8 byte-order mark is no character, UTF-16 is read as its
// characters, and a DOS end-of-file byte at the end ends it.
record_text text_of(std::span<const uint8_t> file) {
  constexpr std::array<uint8_t, 2> little_mark{0xFF, 0xFE};
  constexpr std::array<uint8_t, 2> big_mark{0xFE, 0xFF};
  record_text read;
  std::optional<bool> utf16_big_endian;
  std::size_t mark = 0;
  if (begins_with(file, utf8_mark)) {
    mark = utf8_mark.size();
  } else if (begins_with(file, little_mark) || begins_with(file, big_mark)) {
    utf16_big_endian = file[0] == big_mark[0];
    mark = 2;
  } else if (utf16_of_ascii(file, false) || utf16_of_ascii(file, true)) {
    utf16_big_endian = file[0] == 0;
  }
  const std::span<const uint8_t> rest = file.subspan(mark);
  if (utf16_big_endian) {
    read.decoded.reserve(rest.size() / 2 + 1);
    for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
      const unsigned unit =
          *utf16_big_endian ? rest[i] << 8 | rest[i + 1] : rest[i + 1] << 8 | rest[i];
      read.decoded += unit <= 0x7F ? static_cast<char>(unit) : beyond_ascii;
    }
    if (rest.size() % 2 != 0) read.decoded += beyond_ascii;  // half a character
    read.text = read.decoded;
  } else {
    read.text = as_text(rest);
  }
  if (read.text.ends_with(dos_end_of_file)) read.text.remove_suffix(1);
  return read;
}

// Takes the next line off `rest`, without the spaces and tabs at its end.
// Lines end in LF, CRLF or a lone CR, as editors and tools on every
// platform leave them.
bool next_line(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  const std::size_t end = rest.find_first_of("\r\n");
  line = rest.substr(0, end);
  if (end == std::string_view::npos) {
    rest = {};
  } else {
    const bool crlf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
    rest.remove_prefix(end + (crlf ? 2 : 1));
  }
  const std::size_t last = line.find_last_not_of(" \t");
  line = line.substr(0, last == std::string_view::npos ? 0 : last + 1);
  return true;
}

std::string hex_byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value & 0xFFu);
  return text;
}

// A count byte states at most 255 data bytes; the frame around them adds
// at most 5 (Intel HEX's count, address, type and checksum).
constexpr std::size_t longest_record = 260;

// The bytes a run of hex digit pairs spells. The fault never quotes the
// line: a file's bytes may hold anything, terminal controls included.
bool hex_pairs(std::string_view text, std::vector<uint8_t>& bytes, std::string& fault) {
  // Raw firmware that begins with ':' or 'S' may have no line end for
  // megabytes: no need to decode them to know they are no record.
  if (text.size() > 2 * longest_record) {
    fault = "longer than any record";
    return false;
  }
  if (!hex_bytes(text.substr(0, text.size() / 2 * 2), bytes)) {
    fault = "a character that is no hex digit";
    return false;
  }
  if (text.size() % 2 != 0) {
    fault = "an odd number of hex digits";
    return false;
  }
  return true;
}

unsigned byte_sum(const std::vector<uint8_t>& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum & 0xFFu;
}

std::string at_line(uint32_t number, const std::string& fault) {
  return "line " + std::to_string(number) + ": " + fault;
}

// Intel HEX: ":", then count, address (2 bytes, most significant first),
// type, count data bytes and a checksum, all in hex pairs; every byte after
// the ":" sums to 0 modulo 256.
enum hex_type : uint8_t {
  hex_data,
  hex_end_of_file,
  hex_extended_segment,  // address bits 4..19, for 8086-style segments
  hex_start_segment,
  hex_extended_linear,  // address bits 16..31
  hex_start_linear,
};
// One record of either format, decoded: its type (Intel HEX: the type byte;
// S-records: the type digit as a character), its address field (Intel HEX:
// the 16-bit offset) and its data.
struct text_record {
  unsigned type;
  uint32_t address;
  std::span<const uint8_t> data;
};

constexpr std::size_t hex_frame_size = 5;  // count, address, type, checksum
// What each type but data must hold.
constexpr std::array<std::size_t, 6> hex_type_size{0, 0, 2, 4, 2, 4};
constexpr uint64_t hex_segment_span = 0x10000;

bool decode_intel_hex(std::string_view line, std::vector<uint8_t>& bytes, text_record& record,
                      std::string& fault) {
  if (line.empty() || line[0] != ':') {
    fault = "not an intel hex record: no ':' at its start";
    return false;
  }
  if (!hex_pairs(line.substr(1), bytes, fault)) return false;
  if (bytes.size() < hex_frame_size) {
    fault = "too short for an intel hex record";
    return false;
  }
  if (bytes.size() != bytes[0] + hex_frame_size) {
    fault = "its count says " + std::to_string(bytes[0]) + " data bytes, it holds " +
            std::to_string(bytes.size() - hex_frame_size);
    return false;
  }
  if (byte_sum(bytes) != 0) {
    fault = "checksum mismatch: its bytes sum to " + hex_byte(byte_sum(bytes)) + ", not 0";
    return false;
  }
  record.type = bytes[3];
  if (record.type >= hex_type_size.size()) {
    fault = "unknown record type " + hex_byte(record.type);
    return false;
  }
  record.address = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
  record.data = std::span<const uint8_t>(bytes).subspan(4, bytes[0]);
  return true;
}

uint64_t big_endian_value(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

// S-records: "S", the type digit, then count, address, data and checksum in
// hex pairs; the count covers address, data and checksum, and count through
// checksum sum to 0xff modulo 256. S4 is reserved and never written.
constexpr std::array<std::size_t, 10> s_address_size{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
constexpr char s_header = '0';
constexpr char s_last_data = '3';
constexpr char s_first_count = '5';
constexpr char s_last_count = '6';

bool decode_s_record(std::string_view line, std::vector<uint8_t>& bytes, text_record& record,
                     std::string& fault) {
  // A lower-case "s" is an S-record all the same, as lower-case hex digits
  // are its digits: a file some tool wrote in lower case.
  if (line.size() < 2 || (line[0] != 'S' && line[0] != 's') || line[1] < '0' || line[1] > '9') {
    fault = "not an s-record: no 'S' and type digit at its start";
    return false;
  }
  record.type = static_cast<unsigned char>(line[1]);
  const std::size_t address_size = s_address_size[static_cast<std::size_t>(line[1] - '0')];
  if (address_size == 0) {
    fault = "record type S4, which is reserved";
    return false;
  }
  if (!hex_pairs(line.substr(2), bytes, fault)) return false;
  if (bytes.empty() || bytes[0] < address_size + 1) {
    fault = "too short for an S" + std::string(1, static_cast<char>(record.type)) + " record";
    return false;
  }
  if (bytes.size() != bytes[0] + std::size_t{1}) {
    fault = "its count says " + std::to_string(bytes[0]) + " bytes follow, " +
            std::to_string(bytes.size() - 1) + " do";
    return false;
  }
  if (byte_sum(bytes) != 0xFF) {
    fault = "checksum mismatch: its bytes sum to " + hex_byte(byte_sum(bytes)) + ", not 0xff";
    return false;
  }
  const std::span<const uint8_t> fields(bytes);
  record.address = static_cast<uint32_t>(big_endian_value(fields.subspan(1, address_size)));
  record.data = fields.subspan(1 + address_size, bytes.size() - address_size - 2);
  return true;
}

bool all_hex_digits(std::string_view text) {
  return !text.empty() &&
         text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

void add_piece(std::vector<image_piece>& pieces, std::vector<uint8_t>& data, uint64_t address,
               std::span<const uint8_t> bytes, uint32_t line) {
  if (bytes.empty()) return;
  pieces.push_back(
      {.address = address, .size = bytes.size(), .offset = data.size(), .origin = line});
  data.insert(data.end(), bytes.begin(), bytes.end());
}

// What both formats share: one record per line, empty lines skipped,
// nothing after the end record, and the end record required, since a file
// cut at a line end would otherwise lose its tail unnoticed. `take` handles
// one decoded record: false with a fault, `ended` set by the end record.
template <typename record_type, typename decoder, typename taker>
bool read_record_lines(std::span<const uint8_t> file, const char* end_record, decoder decode,
                       taker take, const std::vector<image_piece>& pieces, std::string& why) {
  const record_text read = text_of(file);
  std::string_view rest = read.text;
  std::string_view line;
  std::vector<uint8_t> bytes;
  std::string fault;
  uint32_t number = 0;
  uint32_t end_line = 0;
  while (next_line(rest, line)) {
    ++number;
    if (line.empty()) continue;
    if (end_line != 0) {
      why = at_line(number, std::string("a record after the ") + end_record + " of line " +
                                std::to_string(end_line));
      return false;
    }
    record_type record;
    bool ended = false;
    if (!decode(line, bytes, record, fault) || !take(record, number, ended, fault)) {
      why = at_line(number, fault);
      return false;
    }
    if (ended) end_line = number;
  }
  if (end_line == 0) {
    why = std::string("no ") + end_record + " after line " + std::to_string(number) +
          ": the file may be cut short";
    return false;
  }
  if (pieces.empty()) {
    why = "no data records: nothing to program";
    return false;
  }
  return true;
}

}  // namespace

image_format record_format_of_first_line(std::span<const uint8_t> file) {
  const record_text read = text_of(file);
  std::string_view rest = read.text;
  std::string_view line;
  while (next_line(rest, line)) {
    if (line.empty()) continue;
    if (line[0] == ':' && all_hex_digits(line.substr(1))) return image_format::intel_hex;
    const bool s_and_digit =
        line.size() >= 2 && (line[0] == 'S' || line[0] == 's') && line[1] >= '0' && line[1] <= '9';
    if (s_and_digit && all_hex_digits(line.substr(2))) return image_format::s_record;
    break;
  }
  return image_format::raw;
}

bool read_intel_hex_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                           std::vector<uint8_t>& data, std::string& why) {
  uint64_t base = 0;
  bool segmented = false;  // offsets wrap inside a 64 KiB segment
  auto take = [&](const text_record& record, uint32_t line, bool& ended, std::string& fault) {
    const std::size_t expected = hex_type_size[record.type];
    if (record.type != hex_data && record.data.size() != expected) {
      fault = "a type " + hex_byte(record.type) + " record holds " + std::to_string(expected) +
              " data bytes, this one " + std::to_string(record.data.size());
      return false;
    }
    const uint64_t value = big_endian_value(record.data);
    switch (record.type) {
      case hex_data:
        // A data record that wraps inside its segment would put its tail at
        // the segment's start: no tool writes one on purpose.
        if (segmented && record.address + record.data.size() > hex_segment_span) {
          fault = "its data runs past the end of its 64 KiB segment";
          return false;
        }
        add_piece(pieces, data, base + record.address, record.data, line);
        break;
      case hex_end_of_file:
        ended = true;
        break;
      case hex_extended_segment:
        base = value << 4;
        segmented = true;
        break;
      case hex_extended_linear:
        base = value << 16;
        segmented = false;
        break;
      default:  // a start address: where a debugger begins, nothing to flash
        break;
    }
    return true;
  };
  return read_record_lines<text_record>(file, "end-of-file record", decode_intel_hex, take, pieces,
                                        why);
}

bool read_s_record_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                          std::vector<uint8_t>& data, std::string& why) {
  uint64_t data_records = 0;
  auto take = [&](const text_record& record, uint32_t line, bool& ended, std::string& fault) {
    if (record.type == s_header) return true;
    if (record.type <= s_last_data) {
      ++data_records;
      add_piece(pieces, data, record.address, record.data, line);
      return true;
    }
    // A count or an end record holds its number in the address field.
    if (!record.data.empty()) {
      fault = "an S" + std::string(1, static_cast<char>(record.type)) +
              " record carries no data, this one " + std::to_string(record.data.size()) + " bytes";
      return false;
    }
    const bool count = record.type >= s_first_count && record.type <= s_last_count;
    // The count exists to catch records lost on the way.
    if (count && record.address != data_records) {
      fault = "the count record says " + std::to_string(record.address) + " data records, " +
              std::to_string(data_records) + " came before it";
      return false;
    }
    ended = !count;
    return true;
  };
  return read_record_lines<text_record>(file, "end record", decode_s_record, take, pieces, why);
}
