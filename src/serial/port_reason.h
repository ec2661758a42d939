// Why a port did not open, in the words the console shows under
// "error: cannot open port NAME".
#pragma once

#include <string>

#include "serial/serial_port.h"

// One line, lower case, without the indent and the line break.
std::string port_failure_reason(const port_open_error& error);
