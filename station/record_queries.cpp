#include "record_queries.h"

#include <cstdio>
#include <filesystem>

#include "board_records.h"
#include "record_store.h"

namespace {

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

bool print_records(const station_settings& settings, std::string& why) {
  const std::string& target = settings.database;
  std::error_code error;
  if (target.find("://") == std::string::npos && !std::filesystem::exists(target, error)) {
    why = "no record database " + target;
    return false;
  }
  store_handle store;
  if (!open_board_records(settings, store, why)) return false;
  if (settings.history) {
    const history_filter filter{
        .board_id = settings.history_board_id,
        .serial_number = settings.history_serial,
        .port = settings.ports.empty() ? std::nullopt : std::optional(settings.ports.front()),
        .since = settings.since};
    return store_history(*store, filter, print, why);
  }
  std::vector<image_summary> images;
  if (!store_summary(*store, settings.since.value_or(""), images, why)) return false;
  print(summary_table(images));
  return true;
}
