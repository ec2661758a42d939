// The boot loader's wire: the bytes each side sends, the block size, the
// flash sector map and the encoding of block headers and sector lists. Plain
// data and pure functions, shared by the programmer, the simulator, the
// tests, the benchmarks and the fuzzers, so each fact is written once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr uint8_t ack_byte = 0x75;
// What vexlor-sim answers when it refuses a step. The programmer gives no
// byte but the acknowledge a meaning: any other answer is a refusal.
inline constexpr uint8_t refusal_byte = 0x1F;
inline constexpr uint8_t start_byte = 0x7F;
inline constexpr uint8_t erase_prelude = 0x71;
inline constexpr uint8_t erase_command = 0x43;
inline constexpr uint8_t read_command = 0x11;
inline constexpr uint8_t write_command = 0x31;

inline constexpr uint32_t block_size = 256;  // the most a length byte can state

// Four bytes, most significant first, as the read and write commands carry
// a target address.
inline constexpr std::array<uint8_t, 4> address_field(uint32_t address) {
  return {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
}

inline constexpr uint32_t address_from_field(const uint8_t* field) {
  return uint32_t{field[0]} << 24 | uint32_t{field[1]} << 16 | uint32_t{field[2]} << 8 | field[3];
}

// One byte holding length - 1, for a block of 1 to 256 bytes.
inline constexpr uint8_t length_field(uint32_t length) { return static_cast<uint8_t>(length - 1); }

// An erase names a list of sectors: (count - 1), then each sector number's
// low byte. The programmer always sends a list of one.
inline constexpr std::array<uint8_t, 2> one_sector_list(uint32_t sector) {
  return {0x00, static_cast<uint8_t>(sector)};
}

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
inline constexpr bool sector_touched(const flash_sector& sector, uint32_t address, uint32_t size) {
  if (size == 0) return false;
  const uint32_t last = address + size - 1;
  const uint32_t sector_last = sector.start + sector.size - 1;
  return sector.start <= last && sector_last >= address;
}

// The sector of the map whose number an erase list names, if there is one.
inline constexpr std::optional<flash_sector> find_sector(uint8_t number) {
  for (const flash_sector& sector : sector_map) {
    if (sector.number == number) return sector;
  }
  return std::nullopt;
}

// A stretch of addresses, first to last byte.
struct address_range {
  uint32_t first;
  uint32_t last;
  bool operator==(const address_range&) const = default;
};

// The parts of [address, address + size) that no sector of the map holds,
// in address order: what a write there reaches without any erase. At most
// three: before the first block, between the blocks, after the last.
inline std::vector<address_range> ranges_outside_map(uint32_t address, uint32_t size) {
  std::vector<address_range> outside;
  if (size == 0) return outside;
  const uint64_t end = uint64_t{address} + size;  // one past the last byte
  uint64_t at = address;
  for (const flash_sector& sector : sector_map) {
    const uint64_t sector_end = uint64_t{sector.start} + sector.size;
    if (sector_end <= at) continue;
    if (sector.start >= end) break;
    if (sector.start > at) outside.push_back({static_cast<uint32_t>(at), sector.start - 1});
    at = sector_end;
  }
  if (at < end) outside.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(end - 1)});
  return outside;
}
