// The boot loader's answers, byte for byte and with their times, as the
// programmer will see them; faults must hit exactly the occurrence asked for.
// The boards around it see the host's control lines through the fake serial
// line, which hands the target each change at its place on the line's clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options/line_sequence.h"
#include "line_channel.h"
#include "support/address.h"
#include "support/fake_serial_port.h"
#include "support/test_files.h"
#include "target.h"

namespace {

constexpr uint8_t ack = ack_byte;
constexpr uint8_t nack = refusal_byte;
constexpr int64_t ms = 1'000'000;

// Feeds bytes arriving at `at` and returns what the target answers.
std::vector<uint8_t> send(target& t, std::vector<uint8_t> bytes, int64_t at = 0) {
  t.output.clear();
  for (uint8_t byte : bytes) target_receive(t, byte, at);
  std::vector<uint8_t> answer;
  for (const auto& out : t.output) answer.push_back(out.byte);
  return answer;
}

target started(std::vector<std::string> faults = {}) {
  target t;
  for (const auto& text : faults) {
    std::string error;
    t.faults.rules.push_back(*parse_fault(text, error));
  }
  send(t, {start_byte});
  return t;
}

std::vector<uint8_t> write_block(target& t, uint32_t address, std::vector<uint8_t> data) {
  std::vector<uint8_t> answers = send(t, {write_command});
  for (uint8_t b : send(t, address_bytes(address))) answers.push_back(b);
  std::vector<uint8_t> tail{length_field(static_cast<uint32_t>(data.size()))};
  tail.insert(tail.end(), data.begin(), data.end());
  for (uint8_t b : send(t, tail)) answers.push_back(b);
  return answers;
}

// The data bytes of one read block (the two ACKs are checked and dropped).
std::vector<uint8_t> read_block(target& t, uint32_t address, std::size_t size) {
  EXPECT_EQ(send(t, {read_command}), std::vector<uint8_t>{ack});
  EXPECT_EQ(send(t, address_bytes(address)), std::vector<uint8_t>{ack});
  return send(t, {length_field(static_cast<uint32_t>(size))});
}

std::vector<uint8_t> sector_list(uint8_t sector) {
  const auto list = one_sector_list(sector);
  return {list.begin(), list.end()};
}

std::vector<uint8_t> erase(target& t, uint8_t sector) {
  std::vector<uint8_t> answers = send(t, {erase_prelude});
  for (uint8_t b : send(t, {erase_command})) answers.push_back(b);
  for (uint8_t b : send(t, sector_list(sector))) answers.push_back(b);
  return answers;
}

}  // namespace

TEST(SimTarget, IgnoresNoiseBeforeStartAndRefusesUnknownCommands) {
  target t;
  EXPECT_TRUE(send(t, {read_command, write_command, 0x00}).empty());
  EXPECT_EQ(send(t, {start_byte}), std::vector<uint8_t>{ack});
  EXPECT_EQ(send(t, {0x00}), std::vector<uint8_t>{nack});
  // Where a command is expected a start byte begins a new session; in an
  // address or a data block it is data.
  EXPECT_EQ(send(t, {write_command, start_byte, 0, 0, 0, length_field(1), start_byte, start_byte}),
            (std::vector<uint8_t>{ack, ack, ack, ack}));
}

TEST(SimTarget, WrittenBlockReadsBackAcrossTheTopOfMemory) {
  target t = started();
  std::vector<uint8_t> data(256);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  EXPECT_EQ(write_block(t, 0xFFFFFF80, data), (std::vector<uint8_t>{ack, ack, ack}));
  EXPECT_EQ(read_block(t, 0xFFFFFF80, 256), data);
  EXPECT_EQ(read_block(t, 0, 1), std::vector<uint8_t>{data[0x80]});
}

TEST(SimTarget, EraseAnswersAndFillsTheSector) {
  target t = started();
  write_block(t, 0x200C0010, {0x12, 0x34});
  EXPECT_EQ(erase(t, 16), (std::vector<uint8_t>{ack, ack, ack, ack}));
  EXPECT_EQ(read_block(t, 0x200C0010, 2), (std::vector<uint8_t>{0xFF, 0xFF}));

  EXPECT_EQ(erase(t, 8), (std::vector<uint8_t>{ack, ack, ack, nack}));  // not in the map
  EXPECT_EQ(send(t, {erase_prelude}), (std::vector<uint8_t>{ack, ack}));
  EXPECT_EQ(send(t, {0x44}), std::vector<uint8_t>{nack});
  EXPECT_EQ(send(t, {start_byte}),
            std::vector<uint8_t>{ack});  // back in command state: a new start
}

TEST(SimTarget, EraseAndLateAnswersTakeTheirTimeAndDelayWhatFollows) {
  target t = started({"write.command:late:40"});
  t.erase_ns = 30 * ms;
  send(t, {erase_prelude, erase_command}, 5 * ms);
  send(t, sector_list(5), 6 * ms);
  ASSERT_EQ(t.output.size(), 1u);
  EXPECT_EQ(t.output[0].at_ns, 36 * ms);

  send(t, {write_command}, 10 * ms);  // arrived during the erase: taken after it
  ASSERT_EQ(t.output.size(), 1u);
  EXPECT_EQ(t.output[0].at_ns, 76 * ms);
}

