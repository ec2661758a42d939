#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "cli/save_file.h"
#include "cli/save_file_platform.h"

struct fresh_file {
  HANDLE handle;
};

namespace {

// Fresh names tried before giving up.
constexpr int fresh_name_tries = 100;

// The most one WriteFile takes.
constexpr std::size_t largest_write = 1u << 30;

std::string windows_words(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "no space left on the disk";
    case ERROR_PATH_NOT_FOUND:
      return "no such folder";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "windows error %lu", static_cast<unsigned long>(code));
      return text;
    }
  }
}

bool write_whole(HANDLE file, std::span<const uint8_t> bytes, std::string& why) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size() - done, largest_write));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      why = "cannot write the file: " + windows_words(GetLastError());
      return false;
    }
    done += written;
  }
  // On the disk before it takes the name.
  if (!FlushFileBuffers(file)) {
    why = "cannot write the file: " + windows_words(GetLastError());
    return false;
  }
  return true;
}

}  // namespace

fresh_file* open_fresh_file(const std::string& path, std::string& fresh, std::string& why) {
  for (int i = 0; i < fresh_name_tries; ++i) {
    fresh = fresh_file_name(path, GetCurrentProcessId(), i);
    // CREATE_NEW fails when the name exists; no one else may open it meanwhile.
    const HANDLE file = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return new fresh_file{file};
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      why = "cannot make a file in its folder: " + windows_words(error);
      return nullptr;
    }
  }
  why = "cannot make a file in its folder: every fresh name is taken";
  return nullptr;
}

bool write_and_close(fresh_file* file, std::span<const uint8_t> bytes, std::string& why) {
  const bool ok = write_whole(file->handle, bytes, why);
  CloseHandle(file->handle);
  delete file;
  return ok;
}

bool put_in_place(const std::string& fresh, const std::string& path, bool replace,
                  std::string& why) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that exists,
  // in one step: a file made there meanwhile is never overwritten.
  const DWORD how = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExA(fresh.c_str(), path.c_str(), how)) return true;
  const DWORD error = GetLastError();
  why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
            ? "a file of that name appeared meanwhile; it is left as it is"
            : "cannot give the file its name: " + windows_words(error);
  return false;
}

void remove_fresh_file(const std::string& fresh) { DeleteFileA(fresh.c_str()); }
