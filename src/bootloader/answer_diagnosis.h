// What came back when the start byte got no acknowledge, told in the one
// reason line of a failed handshake: a board wired otherwise, a line that
// echoes, a board running its application and a wrong baud rate each leave
// their own trace, and each sends the user to a different fix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bootloader/bootloader.h"

// After a byte that failed the acknowledge rule the run listens on, sending
// nothing, for at most this many bytes more.
inline constexpr std::size_t answer_listen_bytes = 64;

// What the board sends after a byte that failed the acknowledge rule, until
// the line has been quiet for about 100 ms or answer_listen_bytes have come.
std::vector<uint8_t> listen_after_answer(port_handle port);

// The reason a start handshake failed, one lower-case line of at most 100
// characters. `why` is what the acknowledge rule saw (the byte that failed
// it, or silence), `after` what arrived after that byte, `sent` the start
// byte. `tried`: the attempts the run made, past one counted at the start of
// the line ("tried 3 times: "); `allowed`: those it could make, past one
// silence no longer sends the user to --connect-attempts.
std::string diagnose_start_answer(const exchange_failure& why, std::span<const uint8_t> after,
                                  uint8_t sent, int tried = 1, int allowed = 1);