TEST(SimTarget, FaultsHitTheChosenOccurrence) {
  target t = started({"write.address:refuse@2", "write.end:silent@3"});
  EXPECT_EQ(write_block(t, 0x1000, {1}), (std::vector<uint8_t>{ack, ack, ack}));
  EXPECT_EQ(send(t, {write_command, 0, 0, 0x10, 0}), (std::vector<uint8_t>{ack, nack}));
  EXPECT_EQ(send(t, {start_byte}), std::vector<uint8_t>{ack});  // refused: command state again
  EXPECT_EQ(write_block(t, 0x1000, {2}), (std::vector<uint8_t>{ack, ack, ack}));
  // The third end is reached: silence.
  EXPECT_EQ(write_block(t, 0x1000, {3}), (std::vector<uint8_t>{ack, ack}));
  EXPECT_EQ(t.notes,
            (std::vector<std::string>{"fault write.address refuse", "fault write.end silent"}));
}

TEST(SimTarget, RefusedPreludeSendsOneNackOnly) {
  target t = started({"erase.prelude1:refuse", "erase.prelude2:refuse"});
  EXPECT_EQ(send(t, {erase_prelude}), std::vector<uint8_t>{nack});
  EXPECT_EQ(send(t, {erase_prelude}), (std::vector<uint8_t>{ack, nack}));
  EXPECT_EQ(send(t, {erase_command}), std::vector<uint8_t>{nack});  // not an erase in progress
}

