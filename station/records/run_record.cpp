#include "records/run_record.h"

#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

json text_or_null(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json integer_or_null(const std::optional<int64_t>& number) {
  return number ? json(*number) : json(nullptr);
}

// The report writes an adapter string it lacks as null.
json string_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json identity_object(const std::optional<usb_identity>& identity) {
  if (!identity) return nullptr;
  return {{"vendor_id", identity->vendor_id},
          {"product_id", identity->product_id},
          {"serial", string_or_null(identity->serial)},
          {"manufacturer", string_or_null(identity->manufacturer)},
          {"product", string_or_null(identity->product)},
          {"usb_path", identity->usb_path}};
}

// The report's fields, in its order.
json report_object(const run_record& record) {
  return {{"port", record.port},
          {"device", text_or_null(record.device)},
          {"identity", identity_object(record.identity)},
          {"image", text_or_null(record.image)},
          {"sha256", text_or_null(record.sha256)},
          {"size", integer_or_null(record.size)},
          {"address", integer_or_null(record.address)},
          {"baud", integer_or_null(record.baud)},
          {"start", record.start},
          {"end", record.end},
          {"seconds", record.seconds},
          {"exit", integer_or_null(record.exit_status)},
          {"outcome", record.outcome},
          {"phase", text_or_null(record.phase)},
          {"reason", text_or_null(record.reason)},
          {"log", text_or_null(record.log)},
          {"station", text_or_null(record.station)},
          {"tool", text_or_null(record.tool)},
          {"boot_line", text_or_null(record.boot_line)}};
}

}  // namespace

const char* settlement_name(serial_settlement settlement) {
  // In serial_settlement's order.
  constexpr const char* names[] = {"spent", "returned", "kept"};
  return names[static_cast<std::size_t>(settlement)];
}

std::string report_text(const run_record& record) {
  // Names and paths are bytes as the system gives them; any that are not
  // UTF-8 are shown with replacement characters rather than making the line
  // invalid JSON.
  return report_object(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string history_line(const run_record& record) {
  json line = report_object(record);
  line["board_id"] = text_or_null(record.board_id);
  line["serial_number"] = record.serial ? json(record.serial->number) : json(nullptr);
  line["serial_pool"] = record.serial ? json(record.serial->pool) : json(nullptr);
  line["serial_state"] =
      record.serial ? json(settlement_name(record.serial->settlement)) : json(nullptr);
  return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string utc_text(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto since_epoch = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(since_epoch / 1000);
  const std::tm* utc = std::gmtime(&seconds);
  if (utc == nullptr) return {};
  char text[96];  // room for any year the int fields can hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900,
                utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec,
                static_cast<int>(since_epoch % 1000));
  return text;
}
