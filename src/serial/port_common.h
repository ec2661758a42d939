// What both serial backends share: the names no port can have, the refusal
// that says why, the drain at open and the reading of COM port names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/serial_port.h"

// Says why in `error` (when given one) and returns no port.
port_handle port_refused(port_open_error* error, port_open_failure cause, std::string detail = {});

// The device a port name leads to, noted in `error` for whoever explains a
// refusal; nullopt, with the cause in `error`, for a name no port can have
// (one too long to hold, or none).
std::optional<std::string> device_to_open(const std::string& name, port_open_error* error);

// Discards input until one 16-byte read comes back empty, giving up after
// 2 s on a line that never goes quiet.
void drain_input(port_handle port);

// n for a name "COMn" with n >= 1; nothing for any other name.
std::optional<unsigned long> com_port_number(const std::string& name);
