// POSIX: the XDG base directory rules, where a relative $XDG_CACHE_HOME is
// to be ignored.
#include <cstdlib>
#include <string>

#include "board_cache/board_cache.h"

namespace {

std::string set_and_not_empty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string default_cache_folder(const std::string& name) {
  const std::string cache = set_and_not_empty("XDG_CACHE_HOME");
  if (cache.starts_with("/")) return cache + "/" + name;
  const std::string home = set_and_not_empty("HOME");
  if (home.empty()) return {};
  return home + "/.cache/" + name;
}
