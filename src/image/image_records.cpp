#include "image_records.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "text/hex_text.h"

namespace {

std::string_view as_text(std::span<const uint8_t> file) {
  return {reinterpret_cast<const char*>(file.data()), file.size()};
}

// Takes the next line off `rest`. Lines end in LF, CRLF or a lone CR, as
// editors and tools on every platform leave them.
bool next_line(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  const std::size_t end = rest.find_first_of("\r\n");
  line = rest.substr(0, end);
  if (end == std::string_view::npos) {
    rest = {};
    return true;
  }
  const bool crlf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
  rest.remove_prefix(end + (crlf ? 2 : 1));
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
  if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
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

template <typename record_type, typename decoder>
bool first_line_decodes(std::span<const uint8_t> file, decoder decode) {
  std::string_view rest = as_text(file);
  std::string_view line;
  std::vector<uint8_t> bytes;
  record_type record;
  std::string fault;
  return next_line(rest, line) && decode(line, bytes, record, fault);
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
  std::string_view rest = as_text(file);
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

bool begins_with_intel_hex_record(std::span<const uint8_t> file) {
  return first_line_decodes<text_record>(file, decode_intel_hex);
}

bool begins_with_s_record(std::span<const uint8_t> file) {
  return first_line_decodes<text_record>(file, decode_s_record);
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