TEST(SimTarget, ReadDataFaultsSpoilTheBlock) {
  target t = started({"read.data:short:2@1", "read.data:flip:1@2", "read.data:refuse@3"});
  write_block(t, 0x100, {1, 2, 3, 4});
  EXPECT_EQ(read_block(t, 0x100, 4), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(read_block(t, 0x100, 4), (std::vector<uint8_t>{1, 0xFD, 3, 4}));
  EXPECT_TRUE(read_block(t, 0x100, 4).empty());  // a refusal byte would pass for data
  EXPECT_EQ(read_block(t, 0x100, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SimTarget, StartFaultsLeaveTheTargetUnstarted) {
  target t = started({"start:silent", "start:refuse@2", "start:silent@4"});
  EXPECT_TRUE(t.output.empty());
  EXPECT_EQ(send(t, {start_byte}), std::vector<uint8_t>{nack});
  EXPECT_EQ(send(t, {start_byte}), std::vector<uint8_t>{ack});
  EXPECT_TRUE(send(t, {start_byte, write_command}).empty());  // a new session's start is one too
}

TEST(SimTarget, HangUpNeedsANewStartAndVanishEndsEverything) {
  target t = started({"read.address:vanish"});
  send(t, {write_command, 0x00});  // half an address when the port closes
  target_hang_up(t);
  EXPECT_TRUE(send(t, {0x00, 0x00}).empty());
  EXPECT_EQ(send(t, {start_byte}), std::vector<uint8_t>{ack});

  EXPECT_EQ(send(t, {read_command, 0, 0, 0, 0}, 9 * ms), std::vector<uint8_t>{ack});
  ASSERT_TRUE(t.vanish_at_ns.has_value());
  EXPECT_EQ(*t.vanish_at_ns, 9 * ms);
  EXPECT_TRUE(send(t, {start_byte, read_command}).empty());
}

namespace {

// What the host drives before one start byte, and what it gets back.
struct attempt {
  std::string enter;  // in the step language of --enter
  std::vector<uint8_t> answer;
};

// Over the fake line: each attempt drives its sequence, sends the start byte
// and reads what comes back before the line is quiet.
std::vector<std::vector<uint8_t>> attempts_over_fake_line(target& t,
                                                          const std::vector<attempt>& attempts) {
  fake_port_connect("COM7", t);
  port_handle port = port_open("COM7");
  std::vector<std::vector<uint8_t>> answers;
  for (const attempt& a : attempts) {
    std::string why;
    const auto steps = parse_line_sequence(a.enter, why);
    EXPECT_TRUE(steps) << why;
    EXPECT_TRUE(drive_line_steps(port, steps.value_or(std::vector<line_step>{}), why)) << why;
    port_write(port, &start_byte, 1);
    std::vector<uint8_t> got(64);
    got.resize(port_read(port, got.data(), got.size()));
    answers.push_back(got);
  }
  port_close(port);
  return answers;
}

}  // namespace

TEST(SimTarget, BoardsAnswerTheStartByteAsTheyAreWiredAndDriven) {
  const auto app = text_bytes("app v2.1 ready\r\n");
  const std::vector<uint8_t> acked{ack};
  const std::vector<uint8_t> none;
  const auto wired = [](std::string_view text) {
    std::string error;
    return parse_wiring(text, error);
  };
  struct row {
    const char* name;
    board_setup board;
    std::vector<attempt> attempts;
  };
  const std::vector<row> rows{
      {"the default board", {}, {{"R0,D1,D0,W10", acked}, {"none", acked}}},
      {"an echoing line", {.echo = true}, {{"none", {start_byte, ack}}}},
      {"a boot loader that lets two start bytes pass",
       {.ignored_starts = 2},
       {{"none", none}, {"none", none}, {"none", acked}, {"none", acked}}},
      {"an application that always answers", {.app_text = app}, {{"none", app}, {"none", app}}},
      {"an application that answers once",
       {.app_text = app, .app_answers = 1},
       {{"none", app}, {"none", acked}}},
      {"wired as the defaults assume",
       {.wiring = wired("D1:R0")},
       {{"none", none}, {"R0,D1,D0,W10", acked}, {"R1,D1,D0", none}}},
      {"wired as the defaults assume, with a talking application",
       {.wiring = wired("D1:R0"), .app_text = app},
       {{"R1,D1,D0,W10", app}, {"R0,D1,D0,W10", acked}}},
      {"lines swapped",
       {.wiring = wired("R1:D0")},
       {{"R0,D1,D0,W10", none}, {"D0,R1,R0,W10", acked}}},
      {"lines inverted",
       {.wiring = wired("D0:R1")},
       {{"R0,D1,D0,W10", none}, {"R1,D0,D1,W10", acked}}},
      {"a board slow to start",
       {.wiring = wired("D1:R0:50")},
       {{"R0,D1,D0,W10", none}, {"R0,D1,D0,W50", acked}}},
      {"a boot pin that lets go while the board starts",
       {.wiring = wired("D1:R0:50")},
       {{"R0,D1,D0,W20,R1,W40", none}}},
      {"an echoing line to a board in reset",
       {.wiring = wired("D1:R0"), .echo = true},
       {{"D1", {start_byte}}}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    target t;
    t.board.setup = r.board;
    const auto answers = attempts_over_fake_line(t, r.attempts);
    ASSERT_EQ(answers.size(), r.attempts.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
      EXPECT_EQ(answers[i], r.attempts[i].answer) << "attempt " << i + 1;
    }
  }
}

TEST(SimTarget, LineChangeMessagesRoundTripAndJunkIsRefused) {
  const line_change_message sent{{control_line::rts, false}, 123'456'789'012, 17};
  std::string text = line_change_text(sent);
  ASSERT_EQ(text.back(), '\n');
  text.pop_back();
  const auto got = parse_line_change(text);
  ASSERT_TRUE(got);
  EXPECT_EQ(line_level_name(got->change), "R0");
  EXPECT_EQ(got->at_ns, sent.at_ns);
  EXPECT_EQ(got->bytes_before, 17u);
  for (const char* junk :
       {"", "R2 at 1 after 0", "R1 at 1", "R1 at -1 after 0", "R1 at 1 after 0 x",
        "R1  at 1 after 0", "R1 at 99999999999999999999 after 0"}) {
    EXPECT_FALSE(parse_line_change(junk)) << junk;
  }
}

// An application's prints on the target's own clock, as the event loop
// drives it: the first open is its power-on, a late print goes at once and
// the period holds from there, and what came due while the port was closed
// went to nobody.
TEST(SimTarget, ApplicationPrintsOnItsOwnClock) {
  target t;
  t.board.setup = {.app_banner = text_bytes("v1\n"), .app_every_ms = 100};
  target_port_opened(t, 0);
  for (int at_ms : {0, 100, 250, 300}) target_run(t, at_ms * ms);
  target_hang_up(t);
  target_port_opened(t, 650 * ms);
  for (int at_ms : {650, 700}) target_run(t, at_ms * ms);
  std::vector<int64_t> printed_ms;
  for (std::size_t i = 0; i < t.output.size(); i += 3) printed_ms.push_back(t.output[i].at_ns / ms);
  EXPECT_EQ(printed_ms, (std::vector<int64_t>{0, 100, 200, 300, 700}));
  EXPECT_EQ(t.output.size(), 15u);
}

// A boot loader that times out (--app-after): the host quiet for its time,
// the application starts and prints; a start byte finds the boot loader
// again, and its time counts from the host's last byte.
TEST(SimTarget, ABootLoaderThatTimesOutStartsTheApplication) {
  target t;
  t.board.setup = {.app_banner = text_bytes("v1\n"), .app_after_ms = 300};
  target_port_opened(t, 0);
  for (int at_ms : {300, 400, 650, 700}) {
    if (at_ms == 400) target_receive(t, start_byte, at_ms * ms);
    target_run(t, at_ms * ms);
  }
  std::vector<std::pair<int64_t, uint8_t>> sent;  // each banner's bytes and the acknowledge
  for (const emission& e : t.output) sent.emplace_back(e.at_ns / ms, e.byte);
  EXPECT_EQ(
      sent,
      (std::vector<std::pair<int64_t, uint8_t>>{
          {300, 'v'}, {300, '1'}, {300, '\n'}, {400, ack}, {700, 'v'}, {700, '1'}, {700, '\n'}}));
}
