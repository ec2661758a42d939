// The acknowledge rule and the start handshake.
#include "bootloader/bootloader.h"
#include "bootloader/status_line.h"

bool wait_ack(port_handle port, int tries) {
  for (int i = 0; i < tries && !run_stopped(); ++i) {
    uint8_t byte = 0;
    // The first byte received decides; a wrong one ends the wait at once.
    if (port_read(port, &byte, 1) == 1) return byte == ack_byte;
    sleep_ms(empty_ack_pause_ms);
  }
  return false;
}

bool device_init(port_handle port) {
  console_printf("initializing device..");
  if (!run_stopped()) port_write(port, &start_byte, 1);
  bool ok = wait_ack(port, ack_tries);
  status_tail(ok);
  return ok;
}
