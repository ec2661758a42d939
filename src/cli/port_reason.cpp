#include "cli/port_reason.h"

std::string port_failure_reason(const port_open_error& error) {
  switch (error.cause) {
    case port_open_failure::no_such_device:
      return "no such device";
    case port_open_failure::permission_denied:
      if (error.detail.empty()) return "permission denied";
      return "permission denied: you must belong to group " + error.detail;
    case port_open_failure::in_use:
      return "in use by another program";
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
