// The serial layer: the only code that touches the serial port.
// One interface, one implementation per platform (serial_port_posix.cpp,
// serial_port_win32.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct serial_port;                // defined by the platform backend
using port_handle = serial_port*;  // nullptr: no port is open

// Control-line actions, numbered as the Windows communications API numbers
// them. A file that also includes <windows.h> must include this header first.
enum port_line_action : int { SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6 };

// Longest port name the tool accepts; a longer one could only be cut, and a
// cut name may open a different device.
inline constexpr std::size_t port_name_max = 255;

// The device the backend opens for a port name as the user typed it.
std::string port_device_name(const std::string& name);

// Opens an existing serial device for reading and writing, never creating
// anything; sets the read time-outs and discards input already waiting.
// Returns nullptr when the name does not open a serial device.
port_handle port_open(const std::string& name);

// Baud rate and framing (8 data bits, no parity, one stop bit). A rate of 0
// or below is refused and changes nothing.
bool port_set_line(port_handle port, int32_t baud);

bool port_control(port_handle port, port_line_action code);

// One write of n bytes, bounded by 20 * n + 20 ms.
bool port_write(port_handle port, const uint8_t* bytes, std::size_t n);

// Reads up to n bytes. Returns when n bytes have arrived, when 20 * n + 20 ms
// have passed since the call, or when more than 100 ms pass between two
// received bytes, with the count received so far. A failed read counts 0.
std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n);

// Closing nullptr does nothing.
void port_close(port_handle port);

void sleep_ms(unsigned milliseconds);
