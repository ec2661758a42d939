#include "support/console_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

std::string transfer_line(const std::string& verb, std::size_t size, std::size_t blocks, bool ok) {
  std::string line = verb + " " + std::to_string(size) + " bytes..  0%";
  for (std::size_t block = 1; block <= blocks; ++block) {
    const uint64_t done = std::min<uint64_t>(uint64_t{block} * 256, size);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(done * 100 / size));
    line += std::string("\b\b\b\b") + percent;
  }
  return line + "\b\b\b\b" + (ok ? ok_tail : error_tail);
}

std::string transfer_ok(const std::string& verb, std::size_t size) {
  return transfer_line(verb, size, (size + 255) / 256, true);
}
