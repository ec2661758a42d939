#include "bootloader/status_line.h"

#include <cstdarg>
#include <cstdio>

void console_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void status_tail(bool ok) { console_printf(ok ? "\b\b - OK  \n" : "\b\b - error\n"); }

void percent_start() { console_printf("  0%%"); }

void percent_update(uint32_t done, uint32_t total) {
  // 64-bit product: done * 100 overflows 32 bits from about 43 MB on.
  unsigned percent = total == 0 ? 100u : static_cast<unsigned>(uint64_t{done} * 100 / total);
  console_printf("\b\b\b\b%3d%%", static_cast<int>(percent));
}

void percent_end() { console_printf("\b\b\b\b"); }
