#include "cli/phases.h"

#include <cstdio>
#include <new>
#include <string>

#include "bootloader/bootloader.h"

void write_phase(port_handle port, std::span<const image_segment> segments, bool& error_flag,
                 const run_sink& report) {
  if (error_flag) return;
  // An image whose sectors were not all erased is never written.
  for (const flash_sector& sector : sectors_touched(segments)) {
    if (!erase_sector(port, sector.number, phase_sink(run_phase::erase, report))) {
      error_flag = true;
      return;
    }
  }
  for (const image_segment& segment : segments) {
    if (!write_memory(port, segment.address, segment.bytes.data(),
                      static_cast<uint32_t>(segment.bytes.size()),
                      phase_sink(run_phase::write, report))) {
      error_flag = true;
      return;
    }
  }
}

std::string compare_reason(uint32_t address, const std::vector<uint8_t>& image,
                           const std::vector<uint8_t>& read_back) {
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

bool read_target(port_handle port, run_phase phase, uint32_t address, uint32_t size,
                 std::vector<uint8_t>& buffer, const run_sink& report) {
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc&) {
    report(memory_failed{
        .phase = phase, .size = size, .reason = "not enough memory for the bytes to read"});
    return false;
  }
  return read_memory(port, address, buffer.data(), size, phase_sink(phase, report));
}

namespace {

// Reads one segment back and compares it; false when the read failed or the
// bytes differ.
bool verify_segment(port_handle port, const image_segment& segment, const run_sink& report) {
  const auto size = static_cast<uint32_t>(segment.bytes.size());
  std::vector<uint8_t> read_back;
  if (!read_target(port, run_phase::verify, segment.address, size, read_back, report)) {
    return false;
  }
  const std::string reason = compare_reason(segment.address, segment.bytes, read_back);
  report(
      compared{.address = segment.address, .size = size, .ok = reason.empty(), .reason = reason});
  return reason.empty();
}

}  // namespace

void verify_phase(port_handle port, std::span<const image_segment> segments, bool& error_flag,
                  const run_sink& report) {
  if (error_flag) return;
  // The first segment that differs ends the phase, as any failure does.
  for (const image_segment& segment : segments) {
    if (!verify_segment(port, segment, report)) {
      error_flag = true;
      return;
    }
  }
}
