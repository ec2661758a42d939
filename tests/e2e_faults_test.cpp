// Every point where the target answers, spoiled in every way a target or a
// line can spoil it. The run must report the failure at that very point, send
// nothing more to the target, skip what follows, exit 1, and end within the
// time its waits allow: no hang, and no spinning on a dead line.
//
// One image reaches every step twice: 600 bytes at 0x20001F00 touch sectors 0
// and 1 and take three blocks each way, so a fault on the second occurrence
// lands after one sector or block has already gone through.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t image_address = 0x20001F00;
constexpr std::size_t image_size = 600;
const char* const percents[] = {" 42%", " 85%", "100%"};  // after each block of 600

// The waits of the tool's rules, in seconds.
constexpr double ack_wait = 10 * (0.040 + 0.100);
constexpr double erase_final_wait = 100 * (0.040 + 0.100);
constexpr double read_block_wait = (20 * 256 + 20) / 1000.0;
// On a vanished line every read returns at once; only the pauses remain.
constexpr double ack_vanish_wait = 10 * 0.100;
constexpr double erase_final_vanish_wait = 100 * 0.100;
constexpr double drain_at_open = (20 * 16 + 20) / 1000.0;

enum class phase { handshake, erase, write, read };

// What the host sends before one answer of the target: the step that answers
// it, the phase it belongs to, and which sector or block of that phase.
struct exchange {
  std::string step;
  phase in;
  int index;
  bytes sent;
};

bytes address_bytes(uint32_t a) {
  return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
          static_cast<uint8_t>(a)};
}

std::vector<exchange> conversation(const bytes& image) {
  std::vector<exchange> all = {{"start", phase::handshake, 0, {0x7F}}};
  for (int i = 0; i < 2; ++i) {  // sectors 0 and 1
    all.push_back({"erase.prelude1", phase::erase, i, {0x71}});
    all.push_back({"erase.prelude2", phase::erase, i, {}});
    all.push_back({"erase.command", phase::erase, i, {0x43}});
    all.push_back({"erase.final", phase::erase, i, {0x00, static_cast<uint8_t>(i)}});
  }
  for (phase p : {phase::write, phase::read}) {
    for (int block = 0; block < 3; ++block) {
      const std::size_t offset = 256 * static_cast<std::size_t>(block);
      const std::size_t length = std::min<std::size_t>(256, image.size() - offset);
      bytes tail = {static_cast<uint8_t>(length - 1)};
      const bool write = p == phase::write;
      if (write) tail.insert(tail.end(), image.begin() + offset, image.begin() + offset + length);
      all.push_back({write ? "write.command" : "read.command", p, block, {write ? uint8_t{0x31} : uint8_t{0x11}}});
      all.push_back({write ? "write.address" : "read.address", p, block,
                     address_bytes(image_address + static_cast<uint32_t>(offset))});
      all.push_back({write ? "write.end" : "read.data", p, block, tail});
    }
  }
  return all;
}

// The transfer line with `blocks` blocks through, then its tail.
std::string transfer_line(const std::string& verb, int blocks, bool ok) {
  std::string line = verb + " 600 bytes..  0%";
  for (int i = 0; i < blocks; ++i) line += std::string("\b\b\b\b") + percents[i];
  return line + "\b\b\b\b" + (ok ? ok_tail : error_tail);
}

// The whole console of a run whose first failure is `at` (nullptr: none).
std::string expected_console(const exchange* at, bool compare_fails) {
  std::string out = banner + "initializing device..";
  if (at != nullptr && at->in == phase::handshake) return out + error_tail + done_error;
  out += ok_tail;
  for (int sector = 0; sector < 2; ++sector) {
    if (at != nullptr && at->in == phase::erase && at->index == sector) return out + error_tail + done_error;
    out += ok_tail;
  }
  for (phase p : {phase::write, phase::read}) {
    const std::string verb = p == phase::write ? "writting" : "reading";
    if (at != nullptr && at->in == p) return out + transfer_line(verb, at->index, false) + done_error;
    out += transfer_line(verb, 3, true);
  }
  return out + (compare_fails ? done_error : done_ok);
}

struct fault_case {
  std::string name;
  std::string step;
  std::string kind;      // as the simulator takes it, with its argument
  bool fails;            // false: the answer is late but still in time
  bool compare_fails;    // the transfer goes through, the data does not match
  double wait;           // the tool must wait at least this long, and not much longer
  double wine_wait;      // the same under Wine, where a vanished pty reads as silence
};

