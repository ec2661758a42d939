// Every point where the target answers, spoiled in every way a target or a
// line can spoil it. The in-process matrix runs every case over the fake
// line, where each wait is exact; the end-to-end suite runs one case of each
// kind against the real binary on a pty.
//
// One image reaches every step twice: 600 bytes at 0x20001F00 touch sectors
// 0 and 1 and take three blocks each way, so a fault on the second occurrence
// lands after one sector or block has already gone through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

inline constexpr uint32_t fault_image_address = 0x20001F00;
inline constexpr std::size_t fault_image_size = 600;

struct fault_case {
  std::string name;  // step_kind, as a test name
  std::string step;
  std::string kind;    // as the simulator takes it, with its argument
  bool fails;          // false: the answer is late but still in time
  bool compare_fails;  // the transfer goes through, the data does not match
  int wait_ms;         // the tool's wait on the spoiled answer, by its rules
  int least_ms;        // the least a real run can wait: a late answer may be caught as it comes
  int wine_wait_ms;    // the wait under Wine, where a vanished pty reads as silence
};

std::vector<fault_case> all_fault_cases();

// The image the cases program, and the programmer's words for writing and
// verifying it through `port`.
std::vector<uint8_t> fault_image();
std::vector<std::string> fault_run_words(const std::string& port, const std::string& image_path);

// The case as vexlor-sim's --fault takes it, on its occurrence in the run.
std::string fault_option(const fault_case& c);

// Names a case in test output.
void PrintTo(const fault_case& c, std::ostream* out);

struct fault_wire {
  // Everything the host sends; up to the spoiled answer when the run fails.
  std::vector<uint8_t> sent;
  std::size_t answered = 0;  // how many of those bytes the spoiled answer answers
};
fault_wire fault_conversation(const fault_case& c, const std::vector<uint8_t>& image);

// The programmer's whole console for a run of the fault image with --write
// and --verify, without its reason lines.
std::string fault_run_console(const fault_case& c);

// The one reason line the run prints for the case (without its indent), and
// the phase that --json names for it; empty for a case that succeeds.
// `line_gone` false: the platform reads a vanished line as silence.
std::string fault_reason(const fault_case& c, bool line_gone = true);

// Every reason line of the case's run: the warning before the handshake
// that sector 0's bytes before the image are erased, then its reason.
std::vector<std::string> fault_reason_lines(const fault_case& c, bool line_gone = true);
std::string fault_phase(const fault_case& c);
