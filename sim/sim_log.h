// The event log (--log): one line per event, "<seconds.micros> <event>",
// times from CLOCK_MONOTONIC. Buffered; flushed on close events and at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

struct sim_log {
  std::FILE* file = nullptr;  // nullptr: logging is off
  bool dirty = false;         // lines written since the last flush
};

// Opens PATH for appending; false when it cannot be opened.
bool log_open(sim_log& log, const std::string& path);
void log_event(sim_log& log, int64_t at_ns, std::string_view text);
// "<t> TAG xx xx ...", bytes in lower-case hex.
void log_bytes(sim_log& log, int64_t at_ns, std::string_view tag, std::span<const uint8_t> bytes);
void log_flush(sim_log& log);
void log_close(sim_log& log);
