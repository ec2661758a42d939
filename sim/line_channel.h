// The host's control-line changes, on a side channel (--lines-from PATH): a
// pseudo-terminal carries no modem lines, so a host that wants the simulator
// to see RTS and DTR tells it over a Unix socket at PATH. The tests' preload
// library does so for the real programmer.
//
// A change must land among the bytes where the host made it. A byte written
// to a pty reaches the simulator a moment later, so the order in which the
// two arrive proves nothing: each change carries the count of bytes the host
// had written to the port before it, and the simulator takes the change only
// once it has received that many (counted from the open, as its session is).
// The host waits for the simulator's acknowledge before it goes on, so no
// byte written after the change can overtake it either. The change then
// happens at the later of the time the host made it and the time the last
// byte before it finished arriving.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board.h"

struct line_change_message {
  line_level change;
  int64_t at_ns = 0;          // CLOCK_MONOTONIC, when the host made the change
  uint64_t bytes_before = 0;  // bytes the host had written to the port by then
};

// What the simulator sends back once it has taken a change.
inline constexpr char line_change_taken = '.';

// One message: "R1 at NS after COUNT\n", R1 as in --wiring.
std::string line_change_text(const line_change_message& message);

// One message without its line break; nullopt when it is not one.
std::optional<line_change_message> parse_line_change(std::string_view text);

struct line_channel {
  int listener = -1;  // -1: no channel
  int host = -1;      // the host connected now; -1: none
  std::string path;
  std::string unread;  // what has come of messages not yet taken
};

// Listens at `path`, replacing a socket left there by an earlier run but no
// other kind of file.
bool line_channel_open(line_channel& channel, const std::string& path, std::string& error);
void line_channel_close(line_channel& channel);

// The descriptor to wait on for the next message; -1 when there is none.
int line_channel_fd(const line_channel& channel);

// Takes a host that connects, then its messages, without waiting: the next
// change once a whole message is in. A message that is not one is answered
// and dropped, so that its sender does not wait in vain.
std::optional<line_change_message> line_channel_read(line_channel& channel);

// Lets the host go on after its change.
void line_channel_acknowledge(line_channel& channel);

// The host's side. Connects to the simulator's channel at `path`; -1 when
// nothing listens there.
int line_channel_connect(const std::string& path);

// Tells the simulator of one change and waits until it has taken it, or
// `answer_ms` have passed (a simulator that died). False when it did not
// take the change.
bool line_channel_tell(int host, const line_change_message& message, int answer_ms);
