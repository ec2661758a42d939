// Windows: the ports are the ones the communications drivers list in the
// registry, each as its COM name and the driver's device (\Device\VCP0,
// \Device\Serial0), which tells one kind of adapter from another. Windows
// keeps no USB identity there: none is given.
#include <algorithm>
#include <cctype>

#include "ports/port_list.h"
#include "serial/registry_ports.h"
#include "serial/serial_port.h"

namespace {

std::vector<station_port> registry_ports() {
  std::vector<station_port> ports;
  for (const registry_port& port : registry_serial_ports()) {
    ports.push_back({.name = port.name, .path = port.name, .device = port.device});
  }
  // COM2 before COM10.
  std::sort(ports.begin(), ports.end(), [](const station_port& a, const station_port& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return ports;
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

const bool found_ports_may_be_flashed = false;

bool find_ports(const std::string&, std::vector<station_port>& ports, std::string&) {
  ports = registry_ports();
  return true;
}

station_port named_port(const std::string& name) {
  for (station_port& listed : registry_ports()) {
    if (!same_name(listed.name, name)) continue;
    listed.name = listed.path = name;
    return listed;
  }
  return {.name = name, .path = name, .device = port_device_name(name)};
}

// Windows has no ports folder (and so no --watch, which alone asks for one).
station_port folder_port(const std::string&, const std::string& name) { return named_port(name); }
