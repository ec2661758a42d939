#include "serial/port_reason.h"

#include "serial/device_group.h"

namespace {

// Lines of this size fit a terminal; a long list of ports is cut with a count.
constexpr std::size_t reason_width = 100;

// "no such device; serial ports here: /dev/ttyS0 /dev/ttyUSB0", so that a
// mistyped or renumbered port is put right from the line itself.
std::string missing_port_reason() {
  const std::vector<std::string> ports = serial_ports_present();
  if (ports.empty()) return "no such device; no serial ports were found";
  std::string reason = "no such device; serial ports here:";
  auto more = [&](std::size_t left) { return " and " + std::to_string(left) + " more"; };
  for (std::size_t i = 0; i < ports.size(); ++i) {
    // Room for this port, and for the count of those after it.
    const std::size_t after = ports.size() - i - 1;
    const std::size_t tail = after == 0 ? 0 : more(after).size();
    if (reason.size() + 1 + ports[i].size() + tail > reason_width) return reason + more(after + 1);
    reason += " " + ports[i];
  }
  return reason;
}

}  // namespace

std::string port_failure_reason(const port_open_error& error) {
  switch (error.cause) {
    case port_open_failure::no_such_device:
      return missing_port_reason();
    case port_open_failure::permission_denied: {
      const std::string group = device_group(error.device);
      if (group.empty()) return "permission denied";
      return "permission denied: you must belong to group " + group;
    }
    case port_open_failure::in_use:
      if (error.detail.empty()) return "in use by another program";
      return "in use by " + error.detail;
    case port_open_failure::not_serial:
      return "not a serial device";
    case port_open_failure::name_too_long:
      return "name longer than " + std::to_string(port_name_max) + " characters";
    case port_open_failure::none:
    case port_open_failure::other:
      break;
  }
  return error.detail;
}
