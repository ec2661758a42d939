#include "run_record.h"

namespace {

using json = nlohmann::ordered_json;

std::optional<std::string> text_at(const nlohmann::json& object, const char* key) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_string()) return std::nullopt;
  return object[key].get<std::string>();
}

std::optional<int64_t> integer_at(const nlohmann::json& object, const char* key) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_number_integer()) {
    return std::nullopt;
  }
  return object[key].get<int64_t>();
}

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

}  // namespace

const char* settlement_name(serial_settlement settlement) {
  switch (settlement) {
    case serial_settlement::spent:
      return "spent";
    case serial_settlement::returned:
      return "returned";
    case serial_settlement::kept:
      return "kept";
  }
  return "spent";
}

run_record record_of_report(const nlohmann::json& line) {
  run_record record;
  record.port = text_at(line, "port").value_or("");
  record.device = text_at(line, "device");
  if (line.contains("identity") && line["identity"].is_object()) {
    const nlohmann::json& identity = line["identity"];
    record.identity = usb_identity{.vendor_id = text_at(identity, "vendor_id").value_or(""),
                                   .product_id = text_at(identity, "product_id").value_or(""),
                                   .serial = text_at(identity, "serial").value_or(""),
                                   .manufacturer = text_at(identity, "manufacturer").value_or(""),
                                   .product = text_at(identity, "product").value_or(""),
                                   .usb_path = text_at(identity, "usb_path").value_or("")};
  }
  record.image = text_at(line, "image");
  record.sha256 = text_at(line, "sha256");
  record.size = integer_at(line, "size");
  record.address = integer_at(line, "address");
  record.baud = integer_at(line, "baud");
  record.start = text_at(line, "start").value_or("");
  record.end = text_at(line, "end").value_or("");
  if (line.contains("seconds") && line["seconds"].is_number()) {
    record.seconds = line["seconds"].get<double>();
  }
  record.exit_status = integer_at(line, "exit");
  record.outcome = text_at(line, "outcome").value_or("");
  record.phase = text_at(line, "phase");
  record.reason = text_at(line, "reason");
  record.log = text_at(line, "log");
  record.station = text_at(line, "station");
  record.tool = text_at(line, "tool");
  return record;
}

std::string history_line(const run_record& record) {
  const json line{{"port", record.port},
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
                  {"board_id", text_or_null(record.board_id)},
                  {"serial_number", record.serial ? json(record.serial->number) : json(nullptr)},
                  {"serial_pool", record.serial ? json(record.serial->pool) : json(nullptr)},
                  {"serial_state", record.serial ? json(settlement_name(record.serial->settlement))
                                                 : json(nullptr)}};
  // As the report: bytes that are not UTF-8 are shown replaced, the line
  // stays valid JSON.
  return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
