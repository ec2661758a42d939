#include "target.h"

#include <algorithm>
#include <array>
#include <span>

#include "protocol/protocol.h"

namespace {

constexpr std::array<uint8_t, 1> ack{ack_byte};

// `quiet_ns`: the line stays quiet that long before the first of the bytes.
void emit(target& t, int64_t at, std::span<const uint8_t> bytes, int64_t quiet_ns = 0) {
  for (uint8_t byte : bytes) {
    t.output.push_back({at, byte, quiet_ns});
    quiet_ns = 0;
  }
}

void expect(target& t, target_state state, std::size_t count) {
  t.state = state;
  t.collected.clear();
  t.expected = count;
}

// Sends the step's normal answer now, or what a configured fault makes of it.
// Returns true when the command goes on; otherwise the state is already set.
bool answer(target& t, sim_step step, std::span<const uint8_t> normal) {
  auto fault = fault_take(t.faults, step);
  if (!fault) {
    emit(t, t.clock_ns, normal);
    return true;
  }
  t.notes.push_back("fault " + std::string(step_name(step)) + " " +
                    std::string(fault_kind_name(fault->kind)));

  const target_state abandoned =
      step == sim_step::start ? target_state::before_start : target_state::command;
  switch (fault->kind) {
    case fault_kind::refuse:
      // A refusal in the middle of the data would be just another data byte.
      if (step != sim_step::read_data) {
        emit(t, t.clock_ns, std::array<uint8_t, 1>{static_cast<uint8_t>(fault->arg)});
      }
      expect(t, abandoned, 0);
      return false;
    case fault_kind::silent:
      expect(t, abandoned, 0);
      return false;
    case fault_kind::late:
      t.clock_ns += int64_t{fault->arg} * 1'000'000;
      emit(t, t.clock_ns, normal);
      return true;
    case fault_kind::short_data:
      emit(t, t.clock_ns, normal.first(std::min<std::size_t>(fault->arg, normal.size())));
      return true;
    case fault_kind::flip: {
      std::vector<uint8_t> spoiled(normal.begin(), normal.end());
      if (fault->arg < spoiled.size()) spoiled[fault->arg] ^= 0xFF;
      emit(t, t.clock_ns, spoiled);
      return true;
    }
    case fault_kind::pause: {
      // Half the block, a pause on the line, then the rest: a gap the
      // host's read must judge by its interval rule.
      const std::size_t half = normal.size() / 2;
      emit(t, t.clock_ns, normal.first(half));
      emit(t, t.clock_ns, normal.subspan(half), int64_t{fault->arg} * 1'000'000);
      return true;
    }
    case fault_kind::vanish:
      t.vanish_at_ns = t.clock_ns;
      expect(t, target_state::gone, 0);
      return false;
  }
  return false;
}

// Collects one byte; true once `expected` bytes are in.
bool collect(target& t, uint8_t byte) {
  t.collected.push_back(byte);
  return t.collected.size() == t.expected;
}

uint32_t collected_address(const target& t) { return address_from_field(t.collected.data()); }

void on_before_start(target& t, uint8_t byte) {
  if (byte != start_byte) return;  // line noise before the host starts; the log has it
  if (!board_takes_start(t.board, t.notes)) return;
  if (answer(t, sim_step::start, ack)) expect(t, target_state::command, 0);
}

void on_command(target& t, uint8_t byte) {
  switch (byte) {
    case start_byte:
      // A host that reset the target through its control lines starts again
      // without closing the line (an emulator keeps it open across runs).
      on_before_start(t, byte);
      return;
    case erase_prelude:
      if (answer(t, sim_step::erase_prelude1, ack) && answer(t, sim_step::erase_prelude2, ack)) {
        expect(t, target_state::erase_select, 0);
      }
      return;
    case write_command:
      if (answer(t, sim_step::write_command, ack)) expect(t, target_state::write_address, 4);
      return;
    case read_command:
      if (answer(t, sim_step::read_command, ack)) expect(t, target_state::read_address, 4);
      return;
    default:
      emit(t, t.clock_ns, std::array<uint8_t, 1>{refusal_byte});
      return;
  }
}

void on_erase_select(target& t, uint8_t byte) {
  if (byte != erase_command) {
    emit(t, t.clock_ns, std::array<uint8_t, 1>{refusal_byte});
    expect(t, target_state::command, 0);
    return;
  }
  if (answer(t, sim_step::erase_command, ack)) expect(t, target_state::erase_count, 1);
}

void on_erase_count(target& t, uint8_t byte) {
  expect(t, target_state::erase_sectors, std::size_t{byte} + 1);
}

void on_erase_sectors(target& t, uint8_t byte) {
  if (!collect(t, byte)) return;
  bool all_known = std::all_of(t.collected.begin(), t.collected.end(),
                               [](uint8_t number) { return find_sector(number).has_value(); });
  if (all_known) {
    for (uint8_t number : t.collected) {
      memory_erase(t.memory, *find_sector(number));
      t.clock_ns += t.erase_ns;
      t.notes.push_back("erase " + std::to_string(number));
    }
  }
  std::array<uint8_t, 1> reply{all_known ? ack_byte : refusal_byte};
  if (answer(t, sim_step::erase_final, reply)) expect(t, target_state::command, 0);
}

// The four address bytes of a write or a read, acknowledged; the length byte follows.
void take_address(target& t, uint8_t byte, sim_step step, target_state length_state) {
  if (!collect(t, byte)) return;
  t.address = collected_address(t);
  if (answer(t, step, ack)) expect(t, length_state, 1);
}

void on_write_address(target& t, uint8_t byte) {
  take_address(t, byte, sim_step::write_address, target_state::write_length);
}

void on_write_length(target& t, uint8_t byte) {
  expect(t, target_state::write_data, std::size_t{byte} + 1);
}

void on_write_data(target& t, uint8_t byte) {
  if (!collect(t, byte)) return;
  memory_program(t.memory, t.address, t.collected);
  if (answer(t, sim_step::write_end, ack)) expect(t, target_state::command, 0);
}

void on_read_address(target& t, uint8_t byte) {
  take_address(t, byte, sim_step::read_address, target_state::read_length);
}

void on_read_length(target& t, uint8_t byte) {
  std::vector<uint8_t> data(std::size_t{byte} + 1);
  memory_read(t.memory, t.address, data);
  if (answer(t, sim_step::read_data, data)) expect(t, target_state::command, 0);
}

using byte_handler = void (*)(target&, uint8_t);

// Indexed by target_state; a new command is a new state and a handler here.
// The last state, gone, takes no byte at all (target_receive).
constexpr std::array<byte_handler, 10> handlers{
    on_before_start,  on_command,      on_erase_select, on_erase_count,  on_erase_sectors,
    on_write_address, on_write_length, on_write_data,   on_read_address, on_read_length,
};
static_assert(handlers.size() == static_cast<std::size_t>(target_state::gone));

// Who runs at `at_ns`; a boot loader that has been left (a reset, a time-out)
// starts its next session with a start byte.
board_mode settle(target& t, int64_t at_ns) {
  const board_mode mode = board_settle(t.board, at_ns, t.notes);
  if (mode != board_mode::boot_loader && t.state != target_state::gone) {
    expect(t, target_state::before_start, 0);
  }
  return mode;
}

}  // namespace

