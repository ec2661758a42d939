// Linux: the ports are the entries of a folder of links (udev's
// /dev/serial/by-id), and the identity of the USB adapter behind one is read
// from sysfs as plain files, so that it needs neither udev nor its library
// (a static build in a guest without udev reads it the same way).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "ports/port_list.h"
#include "serial/serial_port.h"

namespace fs = std::filesystem;

namespace {

// One line of a sysfs attribute, without its line break; empty where the
// device has no such attribute.
std::string attribute(const fs::path& path) {
  std::ifstream in(path);
  std::string value;
  std::getline(in, value);
  return value;
}

// Where a path leads, links followed; for a link whose device is gone, the
// device it names.
std::string resolved(const std::string& path) {
  std::error_code error;
  const fs::path device = fs::canonical(path, error);
  if (!error) return device.string();
  const fs::path target = fs::read_symlink(path, error);
  if (error) return path;
  return (target.is_absolute() ? target : fs::path(path).parent_path() / target)
      .lexically_normal()
      .string();
}

// The kernel's node for a character device (/sys/dev/char/MAJOR:MINOR) leads
// to the device in its bus's tree; above a USB serial port lies the USB
// interface (the directory with bInterfaceNumber), and above that the USB
// device with its ids and strings.
std::optional<usb_identity> read_identity(const std::string& device) {
  struct stat status {};
  if (stat(device.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return std::nullopt;
  std::error_code error;
  const fs::path node = fs::canonical("/sys/dev/char/" + std::to_string(major(status.st_rdev)) +
                                          ":" + std::to_string(minor(status.st_rdev)),
                                      error);
  if (error) return std::nullopt;  // a pty, or no sysfs
  for (fs::path at = node; at.has_relative_path(); at = at.parent_path()) {
    if (!fs::exists(at / "bInterfaceNumber", error)) continue;
    const fs::path usb_device = at.parent_path();
    usb_identity identity{.vendor_id = attribute(usb_device / "idVendor"),
                          .product_id = attribute(usb_device / "idProduct"),
                          .serial = attribute(usb_device / "serial"),
                          .manufacturer = attribute(usb_device / "manufacturer"),
                          .product = attribute(usb_device / "product"),
                          .usb_path = at.filename().string()};
    if (identity.vendor_id.empty()) return std::nullopt;
    return identity;
  }
  return std::nullopt;  // a UART on the board, a PCI card: no USB adapter
}

station_port port_at(const std::string& name, const std::string& path) {
  station_port port{.name = name, .path = path, .device = resolved(path)};
  port.identity = read_identity(port.device);
  return port;
}

}  // namespace

const bool found_ports_may_be_flashed = true;

bool find_ports(const std::string& folder, std::vector<station_port>& ports, std::string& why) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    why = fs::exists(folder, error) ? folder + " is not a folder"
                                    : "no ports folder " + folder +
                                          " (udev makes it when the first adapter with a serial "
                                          "number is plugged in)";
    return false;
  }
  for (const std::string& name : port_folder_entries(folder)) {
    ports.push_back(folder_port(folder, name));
  }
  return true;
}

station_port folder_port(const std::string& folder, const std::string& name) {
  return port_at(name, (fs::path(folder) / name).string());
}

// vexlor-prog opens "ttyUSB0" as /dev/ttyUSB0 and "COM2" as /dev/ttyS1; the
// device is looked for where it will look.
station_port named_port(const std::string& name) {
  station_port port = port_at(name, port_device_name(name));
  port.path = name;
  return port;
}
