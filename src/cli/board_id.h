// The board's own identity (--board-id): most microcontrollers keep a
// unique id, programmed at the factory, at a fixed address. The run reads
// it after the handshake, with the ordinary read-memory exchange, so that a
// record can say which board it was rather than which adapter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/run_events.h"
#include "serial/serial_port.h"

struct board_id_place {
  uint32_t address = 0;
  uint32_t length = 0;  // 1 to board_id_max
};

// The longest id: one read block.
inline constexpr uint32_t board_id_max = 256;

// ADDRESS:LENGTH, the address read as --address reads it, LENGTH in
// decimal from 1 to board_id_max, the whole id below 2^32. False, and why,
// for anything else.
bool parse_board_id_place(const std::string& text, board_id_place& place, std::string& why);

// Reads the id and reports it; does nothing once the run's error flag is
// set, and sets it when the read fails, so that the later phases are
// skipped. The id in lower-case hex, when read.
std::optional<std::string> board_id_phase(port_handle port, const board_id_place& place,
                                          bool& error_flag, const run_sink& report);
