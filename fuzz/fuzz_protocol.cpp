// The boot-loader operations (handshake, erase, write, read) against any
// answers a target or a noisy line could give. Each run's line transcript is
// walked as the exchange allows it, so the checks hold whatever the answers:
// only the bytes of the exchange are written, nothing at all after the first
// failure, a result of true only when every answer was right, the console tail
// saying the same, one reason line for a failure, and read data landing exactly in the caller's
// buffer.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bootloader/answer_diagnosis.h"
#include "bootloader/bootloader.h"
#include "cli/console_report.h"
#include "support/address.h"
#include "support/console_text.h"
#include "support/fake_serial_port.h"

namespace {

using bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const char* what, std::size_t event) {
  std::fprintf(stderr, "protocol check failed at line event %zu: %s\n", event, what);
  std::abort();
}

struct transcript_walk {
  const std::vector<fake_event>& events;
  std::size_t next = 0;
};

const fake_event& take(transcript_walk& w, fake_event::kind_type kind, const char* missing) {
  if (w.next >= w.events.size() || w.events[w.next].kind != kind) fail(missing, w.next);
  return w.events[w.next++];
}

void expect_write(transcript_walk& w, const bytes& wanted) {
  if (take(w, fake_event::write, "expected a write").bytes != wanted)
    fail("wrong bytes written", w.next - 1);
}

// One-byte reads with a pause after each empty one; the first byte decides.
bool expect_ack(transcript_walk& w, int tries) {
  for (int i = 0; i < tries; ++i) {
    const fake_event& read = take(w, fake_event::read, "expected a read for the acknowledge");
    if (read.asked != 1) fail("an acknowledge is read one byte at a time", w.next - 1);
    if (!read.bytes.empty()) return read.bytes[0] == ack_byte;
    if (take(w, fake_event::sleep, "expected a pause after an empty read").ms !=
        empty_ack_pause_ms) {
      fail("wrong pause after an empty read", w.next - 1);
    }
  }
  return false;
}

bool expect_header(transcript_walk& w, uint8_t command, uint32_t address, uint32_t length) {
  expect_write(w, {command});
  if (!expect_ack(w, ack_tries)) return false;
  expect_write(w, address_bytes(address));
  if (!expect_ack(w, ack_tries)) return false;
  expect_write(w, {length_field(length)});
  return true;
}

std::string tail(bool ok) { return ok ? ok_tail : error_tail; }

// What [address, address + size) touches, the end taken without wrapping.
bool touches(const flash_sector& s, uint32_t address, uint32_t size) {
  const uint64_t end = uint64_t{address} + size;
  return size > 0 && s.start < end && uint64_t{s.start} + s.size > address;
}

struct expected_run {
  bool ok = true;
  std::string console;
};

// A wrong answer to the start byte is listened past, in small reads, until
// one comes back short or enough has come to tell what the board said.
void expect_listening(transcript_walk& w) {
  std::size_t heard = 0;
  while (heard < answer_listen_bytes) {
    const fake_event& read = take(w, fake_event::read, "expected to listen after a wrong answer");
    if (read.asked == 0 || read.asked > answer_listen_bytes - heard)
      fail("a listening read past its bound", w.next - 1);
    heard += read.bytes.size();
    if (read.bytes.size() < read.asked) return;
  }
}

expected_run walk_init(transcript_walk& w) {
  expect_write(w, {start_byte});
  const bool ok = expect_ack(w, ack_tries);
  const fake_event& last = w.events[w.next - 1];
  if (!ok && last.kind == fake_event::read && !last.bytes.empty()) expect_listening(w);
  return {ok, "initializing device.." + tail(ok)};
}

expected_run walk_erase(transcript_walk& w, uint32_t address, uint32_t size) {
  expected_run run;
  for (const flash_sector& s : sector_map) {
    if (!touches(s, address, size)) continue;
    expect_write(w, {erase_prelude});
    bool ok = expect_ack(w, ack_tries) && expect_ack(w, ack_tries);
    if (ok) {
      expect_write(w, {erase_command});
      ok = expect_ack(w, ack_tries);
    }
    if (ok) {
      const auto list = one_sector_list(s.number);
      expect_write(w, bytes(list.begin(), list.end()));
      ok = expect_ack(w, erase_final_tries);
    }
    run.console += tail(ok);
    if (!ok) return {false, run.console};
  }
  return run;
}

