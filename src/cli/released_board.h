// The board once the closing line sequence has let it go, on the port the
// run still holds: --expect checks that its application starts (a line it
// prints holds the text), --monitor shows what it prints. A verified flash
// proves the bytes; this proves the board runs them.
#pragma once

#include "cli/run_events.h"
#include "options/options.h"
#include "serial/serial_port.h"

// Reads the board's lines at --app-baud's rate, if given: first --expect's
// check, unless the run has failed (`error_flag`) or was stopped, which
// sets `outcome.boot_line` or fails the run; then --monitor, for as long
// as it was asked or until a stop request. True when a stop request came
// only while the monitor ran: it ended the monitor, not the run, whose
// outcome stays what it was.
bool watch_released_board(port_handle port, const run_settings& settings, bool& error_flag,
                          end_line& outcome, const run_sink& report);
