// The target's serial boot loader: acknowledge rule, start handshake, flash
// erase, memory read and write. Every operation talks to the target
// synchronously, reports through the event sink it is given and returns
// true on success. The wire's bytes and the sector map are in
// protocol/protocol.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bootloader/report.h"
#include "protocol/protocol.h"
#include "serial/serial_port.h"

inline constexpr int ack_tries = 10;
inline constexpr int erase_final_tries = 100;  // a sector erase takes long
inline constexpr unsigned empty_ack_pause_ms = 100;

// Why an exchange did not get the answer it waited for.
struct exchange_failure {
  enum kind_type { none, refused, silent, short_data, gone, stopped, write_failed } kind = none;
  uint8_t byte = 0;          // refused: the byte that came instead of the acknowledge
  unsigned waited_ms = 0;    // silent: the bound that passed
  std::size_t got = 0;       // short_data: bytes that arrived
  std::size_t expected = 0;  // short_data: bytes asked for
  std::string error;         // write_failed: the system's words
};

// True when the first byte received within `tries` one-byte reads is the
// acknowledge byte; a wrong byte fails at once, and so do a stopped run and
// a line that has gone away. Says why not in `why` when given one.
bool wait_ack(port_handle port, int tries, exchange_failure* why = nullptr);

// Sends bytes of an exchange; false when the port failed them, with `why`
// saying how (an unplugged adapter, or the system's error).
bool send_bytes(port_handle port, const uint8_t* bytes, std::size_t n, exchange_failure& why);

// A stopped run (Ctrl-C, a kill) starts no new exchange: each operation asks
// this before it sends a command, and then fails with `why` saying so.
bool stop_before_exchange(exchange_failure& why);

// One lower-case line that says what went wrong at `step` ("the start
// byte", "the write command of the block at 0x20000100").
std::string failure_reason(const exchange_failure& why, const std::string& step);

// Puts the board into its boot loader before a start byte (the run's
// opening line sequence); false, saying why, when that could not be done.
using board_entry = std::function<bool(std::string& why)>;

// The start handshake, made up to `attempts` times. Each attempt enters
// the board (`enter`, when given), sends the start byte and waits for the
// acknowledge; when silence or a wrong answer ends it and attempts are
// left, the input that arrived is discarded and the next begins. A failed
// entry, a line gone or a stop request ends the handshake at once.
bool device_connect(port_handle port, int attempts, const board_entry& enter,
                    const event_sink& report);

// Sends the start byte and waits for the acknowledge: one attempt, the board
// entered already.
bool device_init(port_handle port, const event_sink& report);

bool erase_sector(port_handle port, uint32_t sector, const event_sink& report);

// Erases every sector of the map that [address, address + size) touches, in
// map order, stopping at the first failure.
bool erase_range(port_handle port, uint32_t address, uint32_t size, const event_sink& report);

bool write_memory(port_handle port, uint32_t address, const uint8_t* data, uint32_t size,
                  const event_sink& report);

// Told of each block a read brings, as it arrives: its address and bytes.
// False ends the read there, as its caller wants: the read has gone well,
// and its progress says how far.
using block_arrived = std::function<bool(uint32_t address, const uint8_t* bytes, uint32_t length)>;

// `buffer` must hold `size` bytes; `arrived`, when given, may end the read
// early.
bool read_memory(port_handle port, uint32_t address, uint8_t* buffer, uint32_t size,
                 const event_sink& report, const block_arrived& arrived = {});
