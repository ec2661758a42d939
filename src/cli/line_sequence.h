// The control-line steps that open and close a run (--enter, --leave): which
// line goes to which level, and the pauses between, in the order given. A
// board whose reset and boot pins hang on the lines otherwise than the
// defaults assume is reached by spelling its own sequence.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_port.h"

// One step: a line to drive, or a pause when `drive` is empty.
struct line_step {
  std::optional<port_line_action> drive;
  unsigned wait_ms = 0;
};

inline constexpr unsigned max_line_wait_ms = 10'000;

// The sequences of a run that is not told otherwise: clear RTS, pulse DTR,
// 10 ms for the boot loader to start; then set RTS and pulse DTR at the end.
inline constexpr std::string_view default_enter_sequence = "R0,D1,D0,W10";
inline constexpr std::string_view default_leave_sequence = "R1,D1,D0";

// Reads a sequence: steps separated by commas, no spaces. R1 sets RTS, R0
// clears it, D1 sets DTR, D0 clears it, W<ms> waits 0 to 10000 ms; the
// single word "none" is no step at all. Anything else is refused: nullopt,
// and `why` names the bad step (as printable ASCII, whatever it holds).
std::optional<std::vector<line_step>> parse_line_sequence(std::string_view text, std::string& why);

// The steps of one of the defaults above.
std::vector<line_step> default_line_steps(std::string_view text);

// Drives the steps on `port` in order: each line change back to back with
// the one before, each wait a pause. A port with no control lines at all (a
// pseudo-terminal) changes nothing, as it always did; any other failure
// ends the sequence, and `why` names the change.
bool drive_line_steps(port_handle port, const std::vector<line_step>& steps, std::string& why);
