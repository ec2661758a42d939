// Files the station writes whole at the end (--junit). Such a file is made
// under a fresh name beside its place, which nothing can hold already (a
// link left there, another station's file in the making), and renamed over
// its place once complete: a reader never finds half a file, and nothing
// standing at an old name is followed. A FIFO or a terminal (/dev/stdout)
// is written to as it is; a link to a file stays, and the file it leads to
// is replaced.
#pragma once

#include <string>
#include <string_view>

#include "file_access.h"

struct whole_file_place {
  std::string path;       // the file to replace (a link's target), or the FIFO or terminal
  bool straight = false;  // written to as it is: no fresh name, no rename
};

// Where the file named `path` goes. False, and why, for a path that cannot
// take it: a folder, a link that leads nowhere, a block device.
bool whole_file_place_of(const std::string& path, whole_file_place& place, std::string& why);

// Makes a new file in `folder` under a fresh name that nothing holds; `made`
// gets its path. A `scratch` file has no name once made (see
// create_new_file).
open_file* create_fresh_file(const std::string& folder, const std::string& stem, bool scratch,
                             std::string& made, std::string& why);

// Whether two paths name one file: the same device and inode where both
// are there, else the same path once made absolute and its links followed.
bool same_file(const std::string& a, const std::string& b);

// The folder that a place's fresh file is made in.
std::string folder_of(const std::string& path);

struct whole_file {
  whole_file_place place;
  open_file* file = nullptr;
  std::string fresh;  // its fresh name, renamed over the place at the end
};

// Begins the file: its fresh name made, or the FIFO or terminal opened.
bool whole_file_begin(const whole_file_place& place, whole_file& out, std::string& why);

// Every byte of `bytes`, in as many writes as it takes.
bool write_all(open_file& file, std::string_view bytes, std::string& why);

// Ends the file: on the disk and renamed over its place. When `complete` is
// false, or anything fails, the fresh file goes and the place is left as it
// was.
bool whole_file_end(whole_file& file, bool complete, std::string& why);
