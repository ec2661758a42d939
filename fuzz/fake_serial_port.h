// An in-process serial line for the fuzz targets: the target's answers come
// from the fuzzer's bytes, and everything the host does on the line (writes,
// reads, pauses) is kept in order for the checks. No real time passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/serial_port.h"

struct fake_event {
  enum kind_type { write, read, sleep } kind;
  std::size_t asked = 0;       // read: bytes asked for
  std::vector<uint8_t> bytes;  // write: bytes sent; read: bytes delivered
  unsigned ms = 0;             // sleep
};

// Opens a line whose target answers from `answers`. Each read takes one byte
// that says how many bytes arrive (0xFF: all that were asked for, otherwise
// at most that many), then takes those bytes. Once the answers run out the
// line is silent. The answers must outlive the port.
port_handle fake_port_open(const uint8_t* answers, std::size_t size);

// What the host did since the last fake_port_open.
const std::vector<fake_event>& fake_transcript();
