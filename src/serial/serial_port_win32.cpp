// Windows backend of the serial layer. The communications driver keeps the
// time-outs itself (SetCommTimeouts), so reads and writes are single calls.
#include "serial/serial_port.h"

#include <cstdio>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "serial/port_common.h"
#include "serial/registry_ports.h"

struct serial_port {
  HANDLE handle;
  bool gone = false;  // the device went away: an unplugged adapter
};

namespace {

constexpr DWORD all_access = FILE_ALL_ACCESS;
static_assert(all_access == 0x1F01FF);
constexpr DWORD share_read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;

// ReadFile and WriteFile take a 32-bit count.
DWORD clamp_count(std::size_t n) { return n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n); }

// Every byte passes unaltered and unheld, as on the other platforms: no
// parity checking, no dropped NULs, no error character, no XON/XOFF (0x11
// and 0x13 are protocol bytes), no stop on a line error, and no hardware
// handshake: RTS and DTR are the tool's control lines. Both are left
// asserted, the state an open port has elsewhere, so the tool's line
// sequence gives the target the same edges. Done at open, because the driver
// keeps whatever the port's previous user left, and the drain must already
// see raw bytes.
void make_raw(DCB& dcb) {
  dcb.fBinary = TRUE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fParity = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

// The errors a port's calls fail with once its USB adapter is unplugged.
bool device_removed(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NOT_READY:  // what Wine says of a pseudo-terminal that has gone
      return true;
    default:
      return false;
  }
}

// The words a failed call gets: the error's number, as Windows names it.
std::string windows_words(DWORD code) {
  char text[32];
  std::snprintf(text, sizeof text, "windows error %lu", static_cast<unsigned long>(code));
  return text;
}

port_handle refuse_last_error(port_open_error* error, const std::string& name) {
  const DWORD code = GetLastError();
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return port_refused(error, port_open_failure::no_such_device);
    // A COM port opens once: another program holding it is what a refusal
    // means there. Any other name refused is a matter of rights (a folder,
    // a file of someone else's).
    case ERROR_ACCESS_DENIED:
      return port_refused(error, com_port_number(name) ? port_open_failure::in_use
                                                       : port_open_failure::permission_denied);
    case ERROR_SHARING_VIOLATION:
      return port_refused(error, port_open_failure::in_use);
    default:
      return port_refused(error, port_open_failure::other, windows_words(code));
  }
}

}  // namespace

std::vector<std::string> serial_ports_present() {
  std::vector<std::string> ports;
  for (const registry_port& port : registry_serial_ports()) ports.push_back(port.name);
  return ports;
}

std::string port_device_name(const std::string& name) {
  // Only COM1 to COM9 open by the bare name; the device namespace form opens
  // every port number.
  if (com_port_number(name)) return "\\\\.\\" + name;
  return name;
}

port_handle port_open(const std::string& name, port_open_error* error) {
  const std::optional<std::string> device = device_to_open(name, error);
  if (!device) return nullptr;
  HANDLE h = CreateFileA(device->c_str(), all_access, share_read_write, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return refuse_last_error(error, name);
  // A name can just as well open an ordinary file, a pipe, NUL or the
  // console; none of them may ever be written to. Only a character device
  // that answers the communications calls is a serial port.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
    CloseHandle(h);
    return port_refused(error, port_open_failure::not_serial);
  }
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = read_interval_ms;
  timeouts.ReadTotalTimeoutMultiplier = read_total_multiplier_ms;
  timeouts.ReadTotalTimeoutConstant = read_total_constant_ms;
  timeouts.WriteTotalTimeoutMultiplier = write_total_multiplier_ms;
  timeouts.WriteTotalTimeoutConstant = write_total_constant_ms;
  SetCommTimeouts(h, &timeouts);
  make_raw(dcb);
  SetCommState(h, &dcb);  // speed and framing stay as they were until port_set_line
  port_handle port = new serial_port{h, false};
  drain_input(port);
  return port;
}

bool port_set_line(port_handle port, line_rate rate) {
  if (port == nullptr) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port->handle, &dcb)) return false;
  dcb.BaudRate = rate.bits_per_second;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return SetCommState(port->handle, &dcb) != FALSE;
}

uint32_t port_line_rate(port_handle port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (port == nullptr || !GetCommState(port->handle, &dcb)) return 0;
  return dcb.BaudRate;
}

port_result port_control(port_handle port, port_line_action code) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  constexpr DWORD codes[] = {SETRTS, CLRRTS, SETDTR, CLRDTR};  // in port_line_action's order
  if (EscapeCommFunction(port->handle, codes[static_cast<int>(code)])) return {};
  const DWORD error = GetLastError();
  port->gone = port->gone || device_removed(error);
  return {.ok = false,
          .unsupported = error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED,
          .error = windows_words(error)};
}

port_result port_write(port_handle port, const uint8_t* bytes, std::size_t n) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  if (n > MAXDWORD) return {.ok = false, .error = "too many bytes for one write"};
  DWORD written = 0;
  if (!WriteFile(port->handle, bytes, static_cast<DWORD>(n), &written, nullptr)) {
    const DWORD error = GetLastError();
    port->gone = device_removed(error);
    return {.ok = false, .error = windows_words(error)};
  }
  if (written != n) {
    // The write time-out passed with bytes left over.
    return {.ok = false,
            .error = std::to_string(n - written) + " of " + std::to_string(n) +
                     " bytes not taken in time"};
  }
  return {};
}

std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n) {
  if (port == nullptr || n == 0) return 0;
  if (port->gone) return 0;
  DWORD got = 0;
  if (!ReadFile(port->handle, buffer, clamp_count(n), &got, nullptr)) {
    port->gone = device_removed(GetLastError());
    return 0;
  }
  return got;
}

void port_discard_input(port_handle port) {
  if (port != nullptr && !port->gone) PurgeComm(port->handle, PURGE_RXCLEAR);
}

bool port_gone(port_handle port) { return port != nullptr && port->gone; }

void port_close(port_handle port) {
  if (port == nullptr) return;
  CloseHandle(port->handle);
  delete port;
}
