#include "sim_log.h"

#include <cinttypes>

namespace {

void write_time(std::FILE* file, int64_t at_ns) {
  std::fprintf(file, "%" PRId64 ".%06" PRId64, at_ns / 1'000'000'000, at_ns % 1'000'000'000 / 1000);
}

}  // namespace

bool log_open(sim_log& log, const std::string& path) {
  log.file = std::fopen(path.c_str(), "a");
  if (!log.file) return false;
  // A benchmark logs every byte; a large buffer keeps that off the timing.
  std::setvbuf(log.file, nullptr, _IOFBF, 1 << 16);
  return true;
}

void log_event(sim_log& log, int64_t at_ns, std::string_view text) {
  if (!log.file) return;
  log.dirty = true;
  write_time(log.file, at_ns);
  std::fprintf(log.file, " %.*s\n", static_cast<int>(text.size()), text.data());
}

void log_bytes(sim_log& log, int64_t at_ns, std::string_view tag, std::span<const uint8_t> bytes) {
  if (!log.file) return;
  log.dirty = true;
  write_time(log.file, at_ns);
  std::fprintf(log.file, " %.*s", static_cast<int>(tag.size()), tag.data());
  for (uint8_t byte : bytes) std::fprintf(log.file, " %02x", byte);
  std::fputc('\n', log.file);
}

void log_flush(sim_log& log) {
  if (log.file) std::fflush(log.file);
  log.dirty = false;
}

void log_close(sim_log& log) {
  if (log.file) std::fclose(log.file);
  log.file = nullptr;
}
