// What this host knows each board holds: after a flash whose write and
// verify both went through, the digest of what the image put into each
// sector, kept under the board's own id in a cache folder, one file per
// board. A later flash of the board with --changed-only erases and writes
// only the sectors whose digest differs. The record is a promise about this
// host's own flashes and nothing more: a board written elsewhere, or by its
// own application, holds what no record here says.
//
// A record is made whole or not at all (a fresh name, then a rename), so
// that two runs flashing two boards at once, or a run cut short, never leave
// half of one; a record that does not read back as one was written is
// damaged, and no sector of it is trusted.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/image.h"

// One sector as a flash left it: erased, then given the image's bytes.
struct known_sector {
  flash_sector sector;
  std::string digest;  // sector_digest of the image it was given
  bool operator==(const known_sector& other) const {
    return sector.number == other.sector.number && sector.start == other.sector.start &&
           sector.size == other.sector.size && digest == other.digest;
  }
};

// What a board holds, as far as this host knows: sectors in the map's order.
struct board_record {
  std::string board_id;  // lower-case hex, as the run shows it
  std::vector<known_sector> sectors;
};

// What `segments` put into `sector` once it is erased and written: their
// bytes inside it and where each run of them lies, so that two images whose
// bytes differ there, or lie elsewhere in it (the rest reads erased), never
// share a digest. 64 lower-case hex digits.
std::string sector_digest(std::span<const image_segment> segments, const flash_sector& sector);

// Whether an id can tell one board from another: not when every byte is
// the same value (an erased or unprogrammed id field reads 00 or ff on
// every board).
bool unique_board_id(const std::string& board_id);

// The record after a flash that wrote and verified `written`: those
// sectors, and the sectors of `before` the flash did not touch, which hold
// what they held.
board_record record_after(const std::optional<board_record>& before, const std::string& board_id,
                          std::span<const known_sector> written);

// The cache folder when none is named: $XDG_CACHE_HOME/NAME, else
// ~/.cache/NAME; on Windows %LOCALAPPDATA%\NAME. Empty when the environment
// names no such place.
std::string default_cache_folder(const std::string& name);

// The file that keeps the board's record in `folder`.
std::string board_record_path(const std::string& folder, const std::string& board_id);

// The record as its file holds it, and read back. Reading fails, saying
// why, for anything but what board_record_text wrote for that board.
std::string board_record_text(const board_record& record);
bool parse_board_record(const std::string& text, const std::string& board_id, board_record& record,
                        std::string& why);

enum class record_found { yes, none, damaged };

// Reads the board's record from `folder`: none when there is no file,
// damaged (saying why) when it cannot be read or is not one whole record.
record_found read_board_record(const std::string& folder, const std::string& board_id,
                               board_record& record, std::string& why);

// Removes the board's record; `had` tells whether there was one. False,
// saying why, when one is left.
bool forget_board_record(const std::string& folder, const std::string& board_id, bool& had,
                         std::string& why);

// Keeps the record in `folder`, made first when it is not there. False,
// saying why, when it could not be kept; whatever was there before stays.
bool keep_board_record(const std::string& folder, const board_record& record, std::string& why);
