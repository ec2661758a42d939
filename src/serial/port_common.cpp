#include "serial/port_common.h"

#include <chrono>

namespace {
constexpr std::size_t drain_chunk = 16;
constexpr auto drain_limit = std::chrono::seconds(2);
}  // namespace

port_handle port_refused(port_open_error* error, port_open_failure cause, std::string detail) {
  if (error != nullptr) {
    error->cause = cause;
    error->detail = std::move(detail);
  }
  return nullptr;
}

std::optional<std::string> device_to_open(const std::string& name, port_open_error* error) {
  if (name.size() > port_name_max || name.empty()) {
    port_refused(
        error, name.empty() ? port_open_failure::no_such_device : port_open_failure::name_too_long);
    return std::nullopt;
  }
  std::string device = port_device_name(name);
  if (error != nullptr) error->device = device;
  return device;
}

void drain_input(port_handle port) {
  uint8_t scratch[drain_chunk];
  const auto give_up = std::chrono::steady_clock::now() + drain_limit;
  while (port_read(port, scratch, sizeof scratch) > 0 &&
         std::chrono::steady_clock::now() < give_up) {
  }
}

const char* line_action_text(port_line_action code) {
  // In port_line_action's order.
  constexpr const char* texts[] = {"setting RTS", "clearing RTS", "setting DTR", "clearing DTR"};
  return texts[static_cast<std::size_t>(code)];
}

std::optional<unsigned long> com_port_number(const std::string& name) {
  // Nine digits at most, so the number always fits.
  if (name.size() < 4 || name.size() > 12 || name.compare(0, 3, "COM") != 0 || name[3] == '0' ||
      name.find_first_not_of("0123456789", 3) != std::string::npos) {
    return std::nullopt;
  }
  return std::stoul(name.substr(3));
}
