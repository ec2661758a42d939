// A target address as the tests write it: on the wire, and on a command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/protocol.h"

// Most significant byte first, as the write and read commands carry it.
inline std::vector<uint8_t> address_bytes(uint32_t address) {
  const auto field = address_field(address);
  return {field.begin(), field.end()};
}

// "0x20000000": for --address, and for the simulator's --load and --dump.
inline std::string hex_address(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", address);
  return text;
}
