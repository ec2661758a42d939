// Linux: sysfs lists the ports, /proc tells who has a device open.
#include "serial/serial_ports.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "serial/serial_port.h"

namespace fs = std::filesystem;

std::vector<std::string> serial_ports_present() {
  std::vector<std::string> ports;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", error)) {
    // A tty with a device behind it is a port of some hardware (a UART, a
    // USB adapter); consoles and pseudo-terminals have none.
    if (!fs::exists(entry.path() / "device", error)) continue;
    // The 8250 driver lists its legacy ports whether or not a UART answers
    // there: type 0 says none does.
    std::ifstream type(entry.path() / "type");
    int number = -1;
    if (type >> number && number == 0) continue;
    ports.push_back("/dev/" + entry.path().filename().string());
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::string port_holder(const std::string& device) {
  std::error_code error;
  const fs::path target = fs::canonical(device, error);
  if (error) return {};
  const std::string self = std::to_string(getpid());
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    std::error_code unreadable;  // another user's process: its fds are not ours to see
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
      std::error_code gone;
      if (fs::read_symlink(fd.path(), gone) != target) continue;
      std::ifstream comm(process.path() / "comm");
      std::string name;
      std::getline(comm, name);
      return (name.empty() ? "pid " + pid : name + " (pid " + pid + ")");
    }
  }
  return {};
}
