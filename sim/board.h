// The board around the boot loader: how its reset and boot pins hang on the
// host's control lines, whether it runs its application first, and the
// wiring faults of a line. The boards that a fixed opening sequence cannot
// reach are played here: a board wired otherwise, one that starts its
// application, one whose boot loader lets its first start bytes pass, and a
// line that echoes what the host sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class control_line : uint8_t { rts, dtr };

// One control line at one level, as the host drives it: `set` is asserted
// (SETRTS, SETDTR), clear is CLRRTS, CLRDTR.
struct line_level {
  control_line line = control_line::dtr;
  bool set = true;
};

// --wiring RESET:BOOT[:MS]
struct board_wiring {
  line_level reset;           // the level that holds the board in reset
  line_level boot;            // the level of the boot pin that selects the boot loader
  uint32_t boot_hold_ms = 0;  // how long the boot pin must keep it once reset ends
};

// The board as the simulator's options describe it.
struct board_setup {
  // None: reset and boot pins are wired to nothing the simulator can see,
  // and the board is in its boot loader (unless its application runs).
  std::optional<board_wiring> wiring;
  // What the application answers to a start byte; with no wiring, a board
  // with a text runs its application first.
  std::vector<uint8_t> app_text;
  uint32_t app_answers = 0;     // after this many answers the boot loader runs; 0: never
  uint32_t ignored_starts = 0;  // start bytes the boot loader lets pass, over its lifetime
  bool echo = false;            // every byte received comes straight back
  // What the application prints by itself as it starts (--app-banner), and
  // again every app_every_ms while it runs (0: once). An application that
  // crashes (--app-crash) prints a fault line instead, as it starts and at
  // each restart, and never its banner.
  std::vector<uint8_t> app_banner;
  uint32_t app_every_ms = 0;
  bool app_crash = false;
  // A board not wired whose boot loader times out (--app-after): it starts
  // the application once the host has been quiet this long (0: never), and
  // a start byte finds the boot loader again, as the host's opening
  // sequence, which the simulator cannot see, would have it.
  uint32_t app_after_ms = 0;
};

// The crashing application's last words, and how soon it runs again: a
// fault handler's report, then a watchdog's restart.
inline constexpr std::string_view app_fault_line = "hard fault at pc=0x08001d2c: restarting\r\n";
inline constexpr int64_t app_restart_ns = 200'000'000;

// Who has the byte that reaches the board.
enum class board_mode : uint8_t {
  powered_on,   // as it came up: its application if it has one or is wired, else the boot loader
  application,  // the application runs: no boot loader to answer
  in_reset,     // held in reset: nothing runs
  starting,     // reset released, the boot pin not yet read
  boot_loader,
};

struct board_state {
  board_setup setup;
  board_mode mode = board_mode::powered_on;
  // The levels the host has driven; none until it drives a line.
  std::optional<bool> rts_set;
  std::optional<bool> dtr_set;
  int64_t started_ns = 0;    // starting: when reset was released
  bool boot_chosen = false;  // starting: the boot pin has held its level since
  uint64_t app_answered = 0;
  uint64_t starts_ignored = 0;
  // While the application runs: when it prints next. None: it prints no more.
  std::optional<int64_t> app_print_ns;
  // --app-after: since when the boot loader has heard nothing from the host.
  std::optional<int64_t> boot_quiet_since_ns;
};

// "D1" (DTR set), "R0" (RTS clear): the words of the programmer's line steps.
std::optional<line_level> parse_line_level(std::string_view text);
std::string line_level_name(line_level level);

// Parses a --wiring value: RESET:BOOT[:MS], two different lines.
std::optional<board_wiring> parse_wiring(std::string_view text, std::string& error);

// Who runs when a byte or a line change arrives at `at_ns`: a start-up that
// has finished by then has read the boot pin. Notes the change in `notes`.
board_mode board_settle(board_state& b, int64_t at_ns, std::vector<std::string>& notes);

// The host drives `change` at `at_ns`: a reset pulse on a wired board, and
// the boot pin it reads. Notes what the board did in `notes`.
void board_line_change(board_state& b, line_level change, int64_t at_ns,
                       std::vector<std::string>& notes);

// The application has a start byte: true when it answers with its text. A
// board that is not wired hands over to its boot loader after the answers it
// was given, as if the next reset chose it.
bool board_app_answers(board_state& b, std::vector<std::string>& notes);

// The boot loader has heard the host, and answered by `at_ns`: its time-out
// (--app-after) counts from then.
void board_heard(board_state& b, int64_t at_ns);

// The application has a start byte: true when the board, one whose boot
// loader times out, is back in its boot loader to take it, as the host's
// unseen opening sequence would have put it there.
bool board_app_yields(board_state& b, int64_t at_ns, std::vector<std::string>& notes);

// The boot loader has a start byte: false while it lets its first ones pass.
bool board_takes_start(board_state& b, std::vector<std::string>& notes);

// The board sees the port opened at `at_ns`. The first open is its power-on:
// a board that is not wired starts its application then, if it has one. A
// print that came due while the port was closed went to nobody.
void board_port_opened(board_state& b, int64_t at_ns, std::vector<std::string>& notes);

// When the board next acts with nothing on the line: a start-up that ends or
// the application's next print. None: not before a byte or a line change.
std::optional<int64_t> board_next_event_ns(const board_state& b);

// The application's print due by `at_ns`: its banner or its fault line, to
// go on the line at `print_ns`; empty when none is due. Schedules the next.
std::vector<uint8_t> board_app_print(board_state& b, int64_t at_ns, int64_t& print_ns,
                                     std::vector<std::string>& notes);

// The start-up in progress when the host closes the port has finished by
// the time it opens it again, on a clock that starts again from 0.
void board_hang_up(board_state& b);
