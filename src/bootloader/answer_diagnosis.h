// What came back when the start byte got no acknowledge, told in the one
// reason line of a failed handshake: a board wired otherwise, a line that
// echoes, a board running its application and a wrong baud rate each leave
// their own trace, and each sends the user to a different fix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "bootloader/bootloader.h"

// After a byte that failed the acknowledge rule the run listens on, sending
// nothing, with one read of at most this many bytes: it ends once the line
// has been quiet for the port's 100 ms interval.
inline constexpr std::size_t answer_listen_bytes = 64;

// Bytes from outside as printable ASCII, fit for a terminal: \r, \n, \t, \",
// \\ and \xHH stand for what is not printable as it is. Longer than `most`
// characters, it is cut, never inside an escape, and ends in "...".
std::string printable_ascii(std::span<const uint8_t> bytes, std::size_t most);

// The reason a start handshake failed, one lower-case line of at most 100
// characters. `why` is what the acknowledge rule saw (the byte that failed
// it, or silence), `after` what arrived after that byte, `sent` the start byte.
std::string diagnose_start_answer(const exchange_failure& why, std::span<const uint8_t> after,
                                  uint8_t sent);
