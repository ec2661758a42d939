// What the station needs to know of the machine it runs on. One
// implementation per platform (host_posix.cpp, host_win32.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The machine's name, for the record of each board.
std::string host_name();

// Whether process `pid` of this machine still runs as a station: running,
// and (where the system says) the same program as this one, so that a
// number taken by a station that died is not held for ever by whatever
// process has its number since. True for this process.
bool station_running(int64_t pid);

// This process's number.
int64_t own_process();

// The folder of the station's own executable; empty when it cannot be told.
std::string own_folder();

// The programmer's file name on this platform: vexlor-prog, vexlor-prog.exe.
std::string programmer_file_name();

bool is_executable(const std::string& path);

// The system's words for why its last call failed (errno, GetLastError).
std::string last_system_error();

// The first folder on PATH that holds an executable `file`, joined with it;
// empty when none does.
std::string find_on_path(const std::string& file);

struct terminal_size {
  int columns = 80;
  int rows = 24;
};

// Standard output as a terminal the live view can redraw in place, with its
// size; nullopt for a pipe, a file, or a console that cannot move its cursor.
std::optional<terminal_size> output_terminal();
