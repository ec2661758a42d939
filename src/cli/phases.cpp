#include "cli/phases.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "bootloader/bootloader.h"

void write_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                 bool& error_flag, const run_sink& report) {
  if (error_flag) return;
  const auto size = static_cast<uint32_t>(image.size());
  // An image whose sectors were not all erased is never written.
  if (!erase_range(port, address, size, phase_sink(run_phase::erase, report)) ||
      !write_memory(port, address, image.data(), size, phase_sink(run_phase::write, report))) {
    error_flag = true;
  }
}

std::string compare_reason(uint32_t address, std::span<const uint8_t> image,
                           std::span<const uint8_t> read_back) {
  std::size_t differ = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (image[i] == read_back[i]) continue;
    if (differ++ == 0) first = i;
  }
  if (differ == 0) return {};
  char text[128];
  std::snprintf(text, sizeof text,
                "image and target differ in %zu byte(s), first at 0x%08lx: image 0x%02x, "
                "target 0x%02x",
                differ, static_cast<unsigned long>(address + static_cast<uint32_t>(first)),
                image[first], read_back[first]);
  return text;
}

void verify_phase(port_handle port, uint32_t address, const std::vector<uint8_t>& image,
                  bool& error_flag, const run_sink& report, bool until_differ) {
  if (error_flag) return;
  const auto size = static_cast<uint32_t>(image.size());
  std::vector<uint8_t> read_back;
  try {
    read_back.resize(size);
  } catch (const std::bad_alloc&) {
    report(memory_failed{.phase = run_phase::verify,
                         .size = size,
                         .reason = "not enough memory to read the image back"});
    error_flag = true;
    return;
  }
  std::size_t read = size;  // bytes read back and compared
  block_arrived same_so_far;
  if (until_differ) {
    same_so_far = [&](uint32_t at, const uint8_t* bytes, uint32_t length) {
      const std::size_t offset = at - address;
      if (std::equal(bytes, bytes + length, image.begin() + static_cast<std::ptrdiff_t>(offset))) {
        return true;
      }
      read = offset + length;
      return false;
    };
  }
  if (!read_memory(port, address, read_back.data(), size, phase_sink(run_phase::verify, report),
                   same_so_far)) {
    error_flag = true;
    return;
  }
  std::string reason =
      compare_reason(address, std::span(image).first(read), std::span(read_back).first(read));
  if (read < size) reason += "; the rest was not read";
  report(compared{.address = address, .size = size, .ok = reason.empty(), .reason = reason});
  if (!reason.empty()) error_flag = true;
}
