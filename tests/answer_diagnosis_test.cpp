// The reason line of a failed start handshake: what came back tells a board
// wired otherwise from an echoing line, an application, and a wrong baud
// rate; the line fits a terminal and never carries a control byte raw.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootloader/answer_diagnosis.h"

TEST(AnswerDiagnosis, WhatCameBackSaysWhereToLook) {
  const exchange_failure silence{exchange_failure::silent, 0, 1400};
  const auto refused = [](uint8_t byte) {
    return exchange_failure{exchange_failure::refused, byte};
  };
  const std::string long_text(150, 'x');
  struct row {
    const char* name;
    exchange_failure why;
    std::vector<uint8_t> after;
    std::string reason;
    int tried = 1;  // and as many allowed
  };
  const std::vector<row> rows{
      {"nothing at all",
       silence,
       {},
       "no answer to the start byte within 1.4 s: board wired otherwise? see --enter, "
       "--connect-attempts"},
      {"nothing at all, the last of many attempts",
       silence,
       {},
       "tried 100 times: no answer to the start byte within 1.4 s: board wired otherwise? see "
       "--enter",
       100},
      {"the start byte back",
       refused(0x7f),
       {ack_byte},
       "the start byte 0x7f came back: an echo (tx looped to rx, or an echoing adapter)"},
      {"the start byte back every time",
       refused(0x7f),
       {},
       "tried 100 times: the start byte 0x7f came back: an echo (tx looped to rx, or an echoing "
       "adapter)",
       100},
      {"an application's text",
       refused('a'),
       {'p', 'p', ' ', 'v', '2', '\r', '\n'},
       "the board runs its application, not its boot loader: \"app v2\\r\\n\"; see --enter, "
       "--connect-attempts"},
      {"text that came late",
       silence,
       {'o', 'k', '"', '\\'},
       "the board runs its application, not its boot loader: \"ok\\\"\\\\\"; see --enter, "
       "--connect-attempts"},
      {"a long text, cut",
       refused('x'),
       {long_text.begin(), long_text.end()},
       "the board runs its application, not its boot loader: \"" + std::string(9, 'x') +
           "...\"; see --enter, --connect-attempts"},
      {"a long text, cut to leave room for the count",
       refused('x'),
       {long_text.begin(), long_text.end()},
       "tried 12 times: the board runs its application, not its boot loader: \"" +
           std::string(13, 'x') + "...\"; see --enter",
       12},
      {"one refusal byte",
       refused(refusal_byte),
       {},
       "the target refused the start byte (answered 0x1f): wrong baud rate or wiring?"},
      {"one stray letter",
       refused('x'),
       {},
       "the target refused the start byte (answered 0x78): wrong baud rate or wiring?"},
      {"text with a control byte in it",
       refused('o'),
       {'k', 0x1b, '[', '2', 'J'},
       "the target answered 6 bytes (0x6f 0x6b 0x1b 0x5b ...): wrong baud rate or wiring?"},
      {"line noise, the last of many attempts", refused(0xf8), std::vector<uint8_t>(63, 0x80),
       "tried 100 times: the target answered 64 bytes (0xf8 0x80 0x80 0x80 ...): wrong baud rate "
       "or wiring?",
       100},
      {"an unplugged adapter",
       exchange_failure{exchange_failure::gone},
       {},
       "the serial adapter was disconnected",
       3},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string reason = diagnose_start_answer(r.why, r.after, start_byte, r.tried, r.tried);
    EXPECT_EQ(reason, r.reason);
    EXPECT_LE(reason.size(), 100u);
  }
}
