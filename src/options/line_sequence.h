// --enter and --leave: the control-line steps that open and close a run,
// spelt as words (R0,D1,D0,W10).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/line_steps.h"

inline constexpr unsigned max_line_wait_ms = 10'000;

// The sequences of a run that is not told otherwise: clear RTS, pulse DTR,
// 10 ms for the boot loader to start; then set RTS and pulse DTR at the end.
inline constexpr std::string_view default_enter_sequence = "R0,D1,D0,W10";
inline constexpr std::string_view default_leave_sequence = "R1,D1,D0";

// Reads a sequence: steps separated by commas, no spaces. R1 sets RTS, R0
// clears it, D1 sets DTR, D0 clears it, W<ms> waits 0 to 10000 ms; the
// single word "none" is no step at all. Anything else is refused: nullopt,
// and `why` names the bad step (as printable ASCII, whatever it holds).
std::optional<std::vector<line_step>> parse_line_sequence(std::string_view text, std::string& why);

// The steps of one of the defaults above.
std::vector<line_step> default_line_steps(std::string_view text);
