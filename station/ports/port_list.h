// The ports a station serves, and what each one is: the device behind it and
// the USB adapter's identity, so that a result can be traced to its board.
// Finding ports is the platform's (ports_linux.cpp: a folder of links such
// as udev's /dev/serial/by-id, identity from sysfs; ports_win32.cpp: the
// registry); the rest is shared (port_list.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

// What sysfs says of the USB adapter behind a port.
struct usb_identity {
  std::string vendor_id;   // four hex digits, as the device reports them
  std::string product_id;  // four hex digits
  std::string serial;      // the strings the adapter reports; empty where it has none
  std::string manufacturer;
  std::string product;
  // Bus, port chain, configuration and interface ("1-1.4:1.0"): what tells
  // apart adapters without serial numbers, and the ports of one adapter.
  std::string usb_path;
};

struct station_port {
  std::string name;    // its entry's name in the ports folder, or the --port value as given
  std::string path;    // what vexlor-prog's --port gets
  std::string device;  // where the name leads (links followed), as far as it can be told
  std::optional<usb_identity> identity;  // none for a pty, a UART, a system without sysfs
};

// The ports found without --port. POSIX: every entry of `folder` (links
// followed); Windows: the ports the registry lists (`folder` unused). False,
// and why, when there is no folder to look in.
bool find_ports(const std::string& folder, std::vector<station_port>& ports, std::string& why);

// A port named with --port, with its device and identity.
station_port named_port(const std::string& name);

// The entry `name` of a ports folder, with its device and identity.
station_port folder_port(const std::string& folder, const std::string& name);

// Whether the ports that find_ports finds may be flashed without being
// named: a folder of USB serial adapters (udev's by-id) yes; Windows' list
// of every COM port, a modem's included, no.
extern const bool found_ports_may_be_flashed;

// The names in a ports folder that are ports, sorted: every entry but those
// whose name begins with a dot (a tool's file in the making, not a port).
std::vector<std::string> port_folder_entries(const std::string& folder);
bool is_port_name(const std::string& name);

// "0403:6001 serial=A10K2Q usb=1-1.4:1.0 "FTDI" "FT232R USB UART"": the
// manufacturer and product strings quoted, in that order ("" for one the
// adapter lacks); no serial= word without a serial number. "-" for none.
std::string identity_text(const std::optional<usb_identity>& identity);

// One line of --list: NAME, DEVICE and IDENTITY separated by tabs.
std::string port_list_line(const station_port& port);
