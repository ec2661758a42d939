// What both serial backends share: the drain at open and the reading of COM
// port names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/serial_port.h"

// Discards input until one 16-byte read comes back empty, giving up after
// 2 s on a line that never goes quiet.
void drain_input(port_handle port);

// n for a name "COMn" with n >= 1; nothing for any other name.
std::optional<unsigned long> com_port_number(const std::string& name);
