// Windows: a user's local application data, where caches go there.
#include <cstdlib>
#include <string>

#include "board_cache/board_cache.h"

std::string default_cache_folder(const std::string& name) {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || *local == '\0') return {};
  return std::string(local) + "\\" + name;
}
