#include "serial/registry_ports.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

std::vector<registry_port> registry_serial_ports() {
  // Each value is named after the driver's device; its data is the port's name.
  std::vector<registry_port> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    char device[256];
    DWORD device_size = sizeof device;
    BYTE name[256];
    DWORD name_size = sizeof name - 1;
    DWORD type = 0;
    if (RegEnumValueA(key, i, device, &device_size, nullptr, &type, name, &name_size) !=
        ERROR_SUCCESS) {
      break;
    }
    if (type != REG_SZ) continue;
    name[name_size] = 0;
    ports.push_back({reinterpret_cast<const char*>(name), device});
  }
  RegCloseKey(key);
  return ports;
}
