#include "board_records.h"

#include <cstdio>

#include "text/hex_text.h"

bool open_board_records(const station_settings& settings, store_handle& store, std::string& why) {
  if (settings.database.empty()) return true;
  // The target is not repeated: a connection URI may hold a password.
  if (store_open(settings.database, store, why)) return true;
  why = "cannot use the record database: " + why;
  return false;
}

bool take_board_serial(record_store& store, const station_settings& settings,
                       const std::optional<std::string>& board_id, const std::string& station,
                       board_serial& serial, std::string& why) {
  serial_taken taken;
  if (!serial_take(store, settings.serial_pool, settings.serial_first, board_id, station, taken,
                   why)) {
    return false;
  }
  serial = {.use = {.pool = settings.serial_pool, .number = taken.number}, .kept = taken.kept};
  std::vector<uint8_t> bytes;
  if (!serial_bytes(settings.number_format, taken.number, bytes, why)) {
    // Nothing was written with it: the next board may take it, and fail
    // the same way, rather than the pool skipping a number.
    std::string ignored;
    if (!taken.kept) {
      serial_settle(store, settings.serial_pool, taken.number, serial_settlement::returned,
                    std::nullopt, ignored);
    }
    return false;
  }
  char address[16];
  std::snprintf(address, sizeof address, "0x%08lx", static_cast<unsigned long>(settings.serial_at));
  serial.patch = {"--patch", std::string(address) + ":" + hex_text(bytes)};
  return true;
}

std::optional<serial_use> settled_serial(const std::optional<board_serial>& serial,
                                         const run_progress& last_run,
                                         std::optional<int> exit_status) {
  if (!serial) return std::nullopt;
  serial_use use = serial->use;
  if (serial->kept) {
    use.settlement = serial_settlement::kept;
  } else if (nothing_written(last_run, exit_status)) {
    use.settlement = serial_settlement::returned;
  } else {
    use.settlement = serial_settlement::spent;
  }
  return use;
}
