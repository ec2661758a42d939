// Flash erase: the sectors an address range touches, one erase exchange each.
#include "bootloader/bootloader.h"

namespace {

// Each wait names its step, so a failure can say where the exchange stopped.
bool erase_exchange(port_handle port, uint32_t sector, std::string& reason) {
  const std::string of_sector = " of sector " + std::to_string(sector);
  exchange_failure why;
  auto step = [&](int tries, const std::string& name) {
    if (wait_ack(port, tries, &why)) return true;
    reason = failure_reason(why, name + of_sector);
    return false;
  };
  if (run_stopped()) {
    reason = stop_reason();
    return false;
  }
  port_write(port, &erase_prelude, 1);
  // The target acknowledges the prelude twice.
  if (!step(ack_tries, "the erase prelude") ||
      !step(ack_tries, "the erase prelude (second acknowledge)")) {
    return false;
  }
  port_write(port, &erase_command, 1);
  if (!step(ack_tries, "the erase command")) return false;
  const auto list = one_sector_list(sector);
  port_write(port, list.data(), list.size());
  if (wait_ack(port, erase_final_tries, &why)) return true;
  if (why.kind == exchange_failure::silent) {
    reason = "sector " + std::to_string(sector) + " was not erased: no acknowledge within " +
             std::to_string(why.waited_ms / 1000) + " s";
  } else {
    reason = failure_reason(why, "the erase" + of_sector);
  }
  return false;
}

}  // namespace

bool erase_sector(port_handle port, uint32_t sector, const event_sink& report) {
  std::string reason;
  const bool ok = erase_exchange(port, sector, reason);
  report({.kind = event_kind::ended,
          .phase = run_phase::erase,
          .ok = ok,
          .sector = sector,
          .reason = reason});
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
