#include "cli/board_id.h"

#include <charconv>
#include <vector>

#include "bootloader/bootloader.h"
#include "cli/options.h"
#include "text/hex_text.h"

bool parse_board_id_place(const std::string& text, board_id_place& place, std::string& why) {
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon > 0) {
    place.address = parse_number(text.substr(0, colon));
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, place.length);
    const bool whole = error == std::errc{} && end == last && first != last;
    if (whole && place.length >= 1 && place.length <= board_id_max) {
      // Past 2^32 the read would wrap round to address 0.
      if (uint64_t{place.address} + place.length <= uint64_t{1} << 32) return true;
      why = "--board-id " + text + " runs past the end of the address space";
      return false;
    }
  }
  why = "--board-id takes ADDRESS:LENGTH, LENGTH from 1 to 256 bytes, not " + text;
  return false;
}

std::optional<std::string> board_id_phase(port_handle port, const board_id_place& place,
                                          bool& error_flag, const run_sink& report) {
  if (error_flag) return std::nullopt;
  std::vector<uint8_t> id(place.length);
  // A board id is a block or so, and the id itself tells that the read went
  // through: of the read's events, only its failure is the run's.
  const event_sink failure_only = [&](const bootloader_event& event) {
    const auto* ended = std::get_if<transfer_ended>(&event);
    if (ended != nullptr && !ended->ok) report(protocol_event{run_phase::board_id, event});
  };
  if (!read_memory(port, place.address, id.data(), place.length, failure_only)) {
    error_flag = true;
    return std::nullopt;
  }
  std::string hex = hex_text(id);
  report(board_identified{hex});
  return hex;
}
