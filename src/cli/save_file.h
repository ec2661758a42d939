// A file made whole or not at all, for --save: the bytes go into a fresh
// file beside the one named, which takes its name only once every byte is
// written and on the disk. A reader, a backup script or a crash never sees
// half a file under that name. One implementation per platform
// (save_file_posix.cpp, save_file_win32.cpp), chosen by the build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

// Writes `bytes` to `path`. With `replace`, a file of that name is
// replaced; without it, one that exists when the bytes are ready (another
// program made it meanwhile) is left as it is and the save fails. The new
// file gets the permissions any new file gets there. False, with one
// lower-case line in `why`, and no file left behind, neither under `path`
// nor the fresh one.
bool save_file_whole(const std::string& path, std::span<const uint8_t> bytes, bool replace,
                     std::string& why);

// Where the bytes wait until they are whole: ".NAME.PROCESS-ATTEMPT.part"
// beside the file, hidden from a listing and on the same file system, so
// that the rename that ends the save is one step that happens or does not.
inline std::string fresh_file_name(const std::string& path, unsigned long process, int attempt) {
  const std::filesystem::path target(path);
  std::string name = ".";
  name += target.filename().string();
  name += '.';
  name += std::to_string(process);
  name += '-';
  name += std::to_string(attempt);
  name += ".part";
  return (target.parent_path() / name).string();
}