void target_receive(target& t, uint8_t byte, int64_t arrival_ns) {
  t.clock_ns = std::max(t.clock_ns, arrival_ns);
  if (t.state == target_state::gone) return;
  // A line looped back, or an adapter that echoes, hands the byte back the
  // moment it arrives, whatever the board does with it.
  if (t.board.setup.echo) emit(t, arrival_ns, std::array<uint8_t, 1>{byte});
  switch (settle(t, arrival_ns)) {
    case board_mode::boot_loader:
      handlers[static_cast<std::size_t>(t.state)](t, byte);
      board_heard(t.board, t.clock_ns);
      return;
    case board_mode::application:
      if (byte == start_byte && board_app_yields(t.board, t.clock_ns, t.notes)) {
        on_before_start(t, byte);
        board_heard(t.board, t.clock_ns);
      } else if (byte == start_byte && board_app_answers(t.board, t.notes)) {
        emit(t, t.clock_ns, t.board.setup.app_text);
      }
      return;
    default:
      return;  // in reset or starting up: the byte is lost
  }
}

void target_line_change(target& t, line_level change, int64_t at_ns) {
  board_line_change(t.board, change, at_ns, t.notes);
  if (t.board.mode != board_mode::boot_loader && t.state != target_state::gone) {
    expect(t, target_state::before_start, 0);
  }
}

void target_hang_up(target& t) {
  if (t.state != target_state::gone) expect(t, target_state::before_start, 0);
  board_hang_up(t.board);
  t.clock_ns = 0;
}

void target_port_opened(target& t, int64_t at_ns) { board_port_opened(t.board, at_ns, t.notes); }

void target_run(target& t, int64_t now_ns) {
  if (t.state == target_state::gone) return;
  settle(t, now_ns);
  int64_t print_ns = 0;
  const std::vector<uint8_t> text = board_app_print(t.board, now_ns, print_ns, t.notes);
  emit(t, print_ns, text);
}

std::optional<int64_t> target_next_event_ns(const target& t) {
  if (t.state == target_state::gone) return std::nullopt;
  return board_next_event_ns(t.board);
}
