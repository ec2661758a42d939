// The boot loader's state machine: takes the host's bytes one at a time at
// their logical arrival time and schedules its answers. Pure logic, no I/O:
// the event loop drains `output`, `notes` and `vanish_at_ns` after each byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "faults.h"
#include "target_memory.h"

enum class target_state : uint8_t {
  before_start,
  command,
  erase_select,  // prelude acknowledged, waiting for the erase command byte
  erase_count,
  erase_sectors,
  write_address,
  write_length,
  write_data,
  read_address,
  read_length,
  gone,  // vanished: nothing more is answered
};

struct emission {
  int64_t at_ns;  // logical time the target puts the byte on the line
  uint8_t byte;
  int64_t quiet_ns = 0;  // the line stays quiet this long after the byte before
};

struct target {
  board_state board;  // what lies between the boot loader and the host's line
  sim_memory memory;
  fault_table faults;
  int64_t erase_ns = 0;  // per sector

  target_state state = target_state::before_start;
  // The target's own time: it cannot take a byte before it has finished
  // what earlier bytes started (an erase, a late answer).
  int64_t clock_ns = 0;
  uint32_t address = 0;
  std::vector<uint8_t> collected;  // address, sector list or data block so far
  std::size_t expected = 0;        // bytes `collected` must reach

  std::vector<emission> output;
  std::vector<std::string> notes;  // log lines such as "erase 4"
  std::optional<int64_t> vanish_at_ns;
};

void target_receive(target& t, uint8_t byte, int64_t arrival_ns);

// The host drives a control line at `at_ns`, between the bytes it sent
// before and those it sends after. A reset of a wired board ends whatever
// its boot loader was doing.
void target_line_change(target& t, line_level change, int64_t at_ns);

// The host closed the port: a new session must begin with the start byte.
void target_hang_up(target& t);

// The host opened the port at `at_ns`: the board's power-on, the first time.
void target_port_opened(target& t, int64_t at_ns);

// Time has passed to `now_ns` with nothing on the line: a board's start-up
// that has ended by then is over, and its application prints what is due.
void target_run(target& t, int64_t now_ns);

// When target_run has something to do next; none: not before a byte or a
// line change arrives.
std::optional<int64_t> target_next_event_ns(const target& t);
