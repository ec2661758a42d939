#include "cli/board_id.h"

#include <vector>

#include "bootloader/bootloader.h"
#include "text/hex_text.h"

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
  // The run goes on: the id is what the board holds there. A station keying
  // its records by it fails the board.
  if (const auto why = board_id_not_unique(place.address, hex)) report(run_warning{*why});
  return hex;
}
