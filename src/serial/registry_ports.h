// Windows: the serial ports the communications drivers list in the
// registry's SERIALCOMM key, for the reasons a port did not open and for
// the station's --list. Built for Windows alone (registry_ports_win32.cpp).
#pragma once

#include <string>
#include <vector>

struct registry_port {
  std::string name;  // COM3: what opens it
  // \Device\VCP0: the driver's device, which tells one kind of adapter from
  // another.
  std::string device;
};

std::vector<registry_port> registry_serial_ports();
