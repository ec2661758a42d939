// The contract between vexlor-prog --json and whoever reads it (the
// production station, a script): the events a run prints, one JSON object a
// line, their field names, the phases by name and the schema number. The
// writer and the reader live here together, so that they cannot drift
// apart; vexlor-prog writes every line with run_line_text, the station
// reads every line with parse_run_line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The schema of the lines. It changes when an event or a field is removed
// or renamed or changes its meaning; events and fields that are added keep
// it, and a reader passes over what it does not know. The end object
// carries it, and a reader refuses a run whose schema it does not know.
inline constexpr int run_schema = 1;

// The version of the tools, from the build ("1.0.0").
const char* tool_version();

// The parts of a run, as the lines name them (phase_name): a failure names
// the phase it ended.
enum class run_phase : uint8_t {
  usage,      // the command line, before the port is opened
  port,       // opening the port
  file,       // loading the image
  handshake,  // the start byte and its acknowledge
  erase,
  write,
  verify,
  signal,      // a stop request ended the run
  save,        // reading the flash into a file (--save)
  board_id,    // reading the board's own id, after the handshake
  keep,        // --keep-unwritten: reading what the erase would clear besides the image
  forget,      // removing what this host knows a board holds (--forget-board)
  boot_check,  // --expect: the board's start, once the closing line sequence let it go
};

const char* phase_name(run_phase phase);
std::optional<run_phase> phase_named(std::string_view name);

// How far a transfer is, in whole percent of `total` (100 for nothing to
// move), never past 100 whatever the counts.
unsigned percent_done(uint64_t done, uint64_t total);

// {"event":"phase",...}: an operation ended, well or not. An erase names
// its sector, a transfer its range.
struct phase_line {
  run_phase phase = run_phase::handshake;
  bool ok = true;
  std::string reason;  // why not; empty when ok
  std::optional<uint32_t> sector;
  std::optional<uint32_t> address;
  std::optional<uint32_t> size;
  bool operator==(const phase_line&) const = default;
};

// {"event":"progress",...}: a transfer moved on, at most once a percent.
struct progress_line {
  run_phase phase = run_phase::write;
  uint64_t done = 0;
  uint64_t total = 0;
  bool operator==(const progress_line&) const = default;
};

// {"event":"warning",...}: the run goes on, but the user should know.
struct warning_line {
  std::string reason;
  bool operator==(const warning_line&) const = default;
};

// {"event":"board_id",...}: the board's own id, read after the handshake,
// in lower-case hex.
struct board_id_line {
  std::string id;
  bool operator==(const board_id_line&) const = default;
};

// Why an id read at `address` (lower-case hex, as the board_id event has
// it) is no board's own: every byte of it one value (all 00 where the
// address is wrong, all ff on blank flash), which every board there reads
// alike. vexlor-prog warns of it; the station, which keys serial numbers
// and records by the id, fails the board for it. Nullopt for an id of
// bytes that differ (or of one byte).
std::optional<std::string> board_id_not_unique(uint32_t address, std::string_view id);

// {"event":"begun",...}: a phase that waits without a transfer to tell
// (the check of the board's start) has begun.
struct begun_line {
  run_phase phase = run_phase::boot_check;
  bool operator==(const begun_line&) const = default;
};

// {"event":"boot",...}: the check of the board's start (--expect) ended:
// the line that held the text, or why none did. Lines are the board's as
// visible text: a line feed ends one, a carriage return before it is
// dropped, a byte a terminal would act on is shown as \xNN.
struct boot_check_line {
  bool ok = true;
  std::string line;    // the line that held the text; empty when not ok
  std::string reason;  // why not; empty when ok
  double seconds = 0;  // from the release to that line, or to the end of the wait
  // The board's last lines, up to three, that line last; empty when it
  // printed none.
  std::vector<std::string> lines;
  bool operator==(const boot_check_line&) const = default;
};

// {"event":"output",...}: a line the board printed while it was watched
// (--monitor); a piece of one that stayed without its line feed for a
// while comes as a line of its own.
struct output_line {
  std::string line;
  bool operator==(const output_line&) const = default;
};

// {"event":"end",...}: the last line, the run's outcome.
struct end_line {
  int schema = run_schema;  // 0: the run named none
  bool ok = false;
  int errors = 1;
  int exit = 1;  // the process's exit status
  std::optional<run_phase> phase;
  std::optional<std::string> reason;  // both set when the run failed
  std::string port;
  std::optional<std::string> image;   // as given; none when the run used no image (--save alone)
  std::optional<uint32_t> size;       // when the image was loaded
  std::optional<std::string> sha256;  // of the image file, when loaded
  uint32_t address = 0;
  int32_t baud = 0;
  double seconds = 0;
  std::string version;
  bool write = false;  // what the run was asked to do: write, verify
  bool verify = false;
  std::optional<uint32_t> segments;     // the image's, when it was loaded: 1 for raw bytes
  std::optional<std::string> saved;     // the file --save wrote, once every byte is in it
  std::optional<std::string> board_id;  // lower-case hex, when it was read
  // Of the image as written and compared: the file's bytes with the
  // run's patches in them (sha256 when there are none); only once a write
  // began, since nothing was written otherwise.
  std::optional<std::string> written_sha256;
  // How the image was read, as --format names it (bin, ihex, srec, elf),
  // once the file was read whole.
  std::optional<std::string> format;
  // --changed-only: the sectors the write set out to erase and write, the
  // rest being unchanged; written only then, so that the end object of
  // every other run stays as it was.
  std::optional<uint32_t> sectors_written;
  std::optional<std::string> boot_line;  // the line --expect found; none when not checked
  bool operator==(const end_line&) const = default;
};

// {"event":"skipped",...}: --changed-only leaves these sectors as they are:
// this host last flashed them with the same bytes.
struct skipped_line {
  std::vector<uint32_t> sectors;
  bool operator==(const skipped_line&) const = default;
};

// {"event":"attempt",...}: an attempt at the start handshake failed, and
// the board is entered and greeted again.
struct attempt_line {
  run_phase phase = run_phase::handshake;
  int attempt = 1;
  int of = 1;  // the attempts the run allows
  std::string reason;
  bool operator==(const attempt_line&) const = default;
};

// A JSON object whose event this reader does not know: passed over.
struct unknown_line {
  bool operator==(const unknown_line&) const = default;
};

using run_line =
    std::variant<phase_line, progress_line, warning_line, end_line, board_id_line, attempt_line,
                 skipped_line, unknown_line, begun_line, boot_check_line, output_line>;

// The line, one JSON object with its line break. Text that is not UTF-8 (a
// port name, a path) is shown with replacement characters rather than
// making the line invalid JSON.
std::string run_line_text(const run_line& line);

// The line read back, without its line break; nullopt for anything that is
// no JSON object of this contract (a crash report, a fragment). A field of
// the wrong type reads as absent.
std::optional<run_line> parse_run_line(std::string_view text);
