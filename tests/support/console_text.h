// The programmer's console texts, as the tests and the fuzzers expect them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline const std::string banner = "vexlor prog v1.0\n\n";
inline const std::string ok_tail = "\b\b - OK  \n";
inline const std::string error_tail = "\b\b - error\n";
inline const std::string handshake_ok = "initializing device.." + ok_tail;
inline const std::string handshake_error = "initializing device.." + error_tail;
inline const std::string done_ok = "done without errors..\n\n";
inline const std::string done_error = "done with 1 error(s)..\n\n";

// The line of a transfer of `size` bytes ("writting" or "reading") that got
// `blocks` blocks of 256 bytes through and then ended, well or not: "  0%" at
// the start, the share done after each block, the tail.
std::string transfer_line(const std::string& verb, std::size_t size, std::size_t blocks, bool ok);

// The line of a transfer that went through whole.
std::string transfer_ok(const std::string& verb, std::size_t size);

// A console without its reason lines: every line that begins with two
// spaces and a letter or a hyphen, which is how the tool says why something
// failed or warns.
std::string without_reasons(const std::string& console);

// The reason lines alone, without their indent.
std::vector<std::string> reason_lines(const std::string& console);
