// The board once the closing line sequence has let it go, on the port the
// run still holds: --expect checks that its application starts (a line it
// prints holds the text). A verified flash proves the bytes; this proves
// the board runs them.
#pragma once

#include "cli/run_events.h"
#include "options/options.h"
#include "serial/serial_port.h"

// --expect's check, at --app-baud's rate if given, unless the run has
// failed (`error_flag`) or was stopped: sets `outcome.boot_line`, or fails
// the run.
void watch_released_board(port_handle port, const run_settings& settings, bool& error_flag,
                          end_line& outcome, const run_sink& report);
