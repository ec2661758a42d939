// What a run reports: one set of events, which the front end renders as the
// console text or as JSON Lines. The boot-loader operations hand theirs to
// the sink the run passes down and never print by themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// json_report.cpp names them in this order.
enum class run_phase : uint8_t { port, file, handshake, erase, write, verify, signal };

enum class event_kind : uint8_t {
  begun,     // an operation started: the handshake, a transfer (a sector erase shows nothing)
  progress,  // a block of a transfer went through
  ended,     // an operation ended, well or not; `reason` says why not
  compared,  // the verify phase compared the image with what it read back
  warning,   // the run goes on, but the user should know (`reason`)
};

// What the front end failed at before the target was reached; each has a
// console line of its own.
enum class front_end_failure : uint8_t {
  none,
  cannot_open_port,
  cannot_open_file,
  cannot_read_file,
  image_does_not_fit,
  cannot_allocate,
};

struct run_event {
  event_kind kind = event_kind::ended;
  run_phase phase = run_phase::handshake;
  bool ok = true;
  uint32_t sector = 0;   // erase
  uint32_t address = 0;  // transfers: where they start; image_does_not_fit: where it was to go
  uint32_t size = 0;     // transfers, cannot_allocate, image_does_not_fit: bytes
  uint32_t done = 0;     // progress: bytes through so far, of `size`
  std::string reason;    // one lower-case line: why it failed, or the warning
  front_end_failure failure = front_end_failure::none;
  std::string subject;  // the port name or the image path a front-end failure names
};

using event_sink = std::function<void(const run_event&)>;
