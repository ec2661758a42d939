#include "cli/save_file.h"

#include "cli/save_file_platform.h"

bool save_file_whole(const std::string& path, std::span<const uint8_t> bytes, bool replace,
                     std::string& why) {
  std::string fresh;
  fresh_file* file = open_fresh_file(path, fresh, why);
  if (file == nullptr) return false;
  const bool saved = write_and_close(file, bytes, why) && put_in_place(fresh, path, replace, why);
  if (!saved) remove_fresh_file(fresh);
  return saved;
}
