// What both serial backends share: the time-out set, the drain at open and
// the reading of COM port names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/serial_port.h"

// A read of n bytes ends when n bytes are in, after 20 * n + 20 ms, or after
// a gap of more than 100 ms between received bytes. A write of n bytes is
// bounded by 20 * n + 20 ms.
inline constexpr uint32_t read_interval_ms = 100;
inline constexpr uint32_t read_total_multiplier_ms = 20;
inline constexpr uint32_t read_total_constant_ms = 20;
inline constexpr uint32_t write_total_multiplier_ms = 20;
inline constexpr uint32_t write_total_constant_ms = 20;

// Discards input until one 16-byte read comes back empty, giving up after
// 2 s on a line that never goes quiet.
void drain_input(port_handle port);

// n for a name "COMn" with n >= 1; nothing for any other name.
std::optional<unsigned long> com_port_number(const std::string& name);
