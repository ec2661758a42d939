#include "faults.h"

#include "protocol/protocol.h"
#include "text/whole_number.h"

namespace {

constexpr std::array<std::string_view, sim_step_count> step_names{
    "start",        "erase.prelude1", "erase.prelude2", "erase.command",
    "erase.final",  "write.command",  "write.address",  "write.end",
    "read.command", "read.address",   "read.data",
};

constexpr std::array<std::string_view, 7> kind_names{"refuse", "silent", "late", "short",
                                                     "flip",   "vanish", "pause"};

// What a kind needs, in fault_kind's order: a number after it (or may have
// one), and whether it spoils the data of a read block, the only answer with
// more than one byte.
struct kind_needs {
  bool arg;
  bool read_data_only;
  bool arg_optional = false;
};
constexpr std::array<kind_needs, kind_names.size()> kind_rules{{
    {false, false, true},  // refuse, with the byte it answers (0x1f if none)
    {false, false},        // silent
    {true, false},         // late
    {true, true},          // short
    {true, true},          // flip
    {false, false},        // vanish
    {true, true},          // pause
}};

template <std::size_t N>
std::optional<std::size_t> find_name(const std::array<std::string_view, N>& names,
                                     std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string_view step_name(sim_step step) { return step_names[static_cast<std::size_t>(step)]; }

std::string_view fault_kind_name(fault_kind kind) {
  return kind_names[static_cast<std::size_t>(kind)];
}

std::optional<fault_rule> parse_fault(std::string_view text, std::string& error) {
  fault_rule rule;
  const std::string quoted = "fault '" + std::string(text) + "': ";

  if (auto at = text.rfind('@'); at != std::string_view::npos) {
    std::string_view count = text.substr(at + 1);
    text = text.substr(0, at);
    if (count == "*") {
      rule.occurrence = 0;
    } else if (!parse_whole_unsigned(count, rule.occurrence) || rule.occurrence == 0) {
      error = quoted + "occurrence must be a number from 1 or '*'";
      return std::nullopt;
    }
  }

  auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    error = quoted + "expected STEP:KIND";
    return std::nullopt;
  }
  std::string_view step = text.substr(0, colon);
  std::string_view rest = text.substr(colon + 1);
  std::string_view kind = rest;
  std::string_view arg;
  bool has_arg = false;
  if (auto arg_colon = rest.find(':'); arg_colon != std::string_view::npos) {
    kind = rest.substr(0, arg_colon);
    arg = rest.substr(arg_colon + 1);
    has_arg = true;
  }

  const auto step_index = find_name(step_names, step);
  if (!step_index) {
    error = quoted + "unknown step '" + std::string(step) + "'";
    return std::nullopt;
  }
  rule.step = static_cast<sim_step>(*step_index);

  const auto kind_index = find_name(kind_names, kind);
  if (!kind_index) {
    error = quoted + "unknown kind '" + std::string(kind) + "'";
    return std::nullopt;
  }
  rule.kind = static_cast<fault_kind>(*kind_index);
  const kind_needs needs = kind_rules[*kind_index];

  if (needs.arg != has_arg && !needs.arg_optional) {
    error =
        quoted + std::string(kind) + (has_arg ? " takes no argument" : " needs a number argument");
    return std::nullopt;
  }
  if (has_arg && !parse_u32(arg, rule.arg)) {
    error = quoted + "argument must be a number";
    return std::nullopt;
  }
  if (rule.kind == fault_kind::refuse) {
    // Any byte but the acknowledge refuses.
    if (!has_arg) rule.arg = refusal_byte;
    if (rule.arg > 0xFF || rule.arg == ack_byte) {
      error = quoted + "refuse answers a byte from 0 to 0xff other than 0x75";
      return std::nullopt;
    }
  }
  if (needs.read_data_only && rule.step != sim_step::read_data) {
    error = quoted + std::string(kind) + " applies to read.data only";
    return std::nullopt;
  }
  return rule;
}

std::optional<fault_rule> fault_take(fault_table& table, sim_step step) {
  const uint64_t count = ++table.reached[static_cast<std::size_t>(step)];
  for (const auto& rule : table.rules) {
    if (rule.step == step && (rule.occurrence == 0 || rule.occurrence == count)) return rule;
  }
  return std::nullopt;
}
