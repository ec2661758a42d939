// The target's serial boot loader: acknowledge rule, start handshake, flash
// sector map and erase, memory read and write. Every operation talks to the
// target synchronously, reports through the console status line and returns
// true on success.
#pragma once

#include <array>
#include <cstdint>

#include "serial/serial_port.h"

inline constexpr uint8_t ack_byte = 0x75;
inline constexpr uint8_t start_byte = 0x7F;
inline constexpr uint8_t erase_prelude = 0x71;
inline constexpr uint8_t erase_command = 0x43;
inline constexpr uint8_t read_command = 0x11;
inline constexpr uint8_t write_command = 0x31;

inline constexpr int ack_tries = 10;
inline constexpr int erase_final_tries = 100;  // a sector erase takes long
inline constexpr unsigned empty_ack_pause_ms = 100;
inline constexpr uint32_t block_size = 256;  // most a length byte can state

// True when the first byte received within `tries` one-byte reads is the
// acknowledge byte; a wrong byte fails at once, and so does a stopped run.
bool wait_ack(port_handle port, int tries);

// A stopped run (Ctrl-C, a kill) starts no new exchange: each operation
// checks this before it sends a command and then fails as a refusal would.
inline bool run_stopped() { return stop_exit_status() != 0; }

// Sends the start byte and waits for the acknowledge, with its status line.
bool device_init(port_handle port);

struct flash_sector {
  uint32_t number;  // only the low byte goes on the wire
  uint32_t start;
  uint32_t size;
};

inline constexpr std::array<flash_sector, 10> sector_map{{
    {0, 0x20000000, 0x2000},
    {1, 0x20002000, 0x2000},
    {2, 0x20004000, 0x2000},
    {3, 0x20006000, 0x2000},
    {4, 0x20008000, 0x8000},
    {5, 0x20010000, 0x10000},
    {6, 0x20020000, 0x10000},
    {7, 0x20030000, 0x10000},
    {16, 0x200C0000, 0x2000},
    {17, 0x200C2000, 0x2000},
}};

// True when the sector shares at least one byte with [address, address + size).
bool sector_touched(const flash_sector& sector, uint32_t address, uint32_t size);

bool erase_sector(port_handle port, uint32_t sector);

// Erases every sector of the map that [address, address + size) touches, in
// map order, stopping at the first failure.
bool erase_range(port_handle port, uint32_t address, uint32_t size);

bool write_memory(port_handle port, uint32_t address, const uint8_t* data, uint32_t size);

// `buffer` must hold `size` bytes.
bool read_memory(port_handle port, uint32_t address, uint8_t* buffer, uint32_t size);
