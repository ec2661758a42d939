#include <windows.h>

#include <cstdlib>
#include <string>

#include "runs/host.h"

std::string host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

bool station_running(int64_t pid) {
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

int64_t own_process() { return GetCurrentProcessId(); }

std::string own_folder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  const std::string self(path, length);
  const std::size_t slash = self.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

std::string programmer_file_name() { return "vexlor-prog.exe"; }

bool is_executable(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string last_system_error() {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

std::string find_on_path(const std::string& file) {
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "";
  for (std::size_t start = 0; start < folders.size();) {
    std::size_t end = folders.find(';', start);
    if (end == std::string::npos) end = folders.size();
    if (end > start) {
      const std::string candidate = folders.substr(start, end - start) + "\\" + file;
      if (is_executable(candidate)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

// The live view moves the cursor with the terminal sequences that consoles
// take once asked to (Windows 10 on); a console that refuses gets the plain
// result lines, as a pipe does.
std::optional<terminal_size> output_terminal() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return std::nullopt;
  constexpr DWORD virtual_terminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  if ((mode & virtual_terminal) == 0 && !SetConsoleMode(output, mode | virtual_terminal)) {
    return std::nullopt;
  }
  terminal_size size;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(output, &info)) {
    size.columns = info.srWindow.Right - info.srWindow.Left + 1;
    size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
  return size;
}
