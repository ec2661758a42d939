// Memory read and write in blocks of at most 256 bytes, each block one
// complete boot-loader command, with a running percentage.
#include <algorithm>
#include <cstdio>

#include "bootloader/bootloader.h"
#include "stop/stop_requests.h"

namespace {

// "the write command of the block at 0x20000100" and the like.
std::string block_step(const char* part, uint32_t address) {
  char text[64];
  std::snprintf(text, sizeof text, "%s of the block at 0x%08lx", part,
                static_cast<unsigned long>(address));
  return text;
}

struct block_failure {
  exchange_failure why;
  const char* part = "";
};

// Command byte, then the address (most significant byte first), each
// acknowledged; then the length byte, which holds length - 1.
bool send_block_header(port_handle port, uint8_t command, uint32_t address, uint32_t length,
                       block_failure& failure) {
  failure.part = command == write_command ? "the write command" : "the read command";
  if (!send_bytes(port, &command, 1, failure.why) || !wait_ack(port, ack_tries, &failure.why)) {
    return false;
  }
  const auto field = address_field(address);
  failure.part = "the address";
  if (!send_bytes(port, field.data(), field.size(), failure.why) ||
      !wait_ack(port, ack_tries, &failure.why)) {
    return false;
  }
  const uint8_t length_byte = length_field(length);
  failure.part = "the length";
  return send_bytes(port, &length_byte, 1, failure.why);
}

bool write_block(port_handle port, uint32_t address, const uint8_t* data, uint32_t length,
                 block_failure& failure) {
  if (!send_block_header(port, write_command, address, length, failure)) return false;
  failure.part = "the data";
  return send_bytes(port, data, length, failure.why) && wait_ack(port, ack_tries, &failure.why);
}

bool read_block(port_handle port, uint32_t address, uint8_t* buffer, uint32_t length,
                block_failure& failure) {
  if (!send_block_header(port, read_command, address, length, failure)) return false;
  // The data itself answers the length byte: no acknowledge around it.
  const std::size_t got = port_read(port, buffer, length);
  if (got == length) return true;
  failure.part = "the read";
  if (stop_requested()) {
    failure.why = {exchange_failure::stopped};
  } else if (port_gone(port)) {
    failure.why = {exchange_failure::gone};
  } else if (got == 0) {
    failure.why = {.kind = exchange_failure::silent,
                   .waited_ms = static_cast<unsigned>(port_read_bound_ms(length))};
  } else {
    failure.why = {.kind = exchange_failure::short_data, .got = got, .expected = length};
  }
  return false;
}

template <typename Bytes, typename BlockFn>
bool transfer(transfer_direction direction, port_handle port, uint32_t address, Bytes bytes,
              uint32_t size, BlockFn block, const event_sink& report,
              const block_arrived& arrived = {}) {
  const uint32_t start = address;
  report(transfer_begun{.direction = direction, .address = start, .size = size});
  uint32_t remaining = size;
  bool ok = true;
  std::string reason;
  while (remaining > 0) {
    const uint32_t length = std::min(remaining, block_size);
    block_failure failure;
    if (stop_before_exchange(failure.why) || !block(port, address, bytes, length, failure)) {
      reason = failure_reason(failure.why, block_step(failure.part, address));
      ok = false;
      break;
    }
    remaining -= length;
    report(transfer_progress{
        .direction = direction, .address = start, .size = size, .done = size - remaining});
    if (arrived && !arrived(address, bytes, length)) break;
    address += length;
    bytes += length;
  }
  report(transfer_ended{
      .direction = direction, .address = start, .size = size, .ok = ok, .reason = reason});
  return ok;
}

}  // namespace

bool write_memory(port_handle port, uint32_t address, const uint8_t* data, uint32_t size,
                  const event_sink& report) {
  return transfer(transfer_direction::write, port, address, data, size, write_block, report);
}

bool read_memory(port_handle port, uint32_t address, uint8_t* buffer, uint32_t size,
                 const event_sink& report, const block_arrived& arrived) {
  return transfer(transfer_direction::read, port, address, buffer, size, read_block, report,
                  arrived);
}
