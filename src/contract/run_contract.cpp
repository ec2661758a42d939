#include "contract/run_contract.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#ifndef VEXLOR_VERSION
#error "the build names the tool's version"
#endif

namespace {

using json = nlohmann::ordered_json;

// The names on the wire, written once for the writer and the reader.
namespace field {
constexpr const char* event = "event";
constexpr const char* phase = "phase";
constexpr const char* ok = "ok";
constexpr const char* reason = "reason";
constexpr const char* sector = "sector";
constexpr const char* address = "address";
constexpr const char* size = "size";
constexpr const char* done = "done";
constexpr const char* total = "total";
constexpr const char* errors = "errors";
constexpr const char* exit = "exit";
constexpr const char* port = "port";
constexpr const char* image = "image";
constexpr const char* sha256 = "sha256";
constexpr const char* baud = "baud";
constexpr const char* seconds = "seconds";
constexpr const char* version = "version";
constexpr const char* schema = "schema";
constexpr const char* write = "write";
constexpr const char* verify = "verify";
constexpr const char* segments = "segments";
constexpr const char* saved = "saved";
constexpr const char* board_id = "board_id";
constexpr const char* id = "id";
constexpr const char* written_sha256 = "written_sha256";
constexpr const char* attempt = "attempt";
constexpr const char* of = "of";
constexpr const char* format = "format";
constexpr const char* sectors = "sectors";
constexpr const char* sectors_written = "sectors_written";
constexpr const char* line = "line";
constexpr const char* lines = "lines";
constexpr const char* boot_line = "boot_line";
}  // namespace field

// The events' names: what the "event" field says.
namespace event {
constexpr const char *phase = "phase", *progress = "progress", *warning = "warning", *end = "end",
                     *board_id = "board_id", *attempt = "attempt", *skipped = "skipped",
                     *begun = "begun", *boot = "boot", *output = "output";
}  // namespace event

constexpr run_phase every_phase[] = {run_phase::usage,     run_phase::port,   run_phase::file,
                                     run_phase::handshake, run_phase::erase,  run_phase::write,
                                     run_phase::verify,    run_phase::signal, run_phase::save,
                                     run_phase::board_id,  run_phase::keep,   run_phase::forget,
                                     run_phase::boot_check};

template <typename T>
json or_null(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

json object_of(const phase_line& line) {
  json object{
      {field::event, event::phase}, {field::phase, phase_name(line.phase)}, {field::ok, line.ok}};
  if (!line.ok) object[field::reason] = line.reason;
  if (line.sector) object[field::sector] = *line.sector;
  if (line.address) object[field::address] = *line.address;
  if (line.size) object[field::size] = *line.size;
  return object;
}

json object_of(const progress_line& line) {
  return {{field::event, event::progress},
          {field::phase, phase_name(line.phase)},
          {field::done, line.done},
          {field::total, line.total}};
}

json object_of(const warning_line& line) {
  return {{field::event, event::warning}, {field::reason, line.reason}};
}

json object_of(const end_line& line) {
  json object{{field::event, event::end},
              {field::ok, line.ok},
              {field::errors, line.errors},
              {field::exit, line.exit},
              {field::phase, line.phase ? json(phase_name(*line.phase)) : json(nullptr)},
              {field::reason, or_null(line.reason)},
              {field::port, line.port},
              {field::image, or_null(line.image)},
              {field::size, or_null(line.size)},
              {field::sha256, or_null(line.sha256)},
              {field::address, line.address},
              {field::baud, line.baud},
              {field::seconds, line.seconds},
              {field::version, line.version},
              {field::schema, line.schema},
              {field::write, line.write},
              {field::verify, line.verify},
              {field::segments, or_null(line.segments)},
              {field::saved, or_null(line.saved)},
              {field::board_id, or_null(line.board_id)},
              {field::written_sha256, or_null(line.written_sha256)},
              {field::format, or_null(line.format)},
              {field::boot_line, or_null(line.boot_line)}};
  if (line.sectors_written) object[field::sectors_written] = *line.sectors_written;
  return object;
}

json object_of(const skipped_line& line) {
  return {{field::event, event::skipped}, {field::sectors, line.sectors}};
}

json object_of(const begun_line& line) {
  return {{field::event, event::begun}, {field::phase, phase_name(line.phase)}};
}

json object_of(const boot_check_line& line) {
  json object{{field::event, event::boot}, {field::ok, line.ok}};
  if (line.ok) object[field::line] = line.line;
  if (!line.ok) object[field::reason] = line.reason;
  object[field::seconds] = line.seconds;
  object[field::lines] = line.lines;
  return object;
}

json object_of(const output_line& line) {
  return {{field::event, event::output}, {field::line, line.line}};
}

json object_of(const board_id_line& line) {
  return {{field::event, event::board_id}, {field::id, line.id}};
}

json object_of(const unknown_line&) { return json::object(); }

json object_of(const attempt_line& line) {
  return {{field::event, event::attempt},
          {field::phase, phase_name(line.phase)},
          {field::attempt, line.attempt},
          {field::of, line.of},
          {field::reason, line.reason}};
}

// A reader's view of one object: a field of the wrong type reads as absent.
struct fields {
  const json& object;

  template <typename T>
  std::optional<T> get(const char* name) const {
    const auto it = object.find(name);
    if (it == object.end()) return std::nullopt;
    if constexpr (std::is_same_v<T, bool>) {
      if (!it->is_boolean()) return std::nullopt;
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (!it->is_string()) return std::nullopt;
    } else if constexpr (std::is_floating_point_v<T>) {
      if (!it->is_number()) return std::nullopt;
    } else {
      // Whole numbers only, and only those the field's type can hold.
      if (it->is_number_unsigned()) {
        const auto value = it->get<uint64_t>();
        if (value > static_cast<uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
        return static_cast<T>(value);
      }
      if (!it->is_number_integer()) return std::nullopt;
      const auto value = it->get<int64_t>();
      if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
          (value > 0 &&
           static_cast<uint64_t>(value) > static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
        return std::nullopt;
      }
      return static_cast<T>(value);
    }
    return it->get<T>();
  }

  std::optional<run_phase> phase(const char* name) const {
    const auto text = get<std::string>(name);
    return text ? phase_named(*text) : std::nullopt;
  }
};

std::optional<run_line> phase_from(const fields& f) {
  const auto phase = f.phase(field::phase);
  if (!phase) return std::nullopt;
  phase_line line{.phase = *phase, .ok = f.get<bool>(field::ok).value_or(false)};
  if (!line.ok) line.reason = f.get<std::string>(field::reason).value_or("");
  line.sector = f.get<uint32_t>(field::sector);
  line.address = f.get<uint32_t>(field::address);
  line.size = f.get<uint32_t>(field::size);
  return line;
}

std::optional<run_line> progress_from(const fields& f) {
  const auto phase = f.phase(field::phase);
  if (!phase) return std::nullopt;
  return progress_line{.phase = *phase,
                       .done = f.get<uint64_t>(field::done).value_or(0),
                       .total = f.get<uint64_t>(field::total).value_or(0)};
}

std::optional<run_line> attempt_from(const fields& f) {
  const auto phase = f.phase(field::phase);
  if (!phase) return std::nullopt;
  return attempt_line{.phase = *phase,
                      .attempt = f.get<int>(field::attempt).value_or(0),
                      .of = f.get<int>(field::of).value_or(0),
                      .reason = f.get<std::string>(field::reason).value_or("")};
}

end_line end_from(const fields& f) {
  end_line line{.schema = f.get<int>(field::schema).value_or(0),
                .ok = f.get<bool>(field::ok).value_or(false),
                .errors = f.get<int>(field::errors).value_or(1),
                .exit = f.get<int>(field::exit).value_or(1),
                .phase = f.phase(field::phase),
                .reason = f.get<std::string>(field::reason),
                .port = f.get<std::string>(field::port).value_or(""),
                .image = f.get<std::string>(field::image),
                .size = f.get<uint32_t>(field::size),
                .sha256 = f.get<std::string>(field::sha256),
                .address = f.get<uint32_t>(field::address).value_or(0),
                .baud = f.get<int32_t>(field::baud).value_or(0),
                .seconds = f.get<double>(field::seconds).value_or(0),
                .version = f.get<std::string>(field::version).value_or(""),
                .write = f.get<bool>(field::write).value_or(false),
                .verify = f.get<bool>(field::verify).value_or(false),
                .segments = f.get<uint32_t>(field::segments),
                .saved = f.get<std::string>(field::saved),
                .board_id = f.get<std::string>(field::board_id),
                .written_sha256 = f.get<std::string>(field::written_sha256),
                .format = f.get<std::string>(field::format),
                .sectors_written = f.get<uint32_t>(field::sectors_written),
                .boot_line = f.get<std::string>(field::boot_line)};
  return line;
}

// A list that is not one of sector numbers reads as empty.
skipped_line skipped_from(const json& object) {
  skipped_line line;
  const auto it = object.find(field::sectors);
  if (it == object.end() || !it->is_array()) return line;
  for (const json& number : *it) {
    if (!number.is_number_unsigned() || number.get<uint64_t>() > UINT32_MAX) return {};
    line.sectors.push_back(number.get<uint32_t>());
  }
  return line;
}

std::optional<run_line> begun_from(const fields& f) {
  const auto phase = f.phase(field::phase);
  if (!phase) return std::nullopt;
  return begun_line{*phase};
}

boot_check_line boot_from(const fields& f) {
  boot_check_line line{.ok = f.get<bool>(field::ok).value_or(false),
                       .seconds = f.get<double>(field::seconds).value_or(0)};
  if (line.ok) line.line = f.get<std::string>(field::line).value_or("");
  if (!line.ok) line.reason = f.get<std::string>(field::reason).value_or("");
  const auto lines = f.object.find(field::lines);
  if (lines != f.object.end() && lines->is_array()) {
    for (const json& text : *lines) {
      if (text.is_string()) line.lines.push_back(text.get<std::string>());
    }
  }
  return line;
}

}  // namespace

const char* tool_version() { return VEXLOR_VERSION; }

const char* phase_name(run_phase phase) {
  // In run_phase's order.
  constexpr const char* names[] = {"usage", "port",   "file",      "handshake", "erase",
                                   "write", "verify", "signal",    "save",      "board-id",
                                   "keep",  "forget", "boot-check"};
  static_assert(std::size(names) == std::size(every_phase));
  return names[static_cast<std::size_t>(phase)];
}

std::optional<run_phase> phase_named(std::string_view name) {
  for (const run_phase phase : every_phase) {
    if (name == phase_name(phase)) return phase;
  }
  return std::nullopt;
}

std::optional<std::string> board_id_not_unique(uint32_t address, std::string_view id) {
  if (id.size() < 4 || id.size() % 2 != 0) return std::nullopt;
  for (std::size_t at = 2; at < id.size(); at += 2) {
    if (id.substr(at, 2) != id.substr(0, 2)) return std::nullopt;
  }
  char where[16];
  std::snprintf(where, sizeof where, "0x%08lx", static_cast<unsigned long>(address));
  return "the board id at " + std::string(where) + " reads " + std::string(id.substr(0, 2)) +
         " in every byte: not a unique id";
}

unsigned percent_done(uint64_t done, uint64_t total) {
  if (total == 0) return 100;
  // In 128 bits: done * 100 may not fit 64 when a reader is handed any count.
  return static_cast<unsigned>(
      std::min<unsigned __int128>(static_cast<unsigned __int128>(done) * 100 / total, 100));
}

std::string run_line_text(const run_line& line) {
  const json object = std::visit([](const auto& l) { return object_of(l); }, line);
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<run_line> parse_run_line(std::string_view text) {
  const json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const fields f{object};
  const std::string kind = f.get<std::string>(field::event).value_or("");
  if (kind == event::phase) return phase_from(f);
  if (kind == event::progress) return progress_from(f);
  if (kind == event::warning) return warning_line{f.get<std::string>(field::reason).value_or("")};
  if (kind == event::end) return end_from(f);
  if (kind == event::board_id) return board_id_line{f.get<std::string>(field::id).value_or("")};
  if (kind == event::attempt) return attempt_from(f);
  if (kind == event::skipped) return skipped_from(object);
  if (kind == event::begun) return begun_from(f);
  if (kind == event::boot) return boot_from(f);
  if (kind == event::output) return output_line{f.get<std::string>(field::line).value_or("")};
  return unknown_line{};
}
