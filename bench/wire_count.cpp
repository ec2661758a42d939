#include "wire_count.h"

#include "protocol/protocol.h"

namespace {

// Start byte and its acknowledge.
constexpr uint64_t handshake_bytes = 2;
// Prelude, two acknowledges, erase command, acknowledge, count and sector, acknowledge.
constexpr uint64_t erase_bytes = 1 + 2 + 1 + 1 + 2 + 1;
// Command, acknowledge, four address bytes, acknowledge, length byte; then
// the data (host to target and one acknowledge, or target to host).
constexpr uint64_t header_bytes = 1 + 1 + 4 + 1 + 1;
constexpr uint64_t write_tail_bytes = 1;

}  // namespace

wire_count count_run(std::span<const image_range> ranges, bool write, bool verify) {
  wire_count count;
  count.bytes = handshake_bytes;
  uint32_t blocks = 0;
  uint64_t size = 0;
  for (const image_range& range : ranges) {
    blocks += (range.size + block_size - 1) / block_size;
    size += range.size;
  }
  if (write) {
    for (const flash_sector& sector : sector_map) {
      for (const image_range& range : ranges) {
        if (sector_touched(sector, range.address, range.size)) {
          ++count.sectors;
          break;
        }
      }
    }
    count.write_blocks = blocks;
    count.bytes += count.sectors * erase_bytes + blocks * (header_bytes + write_tail_bytes) + size;
  }
  if (verify) {
    count.read_blocks = blocks;
    count.bytes += blocks * header_bytes + size;
  }
  return count;
}

wire_count count_run(uint32_t address, uint32_t size, bool write, bool verify) {
  const image_range whole{address, size};
  return count_run(std::span(&whole, 1), write, verify);
}
