// The control-line steps that open and close a run: which line goes to
// which level, and the pauses between, in their order. A board whose reset
// and boot pins hang on the lines otherwise than the defaults assume is
// reached by steps of its own (the command line's --enter and --leave).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serial/serial_port.h"

// One step: a line to drive, or a pause when `drive` is empty.
struct line_step {
  std::optional<port_line_action> drive;
  unsigned wait_ms = 0;
};

// Drives the steps on `port` in order: each line change back to back with
// the one before, each wait a pause. A port with no control lines at all (a
// pseudo-terminal) changes nothing, as it always did; any other failure
// ends the sequence, and `why` names the change.
bool drive_line_steps(port_handle port, const std::vector<line_step>& steps, std::string& why);
