// vexlor-prog's command line: its words read left to right into the
// settings of one run. The programmer reads them before its run; the
// station reads the same words, which it passes to every run, to refuse
// once what each run would refuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image.h"
#include "options/line_sequence.h"
#include "serial/serial_port.h"

// --connect-attempts: enough for a board whose button is pressed by hand,
// few enough that a board that never answers ends the run.
inline constexpr int max_connect_attempts = 100;

// --board-id ADDRESS:LENGTH: where the board keeps its own id (most
// microcontrollers keep a unique id, programmed at the factory, at a fixed
// address), so that a record can say which board it was rather than which
// adapter.
struct board_id_place {
  uint32_t address = 0;
  uint32_t length = 0;  // 1 to board_id_max
};

// The longest id: one read block.
inline constexpr uint32_t board_id_max = 256;

struct run_settings {
  std::string port_name = "COM1";  // as typed; the serial layer refuses an over-long one
  int32_t baud_rate = 115200;
  uint32_t address = 0x20000000;
  bool write = false;
  bool verify = false;
  // --verify-until-differ: the verify's read ends at the first block that differs.
  bool verify_until_differ = false;
  bool json = false;  // JSON Lines on standard output instead of the console text
  std::string image_path = "default.bin";  // as typed; an over-long one is refused, never cut
  std::optional<board_id_place> board_id;  // read after the handshake
  std::vector<image_patch> patches;        // the board's own bytes, in the order given
  // --enter, --leave: the control-line steps before each start byte and at
  // the end of the run.
  std::vector<line_step> enter = default_line_steps(default_enter_sequence);
  std::vector<line_step> leave = default_line_steps(default_leave_sequence);
  int connect_attempts = 1;  // --connect-attempts: start handshakes before the run gives up
  // Words that look like a slip but may be meant (an image path a later
  // word replaced), each as the warning the run gives before it begins.
  std::vector<std::string> slips;
  bool address_given = false;          // an image that carries its own addresses has no use for one
  std::optional<image_format> format;  // --format; none: the content decides
  std::optional<std::string> save_path;  // --save: the flash read into this file
  std::optional<uint32_t> save_size;     // --size: how many bytes --save reads
  bool force = false;                    // --save may replace a file that exists
  bool allow_empty =
      false;  // an empty image is written or verified, not refused as a truncated build
  // --keep-unwritten: the bytes of each sector the write erases that the
  // image does not cover are read first and written back.
  bool keep_unwritten = false;
  bool help = false;     // -h, --help: the usage text, and no run
  bool version = false;  // -V, --version: the version, and no run
  // --changed-only: the write erases and writes only the sectors whose
  // bytes differ from what this host last flashed and verified on the
  // board (--board-id names it); --verify then reads back only those,
  // unless --verify-all.
  bool changed_only = false;
  bool verify_all = false;
  std::string cache_folder;  // --cache; empty: default_cache_folder("vexlor-prog")
  // --forget-board: a run of its own that removes the record of this board
  // (lower-case hex), opening no port.
  std::optional<std::string> forget_board;
  // --expect: once the closing line sequence has let the board go, a line
  // it prints must hold this text within expect_within_s seconds.
  std::optional<std::string> expect;
  double expect_within_s = 10;
  bool expect_within_given = false;
  // --app-baud: the rate the board's application prints at, when it is not
  // the boot loader's (--baudrate).
  std::optional<line_rate> app_baud;
  // --monitor: the board's lines shown as they come, after the run, until a
  // stop request or for monitor_for_s (--monitor-for).
  bool monitor = false;
  std::optional<double> monitor_for_s;
};

// --expect-within's and --monitor-for's bounds, in seconds.
inline constexpr double expect_within_least_s = 0.1;
inline constexpr double expect_within_most_s = 600;
inline constexpr double monitor_for_least_s = 0.1;
inline constexpr double monitor_for_most_s = 86400;

// A number of the command line: decimal digits, or "0x" (or "0X") and hex
// digits, every character a digit of its base, below 2^32. False for
// anything else, with `fault` saying what is wrong ("'k' is not a decimal
// digit", "no digits", "more than 32 bits"): read leniently, a slip (a
// space, a "_", a ":") would program some other address.
bool parse_number(std::string_view text, uint32_t& value, std::string& fault);

// The same with decimal digits alone.
bool parse_decimal(std::string_view text, uint32_t& value, std::string& fault);

// ADDRESS:LENGTH, the address read as --address reads it, LENGTH in
// decimal from 1 to board_id_max, the whole id below 2^32. False, and why,
// for anything else.
bool parse_board_id_place(const std::string& text, board_id_place& place, std::string& why);

// --patch ADDRESS:HEX, the address read as --address reads it, HEX an even
// number of hex digits. False, and why, for anything else.
bool parse_patch(const std::string& text, image_patch& patch, std::string& why);

// --format's value: "auto" (nothing forced: the content decides), "bin"
// (raw bytes, whatever they look like), "ihex", "srec" or "elf". False for
// any other word, saying which words there are in `why`.
bool parse_image_format_option(const std::string& value, std::optional<image_format>& forced,
                               std::string& why);

// Whether `word` is an option that takes the word after it as its value
// (--port, --expect), so that a caller that leaves an option out of the
// words can leave its value out with it.
bool option_takes_value(const std::string& word);

// The words read left to right into `settings`, by the option table in
// options.cpp, then the rules that take the whole line (--save with
// --size). False, with one line in `why` that names the bad word or value,
// for a command line the run must not begin with: a usage error, told
// before any port is opened. Every word that begins with "-" must be an
// option (a mistyped one would leave its job undone, or drive the default
// port's lines); a value-taking option needs a value that is no option
// word; a switch takes none ("--write=yes"). Every word after "--" is the
// image path, for an image whose name begins with "-".
bool parse_options(const std::vector<std::string>& words, run_settings& settings, std::string& why);

// The command line's rules that take the image as well as the words:
// --address with an image that carries its own addresses (it would mean
// nothing), and an empty image to write or verify without --allow-empty
// (a truncated build that "writes 0 bytes - OK"). Empty when the run may
// begin, else the usage error. The programmer asks it before it opens the
// port, the station before any board.
std::string refusal_with_image(const run_settings& settings, const image_contents& image);

// --help's text, made from the option table: the synopsis and a line for
// each option.
std::string usage_text();
