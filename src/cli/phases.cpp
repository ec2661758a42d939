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

namespace {

// Reads one segment back and compares it; false when the read failed or the
// bytes differ.
bool verify_segment(port_handle port, const image_segment& segment, const run_sink& report) {
  const auto size = static_cast<uint32_t>(segment.bytes.size());
  std::vector<uint8_t> read_back;
  try {
    read_back.resize(size);
  } catch (const std::bad_alloc&) {
    report(memory_failed{.phase = run_phase::verify,
                         .size = size,
                         .reason = "not enough memory to read the image back"});
    return false;
  }
  if (!read_memory(port, segment.address, read_back.data(), size,
                   phase_sink(run_phase::verify, report))) {
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
