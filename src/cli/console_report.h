// The run's events as the console shows them: status lines with their
// running percentage and tails, the front end's messages, and after each
// failure one indented line that says why.
#pragma once

#include <string>

#include "bootloader/report.h"

inline constexpr const char* console_banner = "vexlor prog v1.0\n\n";

// The bytes the console shows for one event.
std::string console_text(const run_event& event);

// The final line.
std::string console_final_line(bool error_flag);

// Writes to standard output and flushes at once, so that a message ending in
// ".." is visible while its operation waits, on a terminal and through a pipe.
void console_write(const std::string& text);

// A sink that writes each event's console text.
event_sink console_sink();