// A transfer block by block: each block's header, then `data_step` for its
// data, until a block fails.
template <typename DataStep>
expected_run walk_transfer(transcript_walk& w, const char* verb, uint8_t command, uint32_t address,
                           uint32_t size, DataStep data_step) {
  uint32_t blocks = 0;
  bool ok = true;
  for (uint32_t offset = 0; offset < size; offset += block_size, ++blocks) {
    const uint32_t length = std::min(block_size, size - offset);
    ok = expect_header(w, command, address + offset, length) && data_step(offset, length);
    if (!ok) break;
  }
  return {ok, transfer_line(verb, size, blocks, ok)};
}

expected_run walk_write(transcript_walk& w, uint32_t address, const bytes& data) {
  return walk_transfer(w, "writting", write_command, address, static_cast<uint32_t>(data.size()),
                       [&](uint32_t offset, uint32_t length) {
                         expect_write(w,
                                      bytes(data.begin() + offset, data.begin() + offset + length));
                         return expect_ack(w, ack_tries);
                       });
}

expected_run walk_read(transcript_walk& w, uint32_t address, uint32_t size, bytes& data) {
  return walk_transfer(w, "reading", read_command, address, size, [&](uint32_t, uint32_t length) {
    const fake_event& read = take(w, fake_event::read, "expected the block's data to be read");
    if (read.asked != length)
      fail("the block's data is read in one read of its length", w.next - 1);
    data.insert(data.end(), read.bytes.begin(), read.bytes.end());
    return read.bytes.size() == length;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t input_size) {
  if (input_size < 9) return -1;
  const int operation = input[0] % 4;
  const uint32_t address = address_from_field(input + 1);
  uint32_t size = address_from_field(input + 5);
  if (operation >= 2) size %= 0x4001;  // transfers: up to 64 blocks
  // A range that runs past the top of the address space is its own case.
  if (uint64_t{address} + size > (uint64_t{1} << 32))
    size = static_cast<uint32_t>((uint64_t{1} << 32) - address);

  bytes image(operation == 2 ? size : 0);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
  // Exactly `size` bytes, so that a write past the end is caught.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[operation == 3 ? size : 0]);

  // The events as the console shows them, and every failure's reason.
  std::string printed;
  std::vector<std::string> reasons;
  const event_sink record = [&](const bootloader_event& event) {
    const run_event tagged = protocol_event{run_phase::write, event};
    printed += console_text(tagged);
    if (const auto failure = failure_of(tagged)) reasons.push_back(failure->reason);
  };

  port_handle port = fake_port_open(input + 9, input_size - 9);
  bool result = false;
  switch (operation) {
    case 0:
      result = device_init(port, record);
      break;
    case 1:
      result = erase_range(port, address, size, record);
      break;
    case 2:
      result = write_memory(port, address, image.data(), size, record);
      break;
    case 3:
      result = read_memory(port, address, buffer.get(), size, record);
      break;
  }
  port_close(port);

  transcript_walk walk{fake_transcript()};
  bytes read_data;
  expected_run expected;
  switch (operation) {
    case 0:
      expected = walk_init(walk);
      break;
    case 1:
      expected = walk_erase(walk, address, size);
      break;
    case 2:
      expected = walk_write(walk, address, image);
      break;
    case 3:
      expected = walk_read(walk, address, size, read_data);
      break;
  }
  if (walk.next != walk.events.size())
    fail("the line was used after the exchange ended", walk.next);
  if (result != expected.ok)
    fail(result ? "success reported for a failed exchange" : "failure reported for a good exchange",
         walk.next);
  if (without_reasons(printed) != expected.console)
    fail("console does not match the exchange", walk.next);
  // A failure says why in one line a person can read, and a success says nothing.
  if (reasons.size() != (result ? 0u : 1u)) fail("not one reason for one failure", walk.next);
  for (const std::string& reason : reasons) {
    if (reason.empty() || reason.size() > 100 ||
        !std::islower(static_cast<unsigned char>(reason[0])) || reason.back() == '.' ||
        reason.find('\n') != std::string::npos) {
      fail("a reason that is no single lower-case line of at most 100 characters", walk.next);
    }
  }
  if (operation == 3 && result && !std::equal(read_data.begin(), read_data.end(), buffer.get())) {
    fail("the data read did not land in the buffer as received", walk.next);
  }
  return 0;
}
