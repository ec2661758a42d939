#include "support/fault_cases.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "support/address.h"
#include "support/console_text.h"
#include "support/test_files.h"

namespace {

using bytes = std::vector<uint8_t>;

// The tool's waits by its rules, in ms: an empty try reads for 40 ms and
// pauses 100 ms. A read block waits 20 * 256 + 20 ms for its data.
constexpr int ack_wait = 10 * (40 + 100);
constexpr int erase_final_wait = 100 * (40 + 100);
constexpr int read_block_wait = 20 * 256 + 20;

enum class phase { handshake, erase, write, read };

// What the host sends before one answer of the target: the step that answers
// it, the phase it belongs to, and which sector or block of that phase.
struct exchange {
  std::string step;
  phase in;
  int index;
  bytes sent;
};

std::vector<exchange> conversation(const bytes& image) {
  std::vector<exchange> all = {{"start", phase::handshake, 0, {start_byte}}};
  for (int i = 0; i < 2; ++i) {  // sectors 0 and 1
    all.push_back({"erase.prelude1", phase::erase, i, {erase_prelude}});
    all.push_back({"erase.prelude2", phase::erase, i, {}});
    all.push_back({"erase.command", phase::erase, i, {erase_command}});
    const auto list = one_sector_list(static_cast<uint32_t>(i));
    all.push_back({"erase.final", phase::erase, i, {list.begin(), list.end()}});
  }
  for (phase p : {phase::write, phase::read}) {
    for (int block = 0; block < 3; ++block) {
      const std::size_t offset = block_size * static_cast<std::size_t>(block);
      const std::size_t length = std::min<std::size_t>(block_size, image.size() - offset);
      bytes tail = {length_field(static_cast<uint32_t>(length))};
      const bool write = p == phase::write;
      if (write) tail.insert(tail.end(), image.begin() + offset, image.begin() + offset + length);
      const uint8_t command = write ? write_command : read_command;
      all.push_back({write ? "write.command" : "read.command", p, block, {command}});
      all.push_back({write ? "write.address" : "read.address", p, block,
                     address_bytes(fault_image_address + static_cast<uint32_t>(offset))});
      all.push_back({write ? "write.end" : "read.data", p, block, tail});
    }
  }
  return all;
}

int occurrence(const fault_case& c) { return c.step == "start" ? 1 : 2; }

// The exchange whose answer the case spoils.
const exchange* spoiled(const std::vector<exchange>& talk, const fault_case& c) {
  int seen = 0;
  for (const exchange& e : talk) {
    if (e.step == c.step && ++seen == occurrence(c)) return &e;
  }
  return nullptr;
}

std::string name_of(const std::string& step, const std::string& label) {
  std::string name = step + "_" + label;
  std::replace(name.begin(), name.end(), '.', '_');
  return name;
}

}  // namespace

std::vector<fault_case> all_fault_cases() {
  const std::vector<std::string> ack_steps = {"start",         "erase.prelude1", "erase.prelude2",
                                              "erase.command", "write.command",  "write.address",
                                              "write.end",     "read.command",   "read.address"};
  std::vector<fault_case> cases;
  auto add = [&](const std::string& step, const std::string& kind, const std::string& label,
                 bool fails, int wait, int least, int wine_wait) {
    cases.push_back({name_of(step, label), step, kind, fails, false, wait, least, wine_wait});
  };
  for (const std::string& step : ack_steps) {
    // A wrong answer to the start byte is listened past until the line has
    // been quiet for 100 ms, to tell what the board said; any other ends at once.
    const int listened = step == "start" ? 100 : 0;
    add(step, "refuse", "refuse", true, listened, listened, listened);
    add(step, "silent", "silent", true, ack_wait, ack_wait, ack_wait);
    // Tries start every 140 ms: the seventh reads from 840 to 880 ms, the
    // eighth finds the answer at 980.
    add(step, "late:900", "late_in_time", false, 980, 900, 980);
    add(step, "late:2500", "too_late", true, ack_wait, ack_wait, ack_wait);
    // A vanished line ends the wait at once: an unplugged adapter never answers.
    add(step, "vanish", "vanish", true, 0, 0, ack_wait);
  }
  // The final erase acknowledge has its own long wait. A late answer past it
  // takes the same path as silence, which already costs the whole 14 s.
  add("erase.final", "refuse", "refuse", true, 0, 0, 0);
  add("erase.final", "silent", "silent", true, erase_final_wait, erase_final_wait,
      erase_final_wait);
  // The 23rd try finds the late answer, at 3080 ms.
  add("erase.final", "late:3000", "late_in_time", false, 3080, 3000, 3080);
  add("erase.final", "vanish", "vanish", true, 0, 0, erase_final_wait);
  // The data answers a read: no acknowledge byte, so no refusal either (the
  // simulator's refuse there is silence). The block's own read time-out bounds it.
  add("read.data", "silent", "silent", true, read_block_wait, read_block_wait, read_block_wait);
  add("read.data", "late:3000", "late_in_time", false, 3000, 3000, 3000);
  add("read.data", "late:7000", "too_late", true, read_block_wait, read_block_wait,
      read_block_wait);
  add("read.data", "short:100", "short", true, 100, 100, 100);  // the line is quiet for 100 ms
  // Half the block, a pause, the rest: the gap rule passes 80 ms and ends
  // the read 100 ms into a longer pause.
  add("read.data", "pause:80", "pause_in_time", false, 80, 80, 80);
  add("read.data", "pause:160", "pause_too_long", true, 100, 100, 100);
  add("read.data", "vanish", "vanish", true, 0, 0, read_block_wait);
  cases.push_back({"read_data_flip", "read.data", "flip:7", false, true, 0, 0, 0});
  // Any byte but the acknowledge refuses, at any step: not only the
  // simulator's own 0x1f.
  add("erase.command", "refuse:0x00", "refuse_00", true, 0, 0, 0);
  add("write.address", "refuse:0x7f", "refuse_7f", true, 0, 0, 0);
  add("read.command", "refuse:0x3f", "refuse_3f", true, 0, 0, 0);
  add("write.end", "refuse:0xff", "refuse_ff", true, 0, 0, 0);
  return cases;
}

