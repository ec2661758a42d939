#include "recorder_words.h"

#include <sys/un.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace {

// A word as a POSIX shell reads it back unchanged: bare when it holds
// nothing the shell treats specially, else in single quotes.
std::string shell_word(std::string_view text) {
  constexpr std::string_view plain = "_-./:=@%+,";
  bool bare = !text.empty();
  for (char c : text) {
    const bool letter_or_digit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    bare = bare && (letter_or_digit || plain.find(c) != std::string_view::npos);
  }
  if (bare) return std::string(text);
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string line_recorder_path() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return VEXLOR_RECORDER_INSTALLED;
  if (fs::equivalent(self, VEXLOR_SIM_BUILT, error)) return VEXLOR_RECORDER_BUILT;
  return (self.parent_path() / VEXLOR_RECORDER_FROM_BIN).lexically_normal().string();
}

std::string recorder_words(const std::string& recorder, const std::string& socket) {
  std::error_code error;
  std::string socket_path = std::filesystem::absolute(socket, error).lexically_normal().string();
  if (error || socket_path.size() >= sizeof(sockaddr_un{}.sun_path)) socket_path = socket;
  return "env LD_PRELOAD=" + shell_word(recorder) + " VEXLOR_LINES_TO=" + shell_word(socket_path);
}
