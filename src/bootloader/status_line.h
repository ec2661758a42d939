// The console status line through which every protocol operation reports:
// a message ending in "..", an optional running percentage, then a tail that
// steps back over the two dots and says how it went.
#pragma once

#include <cstdint>

// printf to standard output, flushed at once so that a message ending in ".."
// is visible while its operation waits, on a terminal and through a pipe.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "\b\b - OK  " or "\b\b - error", then a line break.
void status_tail(bool ok);

// The percentage field of a transfer: starts at "  0%", each update replaces
// the last four columns, and the end removes the field before the tail.
void percent_start();
void percent_update(uint32_t done, uint32_t total);
void percent_end();
