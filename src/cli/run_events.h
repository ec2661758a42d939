// What a run reports: one stream of events, which the front end renders as
// the console text or as JSON Lines. The boot loader's own events arrive
// tagged with the phase of the run they came in; the rest are the front
// end's own: its failures before the target was reached, the comparison,
// warnings, and the outcome, last of all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "bootloader/report.h"
#include "contract/run_contract.h"

// What the boot loader reported, in the phase the run was in: a read is
// the verify phase's, a write the write phase's.
struct protocol_event {
  run_phase phase = run_phase::handshake;
  bootloader_event event;
};

// The verify phase compared the image with what it read back.
struct compared {
  uint32_t address = 0;
  uint32_t size = 0;
  bool ok = true;
  std::string reason;  // where they differ
};

// The run goes on, but the user should know.
struct run_warning {
  std::string reason;
};

// The port did not open: nothing was done.
struct port_failed {
  std::string port;
  std::string reason;
};

// The image could not be used: nothing has been sent.
struct file_failed {
  enum kind_type { cannot_open, cannot_read, does_not_fit } kind = cannot_open;
  std::string path;
  std::string reason;
  uint32_t address = 0;  // does_not_fit: where it was to go
  uint32_t size = 0;     // does_not_fit: its bytes
};

// Memory for `size` bytes could not be had.
struct memory_failed {
  run_phase phase = run_phase::verify;
  uint32_t size = 0;
  std::string reason;
};

// --save: the read went through, and its bytes are in the file, or why
// not (the file could not be written, a stop came first). A read that
// failed is told by its own protocol event.
struct save_ended {
  std::string path;
  uint32_t address = 0;
  uint32_t size = 0;
  bool ok = true;
  std::string reason;
};

// The board's own id was read: lower-case hex.
struct board_identified {
  std::string id;
};

// --changed-only: these sectors (by number, in the map's order) hold what
// the image would put there, as this host last flashed them: left as they
// are.
struct sectors_unchanged {
  std::vector<uint32_t> sectors;
};

// --forget-board: the board's record was removed, or why not.
struct board_forgotten {
  std::string id;
  bool ok = true;
  std::string reason;
};

// --expect: the board has been let go, and its lines are read for the text.
struct boot_check_begun {};

// --expect: the check ended, with the line that held the text or why no
// line did. Lines as visible text (boot_check_line).
struct boot_checked {
  bool ok = true;
  std::string line;
  std::string reason;
  double seconds = 0;
  std::vector<std::string> lines;  // the board's last lines, up to three
};

// --monitor: the board's lines are shown from here on, for `seconds` or,
// without, until a stop request.
struct monitor_begun {
  std::optional<double> seconds;
};

// --monitor: what the board printed, as visible text: a whole line
// (`line_ended`), or a piece of one that stayed without its line feed.
struct board_output {
  std::string text;
  bool line_ended = true;
  bool goes_on = false;  // the rest of a line a piece of which was shown
};

// --monitor ended; `mid_line` when the last piece shown ended no line.
struct monitor_ended {
  bool mid_line = false;
};

// The run's outcome: the end object's contents.
struct run_ended {
  end_line outcome;
};

using run_event =
    std::variant<protocol_event, compared, run_warning, port_failed, file_failed, memory_failed,
                 run_ended, save_ended, board_identified, sectors_unchanged, board_forgotten,
                 boot_check_begun, boot_checked, monitor_begun, board_output, monitor_ended>;

using run_sink = std::function<void(const run_event&)>;

// The boot loader's sink for one phase of the run.
inline event_sink phase_sink(run_phase phase, const run_sink& report) {
  return [phase, &report](const bootloader_event& event) { report(protocol_event{phase, event}); };
}

// The phase and reason of an event that is a failure; nullopt for any other.
struct failure_note {
  run_phase phase;
  std::string reason;
};
std::optional<failure_note> failure_of(const run_event& event);
