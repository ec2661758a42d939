// The two optional phases of a run. Each does nothing once the run's error
// flag is set, and sets it when one of its operations fails.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/run_events.h"
#include "serial/serial_port.h"

void write_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                 bool& error_flag, const run_sink& report);
// `until_differ`: the read ends with the first block that differs from the
// image, so that a board holding something else costs one block of reading.
void verify_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                  bool& error_flag, const run_sink& report, bool until_differ = false);

// Where and how the target's memory differs from the image; empty when it
// does not. One line, for the verify phase's reason.
std::string compare_reason(uint32_t address, std::span<const uint8_t> image,
                           std::span<const uint8_t> read_back);
