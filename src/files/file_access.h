// The file operations whose safe form differs by platform
// (file_access_posix.cpp, file_access_win32.cpp): a file whose every write
// lands whole at its end whatever else appends to it, a file made under a
// name that nothing holds yet and renamed into place, and the few reads,
// cuts and locks that mending a report takes. None of them is inherited by
// a process the tools start. Failures come as the system's words for them,
// lower case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct open_file;  // defined by the platform's file

// Opens `path` for appending, made as any new file is (the umask, the
// folder's default permissions) when it is not there. With `follow_links`
// false, a link at `path` is refused rather than followed. nullptr, and why,
// when it cannot be opened.
open_file* open_appending(const std::string& path, bool follow_links, std::string& why);

// Makes `path` as a new, empty file for writing and reading. Anything at
// `path` already, a link to elsewhere or one that leads nowhere included,
// makes it fail with `taken` set. A `scratch` file has no name once made:
// it goes with its last handle.
open_file* create_new_file(const std::string& path, bool scratch, bool& taken, std::string& why);

// Opens what is at `path` (a FIFO, a terminal: no regular file) to be
// written to as it is: not made, not cut. A FIFO with no reader is refused
// rather than waited for.
open_file* open_existing_for_writing(const std::string& path, std::string& why);

// Whether the file is a regular one, whose size and bytes can be read.
bool is_regular(const open_file& file);

// Holds the file against every other station's lock_file until
// unlock_file: one mends and appends while the others wait.
void lock_file(open_file& file);
void unlock_file(open_file& file);

// Size and bytes of a regular file; false, and why, when they cannot be had.
bool file_size(const open_file& file, uint64_t& size, std::string& why);
bool read_at(const open_file& file, uint64_t offset, char* bytes, std::size_t count,
             std::string& why);

// Cuts a regular file back to `size` bytes.
bool cut_file(open_file& file, uint64_t size, std::string& why);

// One write of `bytes`: at the end of an appending file, else where the
// last one ended. Returns how many went in, which a full disk or a signal
// may make fewer; -1, and why, when none did.
long long write_once(open_file& file, std::string_view bytes, std::string& why);

// Every byte of `bytes`, in as many writes as it takes; false, and why,
// when one takes nothing (a full disk says so this way) or fails.
bool write_all(open_file& file, std::string_view bytes, std::string& why);

// Has the file's bytes reach the disk before a rename makes them the file.
bool flush_to_disk(open_file& file, std::string& why);

// Closes the file; false, and why, when what was written may not have been
// kept (a network file system says so only here). nullptr does nothing.
bool close_file(open_file* file, std::string& why);

// Gives the file at `fresh` the name `path`. With `replace` whatever file
// has that name is replaced; without it, one there (made meanwhile by
// another program) is left as it is and this fails with `taken` set.
bool put_in_place(const std::string& fresh, const std::string& path, bool replace, bool& taken,
                  std::string& why);

// What tells one file from another, whatever its name: its device and
// inode (POSIX), its volume and file index (Windows).
struct file_identity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const file_identity&) const = default;
};

// The identity of the file at `path`, links followed; false when there is
// none there.
bool identity_of(const std::string& path, file_identity& identity);

// Removes the file at `path`, if it can.
void remove_file(const std::string& path);

// The system's words for a full disk, for a write that took nothing.
std::string no_space_words();

// Closes a file of which nothing more is to be said, and forgets it.
inline void let_go(open_file*& file) {
  std::string unused;
  close_file(file, unused);
  file = nullptr;
}
