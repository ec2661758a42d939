#include "cli/phases.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "bootloader/bootloader.h"

void write_phase(port_handle port, const write_plan& plan, bool& error_flag,
                 const run_sink& report) {
  if (error_flag) return;
  // An image whose sectors were not all erased is never written.
  for (const flash_sector& sector : plan.erase) {
    if (!erase_sector(port, sector.number, phase_sink(run_phase::erase, report))) {
      error_flag = true;
      return;
    }
  }
  for (const image_stretch& segment : plan.write) {
    if (!write_memory(port, segment.address, segment.bytes.data(),
                      static_cast<uint32_t>(segment.bytes.size()),
                      phase_sink(run_phase::write, report))) {
      error_flag = true;
      return;
    }
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

bool read_target(port_handle port, run_phase phase, uint32_t address, uint32_t size,
                 std::vector<uint8_t>& buffer, const run_sink& report,
                 const block_arrived& arrived) {
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc&) {
    report(memory_failed{
        .phase = phase, .size = size, .reason = "not enough memory for the bytes to read"});
    return false;
  }
  return read_memory(port, address, buffer.data(), size, phase_sink(phase, report), arrived);
}

namespace {

// Reads one stretch back and compares it; false when the read failed or the
// bytes differ. `until_differ`: the read ends with the first block that
// differs, and only what was read is compared.
bool verify_segment(port_handle port, const image_stretch& segment, const run_sink& report,
                    bool until_differ) {
  const auto size = static_cast<uint32_t>(segment.bytes.size());
  std::vector<uint8_t> read_back;
  std::size_t read = size;  // bytes read back and compared
  block_arrived same_so_far;
  if (until_differ) {
    same_so_far = [&](uint32_t at, const uint8_t* bytes, uint32_t length) {
      const std::size_t offset = at - segment.address;
      const auto image = segment.bytes.begin() + static_cast<std::ptrdiff_t>(offset);
      if (std::equal(bytes, bytes + length, image)) return true;
      read = offset + length;
      return false;
    };
  }
  if (!read_target(port, run_phase::verify, segment.address, size, read_back, report,
                   same_so_far)) {
    return false;
  }
  std::string reason =
      compare_reason(segment.address, segment.bytes.first(read), std::span(read_back).first(read));
  if (read < size) reason += "; the rest was not read";
  report(
      compared{.address = segment.address, .size = size, .ok = reason.empty(), .reason = reason});
  return reason.empty();
}

}  // namespace

void verify_phase(port_handle port, std::span<const image_stretch> stretches, bool& error_flag,
                  const run_sink& report, bool until_differ) {
  if (error_flag) return;
  // The first stretch that differs ends the phase, as any failure does.
  for (const image_stretch& segment : stretches) {
    if (!verify_segment(port, segment, report, until_differ)) {
      error_flag = true;
      return;
    }
  }
}