std::vector<uint8_t> fault_image() { return pattern_bytes(fault_image_size, 11); }

std::vector<std::string> fault_run_words(const std::string& port, const std::string& image_path) {
  return {"--port",  port,       "--address", hex_address(fault_image_address),
          "--write", "--verify", image_path};
}

std::string fault_option(const fault_case& c) {
  return c.step + ":" + c.kind + "@" + std::to_string(occurrence(c));
}

void PrintTo(const fault_case& c, std::ostream* out) { *out << fault_option(c); }

fault_wire fault_conversation(const fault_case& c, const bytes& image) {
  const std::vector<exchange> talk = conversation(image);
  const exchange* at = spoiled(talk, c);
  fault_wire wire;
  for (const exchange& e : talk) {
    wire.sent.insert(wire.sent.end(), e.sent.begin(), e.sent.end());
    if (&e == at) {
      wire.answered = wire.sent.size();
      if (c.fails) break;
    }
  }
  return wire;
}

namespace {

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

// How the reason names the step of the exchange the case spoils.
std::string step_words(const exchange& at) {
  const std::string sector = " of sector " + std::to_string(at.index);
  const std::string block =
      " of the block at " + hex(fault_image_address + 256 * static_cast<unsigned>(at.index), 8);
  if (at.step == "start") return "the start byte";
  if (at.step == "erase.prelude1") return "the erase prelude" + sector;
  if (at.step == "erase.prelude2") return "the erase prelude (second acknowledge)" + sector;
  if (at.step == "erase.command") return "the erase command" + sector;
  if (at.step == "erase.final") return "the erase" + sector;
  if (at.step == "write.command") return "the write command" + block;
  if (at.step == "read.command") return "the read command" + block;
  if (at.step.ends_with(".address")) return "the address" + block;
  if (at.step == "write.end") return "the data" + block;
  return "the read" + block;
}

}  // namespace

std::string fault_reason(const fault_case& c, bool line_gone) {
  const std::vector<exchange> talk = conversation(bytes(fault_image_size));
  const exchange* at = spoiled(talk, c);
  if (c.compare_fails) {
    // flip:I spoils byte I of the block: the image's byte and its complement.
    const std::size_t offset = 256 * static_cast<std::size_t>(at->index) + 7;
    const uint8_t expected = fault_image()[offset];
    return "image and target differ in 1 byte(s), first at " +
           hex(fault_image_address + static_cast<unsigned>(offset), 8) + ": image " +
           hex(expected, 2) + ", target " + hex(expected ^ 0xFFu, 2);
  }
  if (!c.fails) return {};
  const std::string step = step_words(*at);
  if (c.kind == "vanish" && line_gone) return "the serial adapter was disconnected";
  if (c.kind == "refuse" && c.step == "start")
    return "the target refused the start byte (answered 0x1f): wrong baud rate or wiring?";
  if (c.kind.starts_with("refuse")) {
    const std::string byte = c.kind == "refuse" ? "0x1f" : c.kind.substr(c.kind.find(':') + 1);
    return "the target refused " + step + " (answered " + byte + ")";
  }
  if (c.kind.starts_with("short")) return "only 100 of 256 bytes arrived for " + step;
  if (c.kind.starts_with("pause")) return "only 128 of 256 bytes arrived for " + step;
  // Silence, a late answer past the wait, or a vanished line read as silence.
  if (c.step == "erase.final") return "sector 1 was not erased: no acknowledge within 14 s";
  const std::string bound = c.step == "read.data" ? "5.14" : "1.4";
  const std::string reason = "no answer to " + step + " within " + bound + " s";
  if (c.step == "start") return reason + ": board wired otherwise? see --enter, --connect-attempts";
  return reason;
}

std::string fault_phase(const fault_case& c) {
  if (!c.fails && !c.compare_fails) return {};
  const std::vector<exchange> talk = conversation(bytes(fault_image_size));
  static const char* const names[] = {"handshake", "erase", "write", "verify"};
  return names[static_cast<int>(spoiled(talk, c)->in)];
}

std::string fault_run_console(const fault_case& c) {
  const std::vector<exchange> talk = conversation(bytes(fault_image_size));
  const exchange* at = c.fails ? spoiled(talk, c) : nullptr;
  std::string out = banner + "initializing device..";
  if (at != nullptr && at->in == phase::handshake) return out + error_tail + done_error;
  out += ok_tail;
  for (int sector = 0; sector < 2; ++sector) {
    if (at != nullptr && at->in == phase::erase && at->index == sector)
      return out + error_tail + done_error;
    out += ok_tail;
  }
  for (phase p : {phase::write, phase::read}) {
    const std::string verb = p == phase::write ? "writting" : "reading";
    if (at != nullptr && at->in == p)
      return out + transfer_line(verb, fault_image_size, at->index, false) + done_error;
    out += transfer_ok(verb, fault_image_size);
  }
  return out + (c.compare_fails ? done_error : done_ok);
}

std::vector<std::string> fault_reason_lines(const fault_case& c, bool line_gone) {
  std::vector<std::string> lines{
      "erasing sector 0 also clears 0x20000000-0x20001EFF, outside the image: --keep-unwritten "
      "keeps them"};
  const std::string reason = fault_reason(c, line_gone);
  if (!reason.empty()) lines.push_back(reason);
  return lines;
}
