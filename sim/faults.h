// Faults the user asks for with --fault STEP:KIND[:ARG][@N]: which answer of
// the target to spoil, how, and on which occurrence of that answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Every point where the target answers the host.
enum class sim_step : uint8_t {
  start,
  erase_prelude1,
  erase_prelude2,
  erase_command,
  erase_final,
  write_command,
  write_address,
  write_end,
  read_command,
  read_address,
  read_data,
};
inline constexpr std::size_t sim_step_count = 11;

enum class fault_kind : uint8_t { refuse, silent, late, short_data, flip, vanish, pause };

struct fault_rule {
  sim_step step = sim_step::start;
  fault_kind kind = fault_kind::refuse;
  uint32_t arg =
      0;  // late, pause: milliseconds; short: bytes kept; flip: byte index; refuse: the byte
  uint64_t occurrence = 1;  // 0: every time
};

struct fault_table {
  std::vector<fault_rule> rules;
  std::array<uint64_t, sim_step_count> reached{};  // per step, over the sim's lifetime
};

std::string_view step_name(sim_step step);
std::string_view fault_kind_name(fault_kind kind);

// Parses one --fault value; on failure returns nullopt and says why in `error`.
std::optional<fault_rule> parse_fault(std::string_view text, std::string& error);

// Counts one more arrival at `step` and returns the fault that applies to this
// occurrence, if any (the first given wins when several match).
std::optional<fault_rule> fault_take(fault_table& table, sim_step step);
