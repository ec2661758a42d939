#include "support/console_text.h"

#include <algorithm>
#include <cctype>
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

namespace {

bool is_reason_line(const std::string& console, std::size_t start) {
  return console.compare(start, 2, "  ") == 0 && start + 2 < console.size() &&
         (std::islower(static_cast<unsigned char>(console[start + 2])) ||
          console[start + 2] == '-');
}

}  // namespace

std::string without_reasons(const std::string& console) {
  std::string kept;
  for (std::size_t start = 0; start < console.size();) {
    const std::size_t end = std::min(console.find('\n', start), console.size() - 1) + 1;
    if (!is_reason_line(console, start)) kept.append(console, start, end - start);
    start = end;
  }
  return kept;
}

std::vector<std::string> reason_lines(const std::string& console) {
  std::vector<std::string> reasons;
  for (std::size_t start = 0; start < console.size();) {
    const std::size_t end = std::min(console.find('\n', start), console.size() - 1) + 1;
    if (is_reason_line(console, start)) {
      reasons.push_back(console.substr(start + 2, end - start - 2 - (console[end - 1] == '\n')));
    }
    start = end;
  }
  return reasons;
}
