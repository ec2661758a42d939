// An in-process serial line: every function of the serial layer, over no
// kernel and no real time. The fuzz targets and the in-process tests link it
// in place of the platform backend. The far end is either a script of
// answers (the fuzzers' bytes) or the simulator's own target, with its fault
// table. Everything the host does on the line (writes, reads, pauses,
// control lines) is kept in order and stamped with the line's clock, which
// only reads and pauses move: a read ends by the real port's time-out rule,
// and a pause of 100 ms moves the clock by exactly 100 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/serial_port.h"

struct target;

struct fake_event {
  enum kind_type { write, read, sleep, control, discard } kind;
  int64_t at_ns = 0;           // the line's clock when the call returned
  std::size_t asked = 0;       // read: bytes asked for
  std::vector<uint8_t> bytes;  // write: bytes sent; read: bytes delivered
  unsigned ms = 0;             // sleep
  port_line_action action{};   // control
};

// Opens a line whose target answers from `answers`. Each read takes one byte
// that says how many bytes arrive (0xFF: all that were asked for, otherwise
// at most that many), then takes those bytes. Once the answers run out the
// line is silent. The answers must outlive the port. Reads take no time.
port_handle fake_port_open(const uint8_t* answers, std::size_t size);

// From now on port_open(name) opens a line to `sim`, which gets each byte and
// each control-line change at the moment it is made and answers at the times
// it chooses (a board wired otherwise sees its reset and boot pins): late answers,
// silence, refusals and a vanished line play out as they do in vexlor-sim,
// only without waiting. Closing the port hangs up, as closing a pty does.
// `sim` must outlive the ports opened to it.
void fake_port_connect(const std::string& name, target& sim);

// What the host did since the port was opened.
const std::vector<fake_event>& fake_transcript();
