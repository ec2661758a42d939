#include "board_run.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

// The end object's value, or null where the run printed none.
template <typename T>
json from_end(const std::optional<end_line>& end, T end_line::*field) {
  if (!end) return nullptr;
  return json(*end.*field);
}

template <typename T>
json from_end(const std::optional<end_line>& end, std::optional<T> end_line::*field) {
  if (!end || !(*end.*field)) return nullptr;
  return json(*(*end.*field));
}

json text_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json identity_object(const std::optional<usb_identity>& identity) {
  if (!identity) return nullptr;
  return {{"vendor_id", identity->vendor_id},
          {"product_id", identity->product_id},
          {"serial", text_or_null(identity->serial)},
          {"manufacturer", text_or_null(identity->manufacturer)},
          {"product", text_or_null(identity->product)},
          {"usb_path", identity->usb_path}};
}

}  // namespace

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

std::string report_line(const board_run& run, const std::string& station) {
  const bool ok = outcome_is_success(run.verdict.outcome);
  const json record{{"port", run.port.name},
                    {"device", text_or_null(run.port.device)},
                    {"identity", identity_object(run.port.identity)},
                    {"image", from_end(run.end, &end_line::image)},
                    {"sha256", from_end(run.end, &end_line::sha256)},
                    {"size", from_end(run.end, &end_line::size)},
                    {"address", from_end(run.end, &end_line::address)},
                    {"baud", from_end(run.end, &end_line::baud)},
                    {"start", utc_text(run.start)},
                    {"end", utc_text(run.end_time)},
                    {"seconds", std::round(run.seconds * 1000) / 1000},
                    {"exit", run.exit_status ? json(*run.exit_status) : json(nullptr)},
                    {"outcome", outcome_name(run.verdict.outcome)},
                    {"phase", ok ? json(nullptr) : text_or_null(run.verdict.phase)},
                    {"reason", ok ? json(nullptr) : json(run.verdict.reason)},
                    {"log", text_or_null(run.log_path)},
                    {"station", text_or_null(station)},
                    {"tool", run.end ? text_or_null(run.end->version) : json(nullptr)}};
  // Names and paths are bytes as the system gives them; any that are not
  // UTF-8 are shown with replacement characters rather than making the line
  // invalid JSON.
  return record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
