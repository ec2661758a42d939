// Flash erase: the sectors an address range touches, one erase exchange each.
#include "bootloader/bootloader.h"

namespace {

// Each write and wait names its step, so a failure can say where the
// exchange stopped.
bool erase_exchange(port_handle port, uint32_t sector, std::string& reason) {
  constexpr const char* final_step = "the erase";  // the sector list, and its long wait
  exchange_failure why;
  const char* step_name = "";
  auto send = [&](const uint8_t* bytes, std::size_t n, const char* name) {
    step_name = name;
    return send_bytes(port, bytes, n, why);
  };
  auto acknowledged = [&](int tries, const char* name) {
    step_name = name;
    return wait_ack(port, tries, &why);
  };
  const auto list = one_sector_list(sector);
  // The target acknowledges the prelude twice.
  const bool ok = !stop_before_exchange(why) && send(&erase_prelude, 1, "the erase prelude") &&
                  acknowledged(ack_tries, "the erase prelude") &&
                  acknowledged(ack_tries, "the erase prelude (second acknowledge)") &&
                  send(&erase_command, 1, "the erase command") &&
                  acknowledged(ack_tries, "the erase command") &&
                  send(list.data(), list.size(), final_step) &&
                  acknowledged(erase_final_tries, final_step);
  if (ok) return true;
  if (why.kind == exchange_failure::silent && step_name == final_step) {
    reason = "sector " + std::to_string(sector) + " was not erased: no acknowledge within " +
             std::to_string(why.waited_ms / 1000) + " s";
  } else {
    reason = failure_reason(why, step_name + (" of sector " + std::to_string(sector)));
  }
  return false;
}

}  // namespace

bool erase_sector(port_handle port, uint32_t sector, const event_sink& report) {
  std::string reason;
  const bool ok = erase_exchange(port, sector, reason);
  report(sector_erased{.sector = sector, .ok = ok, .reason = reason});
  return ok;
}

bool erase_range(port_handle port, uint32_t address, uint32_t size, const event_sink& report) {
  for (const flash_sector& sector : sector_map) {
    if (sector_touched(sector, address, size) && !erase_sector(port, sector.number, report)) {
      return false;
    }
  }
  return true;
}
