// Memory read and write in blocks of at most 256 bytes, each block one
// complete boot-loader command, with a running percentage.
#include <algorithm>

#include "bootloader/bootloader.h"
#include "bootloader/status_line.h"

namespace {

// Command byte, then the address (most significant byte first), each
// acknowledged; then the length byte, which holds length - 1.
bool send_block_header(port_handle port, uint8_t command, uint32_t address, uint32_t length) {
  port_write(port, &command, 1);
  if (!wait_ack(port, ack_tries)) return false;
  const uint8_t address_field[4] = {
      static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
      static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  port_write(port, address_field, sizeof address_field);
  if (!wait_ack(port, ack_tries)) return false;
  const uint8_t length_field = static_cast<uint8_t>(length - 1);
  port_write(port, &length_field, 1);
  return true;
}

bool write_block(port_handle port, uint32_t address, const uint8_t* data, uint32_t length) {
  if (!send_block_header(port, write_command, address, length)) return false;
  port_write(port, data, length);
  return wait_ack(port, ack_tries);
}

bool read_block(port_handle port, uint32_t address, uint8_t* buffer, uint32_t length) {
  // The data itself answers the length byte: no acknowledge around it.
  return send_block_header(port, read_command, address, length) &&
         port_read(port, buffer, length) == length;
}

template <typename Bytes, typename BlockFn>
bool transfer(const char* verb, port_handle port, uint32_t address, Bytes bytes, uint32_t size,
              BlockFn block) {
  console_printf("%s %lu bytes..", verb, static_cast<unsigned long>(size));
  percent_start();
  uint32_t remaining = size;
  bool ok = true;
  while (remaining > 0) {
    const uint32_t length = std::min(remaining, block_size);
    if (run_stopped() || !block(port, address, bytes, length)) {
      ok = false;
      break;
    }
    remaining -= length;
    percent_update(size - remaining, size);
    address += length;
    bytes += length;
  }
  percent_end();
  status_tail(ok);
  return ok;
}

}  // namespace

bool write_memory(port_handle port, uint32_t address, const uint8_t* data, uint32_t size) {
  return transfer("writting", port, address, data, size, write_block);
}

bool read_memory(port_handle port, uint32_t address, uint8_t* buffer, uint32_t size) {
  return transfer("reading", port, address, buffer, size, read_block);
}
