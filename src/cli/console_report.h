// The run's events as the console shows them: status lines with their
// running percentage and tails, the front end's messages, after each
// failure one indented line that says why, and the final line.
#pragma once

#include <string>

#include "cli/run_events.h"

// "vexlor prog v1.0" and a blank line: the tool's major and minor version.
std::string console_banner();

// The bytes the console shows for one event.
std::string console_text(const run_event& event);

// Writes to standard output and flushes at once, so that a message ending in
// ".." is visible while its operation waits, on a terminal and through a pipe.
void console_write(const std::string& text);

// A sink that writes each event's console text.
run_sink console_sink();
