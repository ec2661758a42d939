// What the boot-loader operations report as they go: the handshake, each
// sector erase, each transfer's start, blocks and end. They hand these to
// the sink they are given and never print by themselves; the front end
// renders them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

enum class transfer_direction : uint8_t { write, read };

// The start byte went out ("initializing device..").
struct handshake_begun {};

struct handshake_ended {
  bool ok = true;
  std::string reason;  // why not: one lower-case line
  int attempt = 1;     // the attempt that ended it,
  int attempts = 1;    // of the attempts the run allows
};

// An attempt at the start handshake failed and another follows: the board
// is entered and greeted again.
struct handshake_attempt_failed {
  int attempt = 1;
  int attempts = 1;
  std::string reason;  // what this attempt got
};

// One sector's erase exchange ended (a range erase shows nothing else).
struct sector_erased {
  uint32_t sector = 0;
  bool ok = true;
  std::string reason;
};

struct transfer_begun {
  transfer_direction direction = transfer_direction::write;
  uint32_t address = 0;
  uint32_t size = 0;
};

// A block went through: `done` bytes of `size` so far.
struct transfer_progress {
  transfer_direction direction = transfer_direction::write;
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t done = 0;
};

struct transfer_ended {
  transfer_direction direction = transfer_direction::write;
  uint32_t address = 0;
  uint32_t size = 0;
  bool ok = true;
  std::string reason;
};

using bootloader_event =
    std::variant<handshake_begun, handshake_ended, sector_erased, transfer_begun, transfer_progress,
                 transfer_ended, handshake_attempt_failed>;

using event_sink = std::function<void(const bootloader_event&)>;
