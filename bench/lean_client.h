// The fastest a host can go over this line: the same exchanges as the tool's
// --write --verify run, each answer waited for, with nothing else between
// them (no console, no time-out bookkeeping). Its figures are the floor that
// the simulator and the pty impose; what the tool spends above it is its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Seconds from the first erase byte to the last byte read back (the
// handshake comes before and is not timed); 0 when the run failed.
double lean_write_verify(const std::string& sim_path, uint32_t baud, uint32_t address,
                         const std::vector<uint8_t>& image);
