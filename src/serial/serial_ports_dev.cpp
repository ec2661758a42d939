// POSIX systems without sysfs: the serial devices are named by convention
// in /dev; who holds one cannot be told portably.
#include "serial/serial_ports.h"

#include <algorithm>
#include <filesystem>

#include "serial/serial_port.h"

std::vector<std::string> serial_ports_present() {
  std::vector<std::string> ports;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    for (const char* prefix : {"cu.", "ttyUSB", "ttyACM", "ttyU", "cuaU", "ttyS"}) {
      if (name.starts_with(prefix)) ports.push_back(entry.path().string());
    }
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::string port_holder(const std::string&) { return {}; }
