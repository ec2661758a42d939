// The two optional phases of a run. Each does nothing once the run's error
// flag is set, and sets it when one of its operations fails.
#pragma once

#include <cstdint>
#include <vector>

#include "serial/serial_port.h"

void write_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                 bool& error_flag);
void verify_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                  bool& error_flag);
