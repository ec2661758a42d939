#include "board_records.h"

#include <cstdio>

#include "console_view.h"
#include "records/spool.h"
#include "runs/host.h"
#include "text/hex_text.h"

std::string station_name(const station_settings& settings) {
  return settings.station.empty() ? host_name() : settings.station;
}

bool open_board_records(const station_settings& settings, const std::function<bool()>& interrupted,
                        store_handle& store, std::string& why) {
  if (settings.database.empty()) return true;
  // A database, its tables and a pool are made on purpose only: a slip in
  // a name must not start an empty one whose numbers another already gave.
  const bool create = settings.db_create || settings.serial_first.has_value();
  const store_options options{.access = create ? store_access::create : store_access::write,
                              .interrupted = interrupted};
  // The target is not repeated: a connection string may hold a password.
  if (!store_open(settings.database, options, store, why) ||
      (!settings.serial_pool.empty() &&
       !serial_pool_ready(*store, settings.serial_pool, settings.serial_first, why))) {
    store.reset();
    return false;
  }
  return true;
}

holder_place station_place(const std::string& host, int64_t pid) {
  if (host != host_name()) return holder_place::elsewhere;
  return station_running(pid) ? holder_place::running_here : holder_place::gone;
}

bool take_board_serial(record_store& store, const station_settings& settings,
                       const std::optional<std::string>& board_id, const serial_holder& holder,
                       board_serial& serial, std::string& why) {
  serial_taken taken;
  if (!serial_take(store, settings.serial_pool, board_id, holder, station_place, taken, why)) {
    return false;
  }
  serial = {.use = {.pool = settings.serial_pool, .number = taken.number}, .kept = taken.kept};
  std::vector<uint8_t> bytes;
  if (!serial_bytes(settings.number_format, taken.number, bytes, why)) {
    // Nothing was written with it: the next board may take it, and fail
    // the same way, rather than the pool skipping a number.
    std::string ignored;
    serial_settle(store, settings.serial_pool, taken.number,
                  taken.kept ? serial_settlement::kept : serial_settlement::returned, board_id,
                  holder.run_id, ignored);
    return false;
  }
  char address[16];
  std::snprintf(address, sizeof address, "0x%08lx", static_cast<unsigned long>(settings.serial_at));
  serial.patch = {"--patch", std::string(address) + ":" + hex_text(bytes)};
  return true;
}

std::optional<serial_use> settled_serial(const std::optional<board_serial>& serial,
                                         const run_progress& last_run,
                                         std::optional<int> exit_status, bool same_board) {
  if (!serial) return std::nullopt;
  serial_use use = serial->use;
  if (nothing_written(last_run, exit_status)) {
    use.settlement = serial->kept ? serial_settlement::kept : serial_settlement::returned;
  } else if (serial->kept && same_board) {
    use.settlement = serial_settlement::kept;
  } else {
    // A board's own number written to another (one swapped in) is spent
    // there too: the record store tells the conflict.
    use.settlement = serial_settlement::spent;
  }
  return use;
}

bool write_spooled(record_store& store, const std::string& spool, std::size_t& waiting,
                   std::string& why) {
  replay_result result;
  const bool replayed = spool_replay(store, spool, result, why);
  for (const std::string& note : result.notes) say_on_stderr(note);
  if (result.written > 0) {
    say_on_stderr(std::to_string(result.written) + " record(s) of the spool " + spool +
                  " written to the database");
  }
  if (!replayed) why = "records in the spool " + spool + " cannot be written: " + why;
  waiting = result.waiting;
  return replayed;
}

bool release_board_serial(const station_settings& settings, std::string& done, std::string& why) {
  store_handle store;
  return store_open(settings.database, {.access = store_access::write}, store, why) &&
         serial_release(*store, settings.serial_pool, *settings.release_serial, station_place, done,
                        why);
}
