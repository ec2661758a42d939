// Windows: handles that no run inherits; appends through an OVERLAPPED
// offset of all ones, which the system places whole at the end of the file
// as it does for FILE_APPEND_DATA; a name nothing holds through CREATE_NEW;
// and, between stations, a lock on one byte far past any report's end, so
// that readers of the file's bytes are never kept out.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "files/file_access.h"

struct open_file {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool appending = false;  // a disk file each write goes to the end of
};

namespace {

constexpr DWORD at_end_of_file = 0xFFFFFFFF;  // both halves of the offset: append
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

// The system's words for an error, lower case as every reason line of the
// tools: the usual ones as the POSIX build says them, the rest as Windows
// words them.
std::string windows_words(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "no space left on device";
    case ERROR_PATH_NOT_FOUND:
      return "no such file or directory";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "file exists";
    default:
      break;
  }
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string words = text;
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.' ||
                            words.back() == ' ')) {
    words.pop_back();
  }
  if (words.empty()) {
    std::snprintf(text, sizeof text, "windows error %lu", static_cast<unsigned long>(code));
    words = text;
  }
  for (char& c : words) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return words;
}

std::string last_system_error() { return windows_words(GetLastError()); }

open_file* opened(HANDLE handle, bool appending, std::string& why) {
  if (handle == INVALID_HANDLE_VALUE) {
    why = last_system_error();
    return nullptr;
  }
  // Only a disk file has an end to write at; a handle's type never changes,
  // so it is asked once, not at every write.
  return new open_file{handle, appending && GetFileType(handle) == FILE_TYPE_DISK};
}

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED place{};
  place.Offset = static_cast<DWORD>(offset);
  place.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return place;
}

}  // namespace

open_file* open_appending(const std::string& path, bool, std::string& why) {
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = CreateFileA(path.c_str(), GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return opened(handle, true, why);
}

open_file* create_new_file(const std::string& path, bool scratch, bool& taken, std::string& why) {
  const DWORD attributes =
      scratch ? FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL;
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, CREATE_NEW, attributes, nullptr);
  const DWORD error = GetLastError();
  taken = handle == INVALID_HANDLE_VALUE &&
          (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
  return opened(handle, false, why);
}

open_file* open_existing_for_writing(const std::string& path, std::string& why) {
  return opened(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                false, why);
}

bool is_regular(const open_file& file) { return GetFileType(file.handle) == FILE_TYPE_DISK; }

void lock_file(open_file& file) {
  OVERLAPPED place{};
  place.Offset = MAXDWORD;
  place.OffsetHigh = lock_offset_high;
  LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place);
}

void unlock_file(open_file& file) {
  OVERLAPPED place{};
  place.Offset = MAXDWORD;
  place.OffsetHigh = lock_offset_high;
  UnlockFileEx(file.handle, 0, 1, 0, &place);
}

bool file_size(const open_file& file, uint64_t& size, std::string& why) {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(file.handle, &bytes)) {
    why = last_system_error();
    return false;
  }
  size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

bool read_at(const open_file& file, uint64_t offset, char* bytes, std::size_t count,
             std::string& why) {
  std::size_t got = 0;
  while (got < count) {
    OVERLAPPED place = at(offset + got);
    DWORD n = 0;
    if (!ReadFile(file.handle, bytes + got, static_cast<DWORD>(count - got), &n, &place) ||
        n == 0) {
      why = n == 0 ? "the file is shorter than it was" : last_system_error();
      return false;
    }
    got += n;
  }
  return true;
}

bool cut_file(open_file& file, uint64_t size, std::string& why) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(file.handle, FileEndOfFileInfo, &end, sizeof end)) return true;
  why = last_system_error();
  return false;
}

long long write_once(open_file& file, std::string_view bytes, std::string& why) {
  OVERLAPPED end{};
  end.Offset = end.OffsetHigh = at_end_of_file;
  DWORD written = 0;
  if (!WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                 file.appending ? &end : nullptr) &&
      written == 0) {
    why = last_system_error();
    return -1;
  }
  return written;
}

bool flush_to_disk(open_file& file, std::string& why) {
  if (FlushFileBuffers(file.handle)) return true;
  why = last_system_error();
  return false;
}

bool close_file(open_file* file, std::string& why) {
  if (file == nullptr) return true;
  const bool closed = CloseHandle(file->handle);
  if (!closed) why = last_system_error();
  delete file;
  return closed;
}

bool put_in_place(const std::string& fresh, const std::string& path, bool replace, bool& taken,
                  std::string& why) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that exists,
  // in one step: a file made there meanwhile is never overwritten.
  const DWORD how = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExA(fresh.c_str(), path.c_str(), how)) return true;
  const DWORD error = GetLastError();
  taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
  why = windows_words(error);
  return false;
}

bool identity_of(const std::string& path, file_identity& identity) {
  // No access asked: only what the file system knows of it is read.
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE handle = CreateFileA(path.c_str(), 0, sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) return false;
  identity = {
      information.dwVolumeSerialNumber,
      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
  return true;
}

void remove_file(const std::string& path) { DeleteFileA(path.c_str()); }

std::string no_space_words() { return windows_words(ERROR_DISK_FULL); }
