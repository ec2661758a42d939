// The pseudo-terminal the programmer opens as its serial port, and the
// optional symlink that gives it a stable name.
#pragma once

#include <string>

struct pty_link {
  int master = -1;  // non-blocking; the sim never keeps the slave open
  std::string slave_path;
  std::string link_path;  // empty: no symlink made
};

// Opens the pair, leaves the line raw for the first opener and closes the
// slave so that an open by the programmer can be told from no open at all.
bool pty_create(pty_link& link, std::string& error);

// Points `path` at the slave, replacing a symlink already there (a stale one
// from an earlier run) but never any other kind of file.
bool pty_make_symlink(pty_link& link, const std::string& path, std::string& error);

// True while nobody has the slave open.
bool pty_hung_up(int master);

// Closes the master, which makes the slave fail for whoever has it open.
void pty_close_master(pty_link& link);

// Removes the symlink if it still points at this sim's slave.
void pty_remove_symlink(pty_link& link);
