// What the board prints once the run has let it go, read from the port as
// lines: a line feed ends a line, a carriage return just before it is
// dropped. Output that ends no line (a prompt) is handed on once the line
// has been quiet for board_quiet_ms, so that it shows up too.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "serial/serial_port.h"

using board_clock = std::chrono::steady_clock;

inline constexpr auto board_quiet = std::chrono::milliseconds(100);

// A line longer than this is handed on in pieces of this length: a board
// that prints without line feeds (or at another rate) holds no more.
inline constexpr std::size_t board_line_most = 1024;

struct board_lines {
  port_handle port = nullptr;
  std::string line;        // the bytes since the last line feed, as they came
  std::size_t handed = 0;  // of them, those already handed on as a piece
  board_clock::time_point last_byte;
};

// A line the board printed, or a piece of one. Bytes as they came; the
// caller shows them through visible_text.
struct board_piece {
  std::string text;         // what is new: the line, or the piece not yet handed on
  bool line_ended = true;   // a line feed ended it
  std::string line_so_far;  // the whole line up to here, earlier pieces included
};

// Reads the board's bytes until it has printed a line or a quiet piece of
// one. Nullopt once `deadline` has passed, a stop was requested or the port
// has gone. Every wait is a read under the port's time-outs, so none
// outlasts the deadline by more than one read of a byte.
std::optional<board_piece> next_board_piece(board_lines& reader, board_clock::time_point deadline);

// The piece of a line not yet handed on (the board said it and no more),
// without a carriage return at its end.
std::string unhanded_text(const board_lines& reader);
