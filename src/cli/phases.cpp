#include "cli/phases.h"

#include <algorithm>
#include <new>

#include "bootloader/bootloader.h"
#include "bootloader/status_line.h"

void write_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                 bool& error_flag) {
  if (error_flag) return;
  const auto size = static_cast<uint32_t>(image.size());
  // An image whose sectors were not all erased is never written.
  if (!erase_range(port, address, size) || !write_memory(port, address, image.data(), size)) {
    error_flag = true;
  }
}

void verify_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                  bool& error_flag) {
  if (error_flag) return;
  const auto size = static_cast<uint32_t>(image.size());
  std::vector<uint8_t> read_back;
  try {
    read_back.resize(size);
  } catch (const std::bad_alloc&) {
    console_printf("cannot allocate %lu bytes..\n", static_cast<unsigned long>(size));
    error_flag = true;
    return;
  }
  if (!read_memory(port, address, read_back.data(), size) ||
      !std::equal(image.begin(), image.end(), read_back.begin())) {
    error_flag = true;
  }
}
