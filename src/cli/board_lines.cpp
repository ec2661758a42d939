#include "cli/board_lines.h"

#include <algorithm>
#include <cstdint>

#include "stop/stop_requests.h"

namespace {

// The end of the bytes that may be handed on: a carriage return at the end
// may be the one before a line feed still to come, which is dropped.
std::size_t handable_end(const std::string& line) {
  return !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
}

board_piece hand_on(board_lines& reader, std::size_t end, bool line_ended) {
  board_piece piece{.text = reader.line.substr(reader.handed, end - reader.handed),
                    .line_ended = line_ended,
                    .line_so_far = reader.line.substr(0, end)};
  reader.handed = end;
  if (line_ended || end >= board_line_most) {
    reader.line.clear();
    reader.handed = 0;
  }
  return piece;
}

}  // namespace

std::optional<board_piece> next_board_piece(board_lines& reader, board_clock::time_point deadline) {
  for (;;) {
    const auto now = board_clock::now();
    const std::size_t end = handable_end(reader.line);
    if (reader.handed < end && now - reader.last_byte >= board_quiet) {
      return hand_on(reader, end, false);
    }
    if (now >= deadline || stop_requested() || port_gone(reader.port)) return std::nullopt;
    // One byte a read: a read ends as soon as it has come, or after the
    // port's time-out for one byte, so that a line is handed on the moment
    // its line feed arrives and the deadline and the quiet are looked at
    // often.
    uint8_t byte = 0;
    if (port_read(reader.port, &byte, 1) == 0) continue;
    reader.last_byte = board_clock::now();
    if (byte == '\n') {
      return hand_on(reader, std::max(handable_end(reader.line), reader.handed), true);
    }
    reader.line.push_back(static_cast<char>(byte));
    if (reader.line.size() >= board_line_most) return hand_on(reader, reader.line.size(), false);
  }
}

std::string unhanded_text(const board_lines& reader) {
  const std::size_t end = handable_end(reader.line);
  return reader.handed < end ? reader.line.substr(reader.handed, end - reader.handed) : "";
}
