// The board's own identity (--board-id): most microcontrollers keep a
// unique id, programmed at the factory, at a fixed address. The run reads
// it after the handshake, with the ordinary read-memory exchange, so that a
// record can say which board it was rather than which adapter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/run_events.h"
#include "options/options.h"
#include "serial/serial_port.h"

// Reads the id and reports it; does nothing once the run's error flag is
// set, and sets it when the read fails, so that the later phases are
// skipped. The id in lower-case hex, when read.
std::optional<std::string> board_id_phase(port_handle port, const board_id_place& place,
                                          bool& error_flag, const run_sink& report);