std::string param_name(const std::string& step, const std::string& label) {
  std::string name = step + "_" + label;
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

std::vector<fault_case> all_cases() {
  const std::vector<std::string> ack_steps = {
      "start",         "erase.prelude1", "erase.prelude2", "erase.command", "write.command",
      "write.address", "write.end",      "read.command",   "read.address"};
  std::vector<fault_case> cases;
  auto add = [&](const std::string& step, const std::string& kind, const std::string& label,
                 bool fails, double wait, double wine_wait = -1) {
    cases.push_back({param_name(step, label), step, kind, fails, false, wait, wine_wait < 0 ? wait : wine_wait});
  };
  for (const std::string& step : ack_steps) {
    add(step, "refuse", "refuse", true, 0);
    add(step, "silent", "silent", true, ack_wait);
    add(step, "late:900", "late_in_time", false, 0.9);
    add(step, "late:2500", "too_late", true, ack_wait);
    add(step, "vanish", "vanish", true, ack_vanish_wait, ack_wait);
  }
  // The final erase acknowledge has its own long wait. A late answer past it
  // takes the same path as silence, which already costs the whole 14 s.
  add("erase.final", "refuse", "refuse", true, 0);
  add("erase.final", "silent", "silent", true, erase_final_wait);
  add("erase.final", "late:3000", "late_in_time", false, 3.0);
  add("erase.final", "vanish", "vanish", true, erase_final_vanish_wait, erase_final_wait);
  // The data answers a read: no acknowledge byte, so no refusal either (the
  // simulator's refuse there is silence). The block's own read time-out bounds it.
  add("read.data", "silent", "silent", true, read_block_wait);
  add("read.data", "late:3000", "late_in_time", false, 3.0);
  add("read.data", "late:7000", "too_late", true, read_block_wait);
  add("read.data", "short:100", "short", true, 0.1);
  add("read.data", "vanish", "vanish", true, 0, read_block_wait);
  cases.push_back({"read_data_flip", "read.data", "flip:7", false, true, 0, 0});
  return cases;
}

void PrintTo(const fault_case& c, std::ostream* out) { *out << c.step << ":" << c.kind; }

double children_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct E2EFaults : ::testing::TestWithParam<fault_case> {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }
};

}  // namespace

TEST_P(E2EFaults, At) {
  const fault_case& c = GetParam();
  const bool wine = running_under_wine();
  const bytes image = pattern_bytes(image_size, 11);
  write_file(dir + "/image.bin", image);
  char address[16];
  std::snprintf(address, sizeof address, "0x%08X", image_address);
  const std::string dump = dir + "/memory.bin";
  const std::string occurrence = c.step == "start" ? "@1" : "@2";
  sim_target sim = start_sim(dir, {"--fault", c.step + ":" + c.kind + occurrence, "--dump",
                                   std::string(address) + ":600:" + dump});

  const double cpu_before = children_cpu_seconds();
  process_result run = run_programmer(
      dir, {"--port", "@PORT", "--address", address, "--write", "--verify", "image.bin"}, sim.pty_path);
  const double cpu = children_cpu_seconds() - cpu_before;
  EXPECT_EQ(finish_sim(sim), 0);
  ASSERT_FALSE(run.timed_out);

  // Where the fault lands: the exchange the target spoils.
  const std::vector<exchange> talk = conversation(image);
  const exchange* at = nullptr;
  bytes wire;
  int seen = 0;
  const int nth = c.step == "start" ? 1 : 2;
  for (const exchange& e : talk) {
    wire.insert(wire.end(), e.sent.begin(), e.sent.end());
    if (e.step == c.step && ++seen == nth) {
      at = &e;
      if (c.fails) break;
    }
  }
  ASSERT_NE(at, nullptr) << "the image never reaches " << c.step << occurrence;

  const std::vector<sim_event> log = read_sim_log(sim.log_path);
  EXPECT_EQ(run.out, expected_console(c.fails ? at : nullptr, c.compare_fails));
  EXPECT_EQ(run.exit_code, c.fails || c.compare_fails ? 1 : 0);
  // Everything up to the spoiled answer, then not one byte more.
  EXPECT_EQ(bytes_received(log), wire);
  if (!c.fails && !c.compare_fails) {
    EXPECT_EQ(read_file(dump), image);
  }

  // A wait shorter than the rule's gives up on a target that would still
  // answer; a longer one, or spinning, shows up here. Wine adds its start-up,
  // and its serial layer reads a hung-up pty as silence until the time-out
  // where Windows itself reports the unplugged device at once.
  EXPECT_GE(run.seconds, c.wait);
  EXPECT_LE(run.seconds, drain_at_open + (wine ? c.wine_wait + 2.5 : c.wait + 1.0));
  if (!wine) {
    // Wine's own processes are not this test's children: CPU is measured natively only.
    EXPECT_LT(cpu, 0.5) << "the run kept the CPU busy while it waited";
  }
}

INSTANTIATE_TEST_SUITE_P(, E2EFaults, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<fault_case>& info) { return info.param.name; });
