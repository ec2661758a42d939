#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "board_cache/board_cache.h"
#include "files/whole_file.h"
#include "text/hex_text.h"
#include "text/system_words.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* first_line = "vexlor-prog board record 1";

// A record names at most the ten sectors of the map; a file far longer is
// not one, and is not read into memory whole.
constexpr long longest_record = 4096;

// An id longer than this names its file by its digest: a name must stay
// within what a file system takes, fresh-name suffix and all.
constexpr std::size_t longest_id_in_a_name = 200;

std::string words_of(const std::error_code& error) {
  std::string words = error.message();
  for (char& c : words) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return words;
}

std::array<uint8_t, 4> big_endian(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

std::string sector_line(const known_sector& known) {
  char text[64];
  std::snprintf(text, sizeof text, "sector %lu 0x%08lx 0x%08lx ",
                static_cast<unsigned long>(known.sector.number),
                static_cast<unsigned long>(known.sector.start),
                static_cast<unsigned long>(known.sector.size));
  return text + known.digest + "\n";
}

std::string digest_of_text(const std::string& text) {
  return sha256_hex(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace

std::string sector_digest(std::span<const image_segment> segments, const flash_sector& sector) {
  // Each run of bytes inside the sector after its offset there and its
  // length, four bytes each.
  std::vector<std::array<uint8_t, 8>> heads;
  heads.reserve(segments.size());
  std::vector<std::span<const uint8_t>> pieces;
  const uint64_t sector_end = uint64_t{sector.start} + sector.size;
  for (const image_segment& segment : segments) {
    const uint64_t first = std::max<uint64_t>(segment.address, sector.start);
    const uint64_t end = std::min(uint64_t{segment.address} + segment.bytes.size(), sector_end);
    if (first >= end) continue;
    const auto offset = static_cast<uint32_t>(first - sector.start);
    const auto length = static_cast<uint32_t>(end - first);
    std::array<uint8_t, 8>& head = heads.emplace_back();
    const auto at = big_endian(offset), count = big_endian(length);
    std::copy(at.begin(), at.end(), head.begin());
    std::copy(count.begin(), count.end(), head.begin() + 4);
    pieces.emplace_back(head);
    pieces.push_back(std::span(segment.bytes).subspan(first - segment.address, length));
  }
  return sha256_hex(pieces);
}

bool unique_board_id(const std::string& board_id) {
  std::vector<uint8_t> bytes;
  if (!hex_bytes(board_id, bytes) || bytes.empty()) return false;
  return std::any_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b != bytes.front(); });
}

board_record record_after(const std::optional<board_record>& before, const std::string& board_id,
                          std::span<const known_sector> written) {
  board_record after{board_id, {written.begin(), written.end()}};
  if (before) {
    for (const known_sector& kept : before->sectors) {
      const bool touched = std::any_of(written.begin(), written.end(), [&](const known_sector& k) {
        return k.sector.number == kept.sector.number;
      });
      if (!touched) after.sectors.push_back(kept);
    }
  }
  std::sort(
      after.sectors.begin(), after.sectors.end(),
      [](const known_sector& a, const known_sector& b) { return a.sector.start < b.sector.start; });
  return after;
}

std::string board_record_path(const std::string& folder, const std::string& board_id) {
  const std::string name =
      board_id.size() <= longest_id_in_a_name
          ? board_id
          : "sha256-" + sha256_hex(std::span(reinterpret_cast<const uint8_t*>(board_id.data()),
                                             board_id.size()));
  return (fs::path(folder) / (name + ".board")).string();
}

std::string board_record_text(const board_record& record) {
  std::string text = std::string(first_line) + "\nboard " + record.board_id + "\n";
  for (const known_sector& known : record.sectors) text += sector_line(known);
  // Over every line before it: a record changed anywhere, or cut after a
  // line, does not pass for one.
  return text + "check " + digest_of_text(text) + "\n";
}

bool parse_board_record(const std::string& text, const std::string& board_id, board_record& record,
                        std::string& why) {
  record = {board_id, {}};
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  if (line != first_line) {
    why = "its first line is not \"" + std::string(first_line) + "\"";
    return false;
  }
  std::getline(lines, line);
  if (line != "board " + board_id) {
    why = "it is not the record of board " + board_id;
    return false;
  }
  while (std::getline(lines, line) && line.starts_with("sector ")) {
    unsigned long number = 0, start = 0, size = 0;
    char digest[65] = {};
    if (std::sscanf(line.c_str(), "sector %lu 0x%lx 0x%lx %64s", &number, &start, &size, digest) !=
        4) {
      why = "a sector line cannot be read";
      return false;
    }
    const std::optional<flash_sector> sector =
        number <= 0xFF ? find_sector(static_cast<uint8_t>(number)) : std::nullopt;
    if (!sector || sector->start != start || sector->size != size) {
      why = "sector " + std::to_string(number) + " is not a sector of the flash map";
      return false;
    }
    record.sectors.push_back({*sector, digest});
  }
  // What was read, written again, must be the file: this also checks every
  // field's form and the check line.
  if (board_record_text(record) != text) {
    why = "its check does not match its lines";
    return false;
  }
  return true;
}

record_found read_board_record(const std::string& folder, const std::string& board_id,
                               board_record& record, std::string& why) {
  const std::string path = board_record_path(folder, board_id);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    // A folder that is not there, or is a file, holds no record.
    if (errno == ENOENT || errno == ENOTDIR) return record_found::none;
    why = "cannot be read: " + system_words(errno);
    return record_found::damaged;
  }
  std::string text(longest_record + 1, '\0');
  const std::size_t got = std::fread(text.data(), 1, text.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  text.resize(got);
  if (failed) {
    why = "cannot be read";
    return record_found::damaged;
  }
  std::string damage;
  if (got > static_cast<std::size_t>(longest_record)) {
    damage = "it is longer than any record";
  } else if (parse_board_record(text, board_id, record, damage)) {
    return record_found::yes;
  }
  why = "is damaged: " + damage;
  return record_found::damaged;
}

bool forget_board_record(const std::string& folder, const std::string& board_id, bool& had,
                         std::string& why) {
  std::error_code error;
  had = fs::remove(board_record_path(folder, board_id), error);
  if (!error || error == std::errc::not_a_directory) return true;
  why = words_of(error);
  return false;
}

bool keep_board_record(const std::string& folder, const board_record& record, std::string& why) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) {
    why = "cannot make the folder " + folder + ": " + words_of(error);
    return false;
  }
  const std::string text = board_record_text(record);
  file_failure failure;
  if (write_whole_file(board_record_path(folder, record.board_id),
                       std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), true,
                       failure)) {
    return true;
  }
  why = "cannot write it in " + folder + ": " + failure.words;
  return false;
}
