// The two optional phases of a run. Each does nothing once the run's error
// flag is set, and sets it when one of its operations fails. An image is
// one or more segments, lowest address first, and the write plan says what
// becomes of them: the write phase erases the plan's sectors, each once and
// in the map's order, then writes each of its stretches as a transfer of
// its own; the verify phase reads each stretch it is given back and
// compares it. Gaps between segments are neither erased nor written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bootloader/bootloader.h"
#include "image/image.h"
#include "cli/run_events.h"
#include "cli/write_plan.h"
#include "serial/serial_port.h"

void write_phase(port_handle port, const write_plan& plan, bool& error_flag,
                 const run_sink& report);
// `until_differ`: each stretch's read ends with the first block that
// differs from the image, so that a board holding something else costs one
// block of reading.
void verify_phase(port_handle port, std::span<const image_stretch> stretches, bool& error_flag,
                  const run_sink& report, bool until_differ = false);

// Reads `size` bytes at `address` into `buffer`, as a transfer of
// `phase`; false, and told, when the memory for them cannot be had or the
// read fails. `arrived`, when given, may end the read early.
bool read_target(port_handle port, run_phase phase, uint32_t address, uint32_t size,
                 std::vector<uint8_t>& buffer, const run_sink& report,
                 const block_arrived& arrived = {});

// Where and how the target's memory differs from the image; empty when it
// does not. One line, for the verify phase's reason.
std::string compare_reason(uint32_t address, std::span<const uint8_t> image,
                           std::span<const uint8_t> read_back);
