#include "lean_client.h"

#include <unistd.h>

#include <algorithm>

#include "protocol/protocol.h"
#include "support/address.h"
#include "support/raw_line.h"
#include "support/simulator.h"

namespace {

constexpr double answer_timeout_s = 2.0;

bool send(int fd, std::initializer_list<uint8_t> bytes) {
  return raw_write(fd, bytes.begin(), bytes.size());
}

bool acked(int fd, int count = 1) {
  for (int i = 0; i < count; ++i) {
    uint8_t byte = 0;
    if (raw_read(fd, &byte, 1, answer_timeout_s) != 1 || byte != ack_byte) return false;
  }
  return true;
}

bool header(int fd, uint8_t command, uint32_t address, uint32_t length) {
  const std::vector<uint8_t> field = address_bytes(address);
  return send(fd, {command}) && acked(fd) && raw_write(fd, field.data(), field.size()) &&
         acked(fd) && send(fd, {static_cast<uint8_t>(length - 1)});
}

bool run_exchanges(int fd, uint32_t address, const std::vector<uint8_t>& image) {
  const auto size = static_cast<uint32_t>(image.size());
  for (const flash_sector& sector : sector_map) {
    if (!sector_touched(sector, address, size)) continue;
    if (!(send(fd, {erase_prelude}) && acked(fd, 2) && send(fd, {erase_command}) && acked(fd) &&
          send(fd, {0x00, static_cast<uint8_t>(sector.number)}) && acked(fd))) {
      return false;
    }
  }
  for (uint32_t done = 0; done < size; done += block_size) {
    const uint32_t length = std::min(block_size, size - done);
    if (!header(fd, write_command, address + done, length) ||
        !raw_write(fd, image.data() + done, length) || !acked(fd)) {
      return false;
    }
  }
  std::vector<uint8_t> block(block_size);
  for (uint32_t done = 0; done < size; done += block_size) {
    const uint32_t length = std::min(block_size, size - done);
    if (!header(fd, read_command, address + done, length) ||
        raw_read(fd, block.data(), length, answer_timeout_s) != length ||
        !std::equal(block.begin(), block.begin() + length, image.begin() + done)) {
      return false;
    }
  }
  return true;
}

}  // namespace

double lean_write_verify(const std::string& sim_path, uint32_t baud, uint32_t address,
                         const std::vector<uint8_t>& image) {
  std::vector<std::string> args{"--once", "--max-seconds", "600"};
  if (baud > 0) args.insert(args.end(), {"--baud", std::to_string(baud)});
  sim_target sim = start_simulator(sim_path, args);
  double elapsed = 0;
  const int fd = sim.pty_path.empty() ? -1 : raw_open(sim.pty_path);
  if (fd >= 0 && raw_handshake(fd)) {
    const auto start = test_clock::now();
    if (run_exchanges(fd, address, image)) elapsed = seconds_since(start);
  }
  if (fd >= 0) close(fd);
  // The close ends the session (--once); one that never began is ended here.
  stop_process(sim.process);
  return elapsed;
}
