#include "pacing_check.h"

#include <unistd.h>

#include <vector>

#include "protocol/protocol.h"
#include "support/address.h"
#include "support/raw_line.h"
#include "support/simulator.h"
#include "wire_count.h"

namespace {

// RAM, outside the flash map: writes there are taken as they are.
constexpr uint32_t scratch_address = 0x10000000;

void put_header(std::vector<uint8_t>& out, uint8_t command, uint32_t address) {
  out.push_back(command);
  const std::vector<uint8_t> field = address_bytes(address);
  out.insert(out.end(), field.begin(), field.end());
  out.push_back(length_field(block_size));
}

// Starts a paced simulator, opens its line, shakes hands, and times the
// burst from its first byte written to the `answer_size`th byte received.
double time_burst(const std::string& sim_path, uint32_t baud, const std::vector<uint8_t>& burst,
                  std::size_t answer_size, double expected_s, std::vector<uint8_t>& answer) {
  sim_target sim =
      start_simulator(sim_path, {"--once", "--baud", std::to_string(baud), "--max-seconds", "120"});
  double measured = 0;
  const int fd = sim.pty_path.empty() ? -1 : raw_open(sim.pty_path);
  if (fd >= 0 && raw_handshake(fd)) {
    answer.resize(answer_size);
    const auto start = test_clock::now();
    if (raw_write(fd, burst.data(), burst.size()) &&
        raw_read(fd, answer.data(), answer.size(), 2 * expected_s + 2) == answer.size()) {
      measured = seconds_since(start);
    }
  }
  if (fd >= 0) close(fd);
  // The close ends the session (--once); one that never began is ended here.
  stop_process(sim.process);
  return measured;
}

}  // namespace

pacing_figures check_host_to_sim(const std::string& sim_path, uint32_t baud, uint32_t blocks) {
  std::vector<uint8_t> burst;
  for (uint32_t i = 0; i < blocks; ++i) {
    put_header(burst, write_command, scratch_address + i * block_size);
    for (uint32_t k = 0; k < block_size; ++k) burst.push_back(static_cast<uint8_t>(i + k));
  }
  pacing_figures figures;
  // Every byte sent, then the last acknowledge; the other acknowledges
  // travel the other way while the host is still sending.
  figures.byte_times = burst.size() + 1;
  figures.expected_s = wire_seconds(figures.byte_times, baud);
  std::vector<uint8_t> answer;
  figures.measured_s =
      time_burst(sim_path, baud, burst, 3 * std::size_t{blocks}, figures.expected_s, answer);
  for (uint8_t byte : answer) {
    if (byte != ack_byte) figures.measured_s = 0;
  }
  return figures;
}

pacing_figures check_sim_to_host(const std::string& sim_path, uint32_t baud, uint32_t blocks) {
  std::vector<uint8_t> burst;
  for (uint32_t i = 0; i < blocks; ++i)
    put_header(burst, read_command, scratch_address + i * block_size);
  const std::size_t per_block = 2 + block_size;  // two acknowledges, then the data
  pacing_figures figures;
  // The first block's command, address and length reach the target (6 byte
  // times) while its two acknowledges go out; from then on the target's side
  // is never idle.
  figures.byte_times = 6 + block_size + uint64_t{blocks - 1} * per_block;
  figures.expected_s = wire_seconds(figures.byte_times, baud);
  std::vector<uint8_t> answer;
  figures.measured_s =
      time_burst(sim_path, baud, burst, per_block * blocks, figures.expected_s, answer);
  for (std::size_t i = 0; i + 1 < answer.size(); i += per_block) {
    if (answer[i] != ack_byte || answer[i + 1] != ack_byte) figures.measured_s = 0;
  }
  return figures;
}
