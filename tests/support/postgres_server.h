// A PostgreSQL server of a test's own, from Debian's postgresql package:
// made with initdb in a fresh folder, reached through a Unix socket in that
// folder only (no TCP), run by an unprivileged user (the package's
// `postgres` when the tests run as root), stopped and removed at the end.
#pragma once

#include <string>

struct postgres_server {
  std::string dir;         // its data, log and socket
  std::string bin;         // the package's programs: initdb, pg_ctl, createdb
  std::string run_as;      // the user it runs as, when this process is root
  std::string socket_dir;  // where its socket is
};

// False, and why, when the package is not installed or the server did not
// start.
bool postgres_start(postgres_server& server, std::string& why);

// Makes a database of its own for one test case; returns its connection
// URI (postgresql://...).
std::string postgres_database(const postgres_server& server, const std::string& name);

// Stops the server (as a machine that goes down does: at once) and starts
// it again, its data kept; false, and why, when it did not start.
void postgres_halt(const postgres_server& server);
bool postgres_start_again(const postgres_server& server, std::string& why);

// Stops the server at once and removes its folder.
void postgres_stop(postgres_server& server);
