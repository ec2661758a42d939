// The serial layer: the only code that touches the serial port.
// One interface, one implementation per platform (serial_port_posix.cpp,
// serial_port_win32.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct serial_port;                // defined by the platform backend
using port_handle = serial_port*;  // nullptr: no port is open

// The four control-line actions (SETRTS, CLRRTS, SETDTR, CLRDTR to the
// Windows communications API, whose codes its backend maps them to).
enum class port_line_action { set_rts, clear_rts, set_dtr, clear_dtr };

// Longest port name the tool accepts; a longer one could only be cut, and a
// cut name may open a different device.
inline constexpr std::size_t port_name_max = 255;

// The device the backend opens for a port name as the user typed it.
std::string port_device_name(const std::string& name);

// Why a name opened no serial port.
enum class port_open_failure {
  none,
  no_such_device,
  permission_denied,
  in_use,  // another program has it
  not_serial,
  name_too_long,
  other,
};

struct port_open_error {
  port_open_failure cause = port_open_failure::none;
  // in_use: the program that holds it, "NAME (pid N)", where that can be
  // told; other: the system's own words for the error.
  std::string detail;
  // The device the name led to, for whoever explains a refusal (who may
  // open it, when permission was denied).
  std::string device;
};

// The serial ports this machine has, by the names that open them
// (/dev/ttyUSB0, COM3), for a user who named one that is not there.
std::vector<std::string> serial_ports_present();

// The time-out set of every port. A read of n bytes ends when n bytes are
// in, after 20 * n + 20 ms, or after a gap of more than 100 ms between
// received bytes. A write of n bytes is bounded by 20 * n + 20 ms.
inline constexpr uint32_t read_interval_ms = 100;
inline constexpr uint32_t read_total_multiplier_ms = 20;
inline constexpr uint32_t read_total_constant_ms = 20;
inline constexpr uint32_t write_total_multiplier_ms = 20;
inline constexpr uint32_t write_total_constant_ms = 20;

// The longest a read of n bytes may wait for them.
inline constexpr uint64_t port_read_bound_ms(std::size_t n) {
  return uint64_t{read_total_multiplier_ms} * n + read_total_constant_ms;
}

// Opens an existing serial device for reading and writing, never creating
// anything, and holds it exclusively: another program that tries to open it
// meanwhile is refused (root excepted on Linux). Sets the read time-outs,
// asks the driver for its lowest receive latency, and discards input already
// waiting. Returns nullptr when the name does not open a serial device the
// tool may use, and says why in `error` when given one.
port_handle port_open(const std::string& name, port_open_error* error = nullptr);

// A baud rate a line can be asked for: a positive count of bits per
// second. line_rate_from is the one place that turns away 0 and negative
// numbers (what --baudrate reads from junk or a minus sign); a port is
// never asked for them.
struct line_rate {
  uint32_t bits_per_second;
};

inline constexpr std::optional<line_rate> line_rate_from(int32_t baud) {
  if (baud <= 0) return std::nullopt;
  return line_rate{static_cast<uint32_t>(baud)};
}

// Baud rate and framing (8 data bits, no parity, one stop bit).
bool port_set_line(port_handle port, line_rate rate);

// The rate the driver applied, read back after port_set_line (a UART whose
// clock cannot make the rate asked for takes another); 0 when it cannot be
// read.
uint32_t port_line_rate(port_handle port);

// What a call that can fail on an open port says: whether it did what it
// was asked, and if not, why in the system's own words, lower case
// ("input/output error"), so that a failed write or line change is told
// apart from a target that did not answer.
struct port_result {
  bool ok = true;
  // A control-line request to a port that has no control lines (a
  // pseudo-terminal, some virtual ports): nothing was changed, and nothing
  // could be. Not ok, but no fault of the line either.
  bool unsupported = false;
  std::string error;
};

port_result port_control(port_handle port, port_line_action code);

// "setting RTS" and the like, for a reason that names the change.
const char* line_action_text(port_line_action code);

// One write of n bytes, bounded by 20 * n + 20 ms.
port_result port_write(port_handle port, const uint8_t* bytes, std::size_t n);

// Reads up to n bytes under the time-out set above, and returns the count
// received so far. A failed read counts 0.
std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n);

// Throws away what has arrived and not been read: the answer of a board
// that is about to be reset and greeted again.
void port_discard_input(port_handle port);

// True once a read or a write found the line gone for good (an unplugged
// adapter); from then on reads return 0 at once.
bool port_gone(port_handle port);

// Puts back what port_open changed in the driver's settings (and, for a
// terminal someone works at, the terminal settings it found), lets others
// open the port again and closes it. Closing nullptr does nothing.
void port_close(port_handle port);

// From the first stop request on (stop/stop_requests.h), every wait in this
// layer ends at once: a read returns what it has. A write is never cut
// short, so no command goes out in part.
