#include "records/run_record.h"

#include <cstdio>
#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

#include "text/hex_text.h"
#include "text/visible_text.h"

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
          {"warnings", record.warnings},
          {"sectors_written", integer_or_null(record.sectors_written)},
          {"boot_line", text_or_null(record.boot_line)}};
}

}  // namespace

const char* settlement_name(serial_settlement settlement) {
  // In serial_settlement's order.
  constexpr const char* names[] = {"spent", "returned", "kept", "conflict"};
  return names[static_cast<std::size_t>(settlement)];
}

std::optional<serial_settlement> settlement_named(std::string_view name) {
  for (const serial_settlement settlement :
       {serial_settlement::spent, serial_settlement::returned, serial_settlement::kept,
        serial_settlement::conflict}) {
    if (name == settlement_name(settlement)) return settlement;
  }
  return std::nullopt;
}

std::string report_text(const run_record& record) {
  // Names and paths are bytes as the system gives them; any that are not
  // UTF-8 are shown with replacement characters rather than making the line
  // invalid JSON.
  return report_object(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

json history_object(const run_record& record) {
  json line = report_object(record);
  line["board_id"] = text_or_null(record.board_id);
  line["serial_number"] = record.serial ? json(record.serial->number) : json(nullptr);
  line["serial_pool"] = record.serial ? json(record.serial->pool) : json(nullptr);
  line["serial_state"] =
      record.serial ? json(settlement_name(record.serial->settlement)) : json(nullptr);
  line["run_id"] = record.run_id.empty() ? json(nullptr) : json(record.run_id);
  line["station_image"] = text_or_null(record.station_image);
  line["station_sha256"] = text_or_null(record.station_sha256);
  return line;
}

// The history's fields one level deep: the identity object's as
// "identity.vendor_id" and so on, whether or not the run has one.
std::vector<std::pair<std::string, json>> flat_fields(const run_record& record) {
  std::vector<std::pair<std::string, json>> fields;
  const json identity_fields = identity_object(usb_identity{});
  const json line = history_object(record);
  for (const auto& [key, value] : line.items()) {
    if (key != "identity") {
      fields.emplace_back(key, value);
      continue;
    }
    for (const auto& [name, unused] : identity_fields.items()) {
      fields.emplace_back(key + "." + name, value.is_object() ? value[name] : json(nullptr));
    }
  }
  return fields;
}

std::string csv_cell(const json& value) {
  if (value.is_null()) return {};
  const std::string text =
      visible_text(value.is_string() ? value.get<std::string>()
                                     : value.dump(-1, ' ', false, json::error_handler_t::replace));
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string history_line(const run_record& record) {
  return history_object(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string spool_line(const run_record& record) {
  json line = {{"spool", spool_format_version}};
  line.update(history_object(record));
  return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

// A field of the spooled line as the record keeps it; a field of the wrong
// type makes the line no record.
struct spool_fields {
  const json& line;
  bool whole = true;

  std::optional<std::string> text(const char* key) {
    const json& value = line.contains(key) ? line[key] : json(nullptr);
    if (value.is_string()) return value.get<std::string>();
    whole = whole && value.is_null();
    return std::nullopt;
  }
  std::string needed(const char* key) {
    const std::optional<std::string> value = text(key);
    whole = whole && value && !value->empty();
    return value.value_or("");
  }
  double real(const char* key) {
    const json& value = line.contains(key) ? line[key] : json(nullptr);
    whole = whole && value.is_number();
    return value.is_number() ? value.get<double>() : 0;
  }
  std::optional<int64_t> integer(const char* key) {
    const json& value = line.contains(key) ? line[key] : json(nullptr);
    if (value.is_number_integer()) return value.get<int64_t>();
    whole = whole && value.is_null();
    return std::nullopt;
  }
  std::vector<std::string> texts(const char* key) {
    const json& value = line.contains(key) ? line[key] : json(nullptr);
    std::vector<std::string> kept;
    if (!value.is_array()) {
      whole = whole && value.is_null();
      return kept;
    }
    for (const json& item : value) {
      whole = whole && item.is_string();
      if (item.is_string()) kept.push_back(item.get<std::string>());
    }
    return kept;
  }
};

std::optional<usb_identity> identity_of(const json& value, bool& whole) {
  if (!value.is_object()) {
    whole = whole && value.is_null();
    return std::nullopt;
  }
  spool_fields f{value};
  usb_identity identity{.vendor_id = f.needed("vendor_id"),
                        .product_id = f.needed("product_id"),
                        .serial = f.text("serial").value_or(""),
                        .manufacturer = f.text("manufacturer").value_or(""),
                        .product = f.text("product").value_or(""),
                        .usb_path = f.text("usb_path").value_or("")};
  whole = whole && f.whole;
  return identity;
}

}  // namespace

bool record_of_spool_line(const std::string& text, run_record& record, std::string& why) {
  const json line = json::parse(text, nullptr, false);
  if (!line.is_object() || !line.contains("spool") || !line["spool"].is_number_integer()) {
    why = "no spooled record";
    return false;
  }
  if (line["spool"] != spool_format_version) {
    why = "a spooled record of version " + line["spool"].dump() +
          ", and this vexlor-flash-all reads version " + std::to_string(spool_format_version);
    return false;
  }
  spool_fields f{line};
  record = {.run_id = f.needed("run_id"),
            .port = f.needed("port"),
            .device = f.text("device"),
            .identity = identity_of(line.value("identity", json(nullptr)), f.whole),
            .image = f.text("image"),
            .sha256 = f.text("sha256"),
            .size = f.integer("size"),
            .address = f.integer("address"),
            .baud = f.integer("baud"),
            .start = f.needed("start"),
            .end = f.needed("end"),
            .seconds = f.real("seconds"),
            .exit_status = f.integer("exit"),
            .outcome = f.needed("outcome"),
            .phase = f.text("phase"),
            .reason = f.text("reason"),
            .log = f.text("log"),
            .station = f.text("station"),
            .tool = f.text("tool"),
            .board_id = f.text("board_id"),
            .serial = std::nullopt,
            .station_image = f.text("station_image"),
            .station_sha256 = f.text("station_sha256"),
            .warnings = f.texts("warnings"),
            .sectors_written = f.integer("sectors_written"),
            .boot_line = f.text("boot_line")};
  const std::optional<std::string> pool = f.text("serial_pool");
  const std::optional<int64_t> number = f.integer("serial_number");
  const std::optional<std::string> state = f.text("serial_state");
  if (pool && number && state && *number >= 0) {
    const std::optional<serial_settlement> settlement = settlement_named(*state);
    record.serial = serial_use{.pool = *pool,
                               .number = static_cast<uint64_t>(*number),
                               .settlement = settlement.value_or(serial_settlement::spent)};
    f.whole = f.whole && settlement;
  } else {
    f.whole = f.whole && !pool && !number && !state;
  }
  if (f.whole) return true;
  why = "a spooled record with a field missing or of the wrong kind";
  return false;
}

std::string history_csv_header() {
  std::string line;
  for (const auto& [key, unused] : flat_fields(run_record{}))
    line += (line.empty() ? "" : ",") + key;
  return line + "\n";
}

std::string history_csv_line(const run_record& record) {
  std::string line;
  bool first = true;
  for (const auto& [key, value] : flat_fields(record)) {
    if (!first) line += ',';
    line += csv_cell(value);
    first = false;
  }
  return line + "\n";
}

std::string new_run_id() {
  std::random_device source;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 4; ++i) {
    const uint32_t word = source();
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<uint8_t>(word >> shift));
  }
  return hex_text(bytes);
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

namespace {

// Reads `count` decimal digits at `at`, moving past them.
bool digits(const std::string& text, std::size_t& at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t end = at + count; at < end; ++at) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

bool next_is(const std::string& text, std::size_t at, const char* any) {
  return at < text.size() && std::string_view(any).find(text[at]) != std::string_view::npos;
}

}  // namespace

bool parse_record_time(const std::string& text, bool end_of_day, std::string& utc,
                       std::string& why) {
  using namespace std::chrono;
  std::size_t at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0, offset = 0;
  bool fits = digits(text, at, 4, year) && next_is(text, at++, "-") && digits(text, at, 2, month) &&
              next_is(text, at++, "-") && digits(text, at, 2, day);
  const year_month_day date{std::chrono::year{year},
                            std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  fits = fits && date.ok();
  const bool time_given = fits && at < text.size();
  if (time_given) {
    fits = next_is(text, at++, "T ") && digits(text, at, 2, hour) && next_is(text, at++, ":") &&
           digits(text, at, 2, minute) && hour < 24 && minute < 60;
    if (fits && next_is(text, at, ":")) {
      ++at;
      fits = digits(text, at, 2, second) && second < 60;
      if (fits && next_is(text, at, ".")) {
        // Milliseconds, as the records keep them; finer digits are passed over.
        const std::size_t first = ++at;
        for (int place = 100; next_is(text, at, "0123456789"); ++at, place /= 10) {
          millis += (text[at] - '0') * place;
        }
        fits = at > first;
      }
    }
    if (fits && next_is(text, at, "Z")) {
      ++at;
    } else if (fits && next_is(text, at, "+-")) {
      const int sign = text[at++] == '-' ? -1 : 1;
      int offset_hours = 0, offset_minutes = 0;
      fits = digits(text, at, 2, offset_hours);
      if (fits && next_is(text, at, ":")) ++at;
      if (fits && at < text.size()) fits = digits(text, at, 2, offset_minutes);
      fits = fits && offset_hours < 24 && offset_minutes < 60;
      offset = sign * (offset_hours * 60 + offset_minutes);
    }
    fits = fits && at == text.size();
  }
  if (!fits) {
    why =
        "takes an ISO 8601 date or time, UTC unless an offset is given (2026-12-07, "
        "2026-12-07T10:31, 2026-12-07T10:31:02+01:00), not \"" +
        text + "\"";
    return false;
  }
  sys_time<milliseconds> time = sys_days(date) + hours(hour) + minutes(minute - offset) +
                                seconds(second) + milliseconds(millis);
  if (!time_given && end_of_day) time += days(1);
  utc = utc_text(time_point_cast<system_clock::duration>(time));
  return true;
}
