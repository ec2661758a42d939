// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board.h"
#include "faults.h"

struct memory_load {
  uint32_t address;
  std::string path;
};

struct memory_dump {
  uint32_t address;
  uint32_t size;
  std::string path;
};

// Bytes that tell this board from every other, where a microcontroller keeps
// its factory-programmed unique id: read with the ordinary read-memory
// exchange.
struct board_identity {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;  // as given; empty when drawn at random
  uint32_t random_length = 0;  // ADDRESS:random[:N]: N bytes drawn as the simulator starts
};

struct sim_options {
  std::string link_path;  // empty: no symlink
  std::string log_path;   // empty: no log
  bool once = false;
  uint32_t baud = 0;  // 0: bytes take no wire time
  uint32_t erase_ms = 0;
  uint32_t latency_ms = 0;  // 0: no USB adapter between target and host
  std::vector<uint8_t> chatter;
  std::vector<uint8_t> on_open;
  std::vector<memory_load> loads;
  std::vector<memory_dump> dumps;
  std::optional<board_identity> board_id;
  std::vector<fault_rule> faults;
  board_setup board;
  std::string lines_from;  // empty: the host's control lines are not seen
  std::string ready_file;  // empty: none; else written once the port can be opened
  double max_seconds = 0;  // 0: no bound
  bool help = false;
  bool version = false;
};

// What vexlor-sim prints after a mistake on its command line: the synopsis
// and one line for each option.
std::string sim_usage();

// `args` excludes the program name. On failure returns nullopt with the reason in `error`.
std::optional<sim_options> parse_sim_options(std::span<const std::string> args, std::string& error);
