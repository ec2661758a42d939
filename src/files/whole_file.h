// A file made whole or not at all: its bytes go into a fresh file beside
// the one named, under a name nothing holds yet (a link left there, another
// program's file in the making), and that file takes the name only once
// every byte is written and on the disk. A reader, a backup script or a
// crash never finds half a file under the name. vexlor-prog's --save, the
// station's JUnit report and spool, and the simulator's --dump write their
// files this way; each words a failure its own way, from the step that
// failed and the system's words for why.
//
// What stands at the name decides where the bytes go: a link to a file
// stays, and the file it leads to is replaced; a FIFO or a terminal
// (/dev/stdout) is written to as it is, with no fresh name and no rename; a
// folder, a link that leads nowhere, a block device or a socket takes no
// file at all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "files/file_access.h"

// The step of making a file whole that failed.
enum class file_step {
  place,   // what stands at the name takes no file (`words` says what it is)
  make,    // no fresh file could be made beside it
  write,   // writing its bytes, or having them reach the disk
  rename,  // giving the fresh file the name
  exists,  // without replace: a file of that name appeared meanwhile
};

struct file_failure {
  file_step step = file_step::write;
  std::string words;  // the system's words for why, or what stands at the name
};

struct whole_file_place {
  std::string path;       // the file to replace (a link's target), or the FIFO or terminal
  bool straight = false;  // written to as it is: no fresh name, no rename
};

// Where a file named `path` goes; false for a path that can take none.
bool whole_file_place_of(const std::string& path, whole_file_place& place, file_failure& failure);

struct whole_file {
  whole_file_place place;
  open_file* file = nullptr;
  std::string fresh;  // its fresh name, renamed over the place at the end
};

// Begins the file: its fresh name made, or the FIFO or terminal opened.
bool whole_file_begin(const whole_file_place& place, whole_file& out, file_failure& failure);

// Every byte of `bytes`, in as many writes as it takes.
bool whole_file_write(whole_file& file, std::string_view bytes, file_failure& failure);

// Ends the file: on the disk and given its name. With `replace` a file of
// that name is replaced; without it, one that exists by then (made
// meanwhile by another program) is left as it is and this fails. When
// `complete` is false, or anything fails, the fresh file goes and whatever
// stood at the name is left as it was.
bool whole_file_end(whole_file& file, bool complete, bool replace, file_failure& failure);

// All of the above for bytes at hand.
bool write_whole_file(const std::string& path, std::span<const uint8_t> bytes, bool replace,
                      file_failure& failure);

// Makes a new file in `folder` under a fresh name that nothing holds:
// ".STEM.XXXXXXXX.part", hidden from a listing; `made` gets its path. A
// `scratch` file has no name once made (see create_new_file).
open_file* create_fresh_file(const std::string& folder, const std::string& stem, bool scratch,
                             std::string& made, std::string& why);

// Whether two paths name one file: the same device and inode where both
// are there, else the same path once made absolute and its links followed.
bool same_file(const std::string& a, const std::string& b);

// The folder a file at `path` lies in: "." for a bare name.
std::string folder_of(const std::string& path);
