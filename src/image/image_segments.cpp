#include "image/image.h"

#include <algorithm>
#include <cstdio>

#include "image_elf.h"
#include "image_records.h"

namespace {

constexpr uint64_t address_space_end = uint64_t{1} << 32;

std::string hex_address(uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(address));
  return text;
}

// What a piece's origin is called in a reason: "line 12", "lines 3 and 40".
struct origin_words {
  const char* one;
  const char* two;
};

// Sorted by address, each byte given once, all below 2^32, touching pieces
// joined: the segments a run erases around and writes one by one.
bool segments_from_pieces(std::vector<image_piece>& pieces, std::span<const uint8_t> source,
                          origin_words words, std::vector<image_segment>& segments,
                          std::string& why) {
  for (const image_piece& piece : pieces) {
    // Past 2^32 the target's addresses would wrap to 0, onto flash that the
    // erase never chose.
    if (piece.address >= address_space_end || piece.size > address_space_end - piece.address) {
      why = std::string(words.one) + " " + std::to_string(piece.origin) +
            ": its bytes run past the end of the 4 GiB address space";
      return false;
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(), [](const image_piece& a, const image_piece& b) {
    return a.address < b.address;
  });
  const image_piece* last = nullptr;
  for (const image_piece& piece : pieces) {
    const auto bytes = source.subspan(piece.offset, piece.size);
    const uint64_t last_end = last ? last->address + last->size : 0;
    if (last && piece.address < last_end) {
      // Which of the two would the flash keep? Neither reading is safe.
      why = std::string(words.two) + " " + std::to_string(std::min(last->origin, piece.origin)) +
            " and " + std::to_string(std::max(last->origin, piece.origin)) +
            " both give the byte at " + hex_address(piece.address);
      return false;
    }
    if (last && piece.address == last_end) {
      segments.back().bytes.insert(segments.back().bytes.end(), bytes.begin(), bytes.end());
    } else {
      segments.push_back({static_cast<uint32_t>(piece.address), {bytes.begin(), bytes.end()}});
    }
    last = &piece;
  }
  return true;
}

}  // namespace

bool read_image_segments(std::span<const uint8_t> file, image_format format,
                         std::vector<image_segment>& segments, std::string& why) {
  segments.clear();
  std::vector<image_piece> pieces;
  std::vector<uint8_t> data;
  bool ok = false;
  switch (format) {
    case image_format::raw:
      why = "raw bytes carry no addresses";
      return false;
    case image_format::elf:
      ok = read_elf_pieces(file, pieces, why) &&
           segments_from_pieces(pieces, file, {"program header", "program headers"}, segments, why);
      break;
    case image_format::intel_hex:
      ok = read_intel_hex_pieces(file, pieces, data, why) &&
           segments_from_pieces(pieces, data, {"line", "lines"}, segments, why);
      break;
    case image_format::s_record:
      ok = read_s_record_pieces(file, pieces, data, why) &&
           segments_from_pieces(pieces, data, {"line", "lines"}, segments, why);
      break;
  }
  if (!ok) segments.clear();
  return ok;
}
