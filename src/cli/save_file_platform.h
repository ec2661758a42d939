// What saving a file whole takes of the platform: one implementation each
// (save_file_posix.cpp, save_file_win32.cpp), chosen by the build; the
// steps in their order are save_file.cpp's.
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct fresh_file;  // defined by the platform's file

// Makes a new file under a fresh name beside `path` (one nothing holds yet,
// so that nothing else is ever written to), its name in `fresh`. nullptr,
// and why, when none can be made.
fresh_file* open_fresh_file(const std::string& path, std::string& fresh, std::string& why);

// Writes every byte, has them reach the disk, and closes the file, whether
// or not that went well; false, and why, when it did not.
bool write_and_close(fresh_file* file, std::span<const uint8_t> bytes, std::string& why);

// Gives the fresh file the name `path`. Without `replace`, a file of that
// name (made meanwhile by another program) is left as it is and this fails.
bool put_in_place(const std::string& fresh, const std::string& path, bool replace,
                  std::string& why);

void remove_fresh_file(const std::string& fresh);
