#include "runs/board_run.h"

#include <cmath>

namespace {

std::optional<std::string> text_or_none(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

}  // namespace

run_record record_of_run(const board_run& run, const std::string& station) {
  const bool ok = outcome_is_success(run.verdict.outcome);
  const std::optional<end_line>& end = run.end;
  return {.run_id = run.run_id,
          .port = run.port.name,
          .device = text_or_none(run.port.device),
          .identity = run.port.identity,
          .image = end ? end->image : std::nullopt,
          .sha256 = end ? end->sha256 : std::nullopt,
          .size = end && end->size ? std::optional<int64_t>(*end->size) : std::nullopt,
          .address = end ? std::optional<int64_t>(end->address) : std::nullopt,
          .baud = end ? std::optional<int64_t>(end->baud) : std::nullopt,
          .start = utc_text(run.start),
          .end = utc_text(run.end_time),
          .seconds = std::round(run.seconds * 1000) / 1000,
          .exit_status = run.exit_status,
          .outcome = outcome_name(run.verdict.outcome),
          .phase = ok ? std::nullopt : text_or_none(run.verdict.phase),
          .reason = ok ? std::nullopt : std::optional(run.verdict.reason),
          .log = text_or_none(run.log_path),
          .station = text_or_none(station),
          .tool = end ? text_or_none(end->version) : std::nullopt,
          .board_id = run.board_id,
          .serial = run.serial,
          .station_image = text_or_none(run.station_image),
          .station_sha256 = text_or_none(run.station_sha256),
          .warnings = run.warnings,
          .sectors_written = end && end->sectors_written
                                 ? std::optional<int64_t>(*end->sectors_written)
                                 : std::nullopt,
          .boot_line = run.boot_line,
          .board_lines = run.board_lines};
}

std::string report_line(const board_run& run, const std::string& station) {
  return report_text(record_of_run(run, station));
}
