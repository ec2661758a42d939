// Flash erase: the sectors an address range touches, one erase exchange each.
#include "bootloader/bootloader.h"
#include "bootloader/status_line.h"

bool sector_touched(const flash_sector& sector, uint32_t address, uint32_t size) {
  if (size == 0) return false;
  const uint32_t last = address + size - 1;
  const uint32_t sector_last = sector.start + sector.size - 1;
  return sector.start <= last && sector_last >= address;
}

namespace {

bool erase_exchange(port_handle port, uint32_t sector) {
  if (run_stopped()) return false;
  port_write(port, &erase_prelude, 1);
  // The target acknowledges the prelude twice.
  if (!wait_ack(port, ack_tries) || !wait_ack(port, ack_tries)) return false;
  port_write(port, &erase_command, 1);
  if (!wait_ack(port, ack_tries)) return false;
  // A list of one sector: (count - 1), then the sector number's low byte.
  const uint8_t list[2] = {0x00, static_cast<uint8_t>(sector)};
  port_write(port, list, sizeof list);
  return wait_ack(port, erase_final_tries);
}

}  // namespace

bool erase_sector(port_handle port, uint32_t sector) {
  bool ok = erase_exchange(port, sector);
  status_tail(ok);
  return ok;
}

bool erase_range(port_handle port, uint32_t address, uint32_t size) {
  for (const flash_sector& sector : sector_map) {
    if (sector_touched(sector, address, size) && !erase_sector(port, sector.number)) return false;
  }
  return true;
}
