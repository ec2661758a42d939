#include "support/postgres_server.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "support/process.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

// initdb and a first start take a few seconds; a loaded machine, more.
constexpr double server_step_timeout_s = 120;
constexpr const char* superuser = "vexlor";

// The package's newest programs: /usr/lib/postgresql/VERSION/bin.
std::string package_bin() {
  std::string newest;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    const fs::path bin = entry.path() / "bin";
    if (fs::exists(bin / "initdb") && bin.string() > newest) newest = bin.string();
  }
  return newest;
}

process_result run_as_server_user(const postgres_server& server, std::vector<std::string> argv) {
  if (!server.run_as.empty()) {
    argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", server.run_as, "--"});
  }
  return run_process(argv, "", {}, server_step_timeout_s, child_output::captured);
}

}  // namespace

bool postgres_start(postgres_server& server, std::string& why) {
  server.bin = package_bin();
  if (server.bin.empty()) {
    why = "Debian's postgresql package is not installed (apt-get install postgresql)";
    return false;
  }
  server.dir = make_test_dir();
  server.socket_dir = server.dir;
  if (geteuid() == 0) {
    // initdb refuses root; the package made a system user for the server.
    const passwd* user = getpwnam("postgres");
    if (user == nullptr) {
      why = "running as root, and there is no postgres user to run the server as";
      return false;
    }
    server.run_as = "postgres";
    if (chown(server.dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
      why = "cannot give " + server.dir + " to the postgres user";
      return false;
    }
  }
  const std::string data = server.dir + "/data";
  const process_result made =
      run_as_server_user(server, {server.bin + "/initdb", "-D", data, "-U", superuser, "-A",
                                  "trust", "-E", "UTF8", "--locale=C", "--no-sync"});
  if (made.exit_code != 0) {
    why = "initdb failed: " + made.out;
    return false;
  }
  // No TCP at all: the socket in the test's folder is the only way in.
  std::ofstream(data + "/postgresql.conf", std::ios::app)
      << "listen_addresses = ''\nunix_socket_directories = '" << server.socket_dir
      << "'\nfsync = off\n";
  const process_result started =
      run_as_server_user(server, {server.bin + "/pg_ctl", "-D", data, "-l",
                                  server.dir + "/server.log", "-w", "-t", "120", "start"});
  if (started.exit_code != 0) {
    std::ifstream log(server.dir + "/server.log");
    why = "the server did not start: " + started.out +
          std::string(std::istreambuf_iterator<char>(log), {});
    return false;
  }
  return true;
}

std::string postgres_database(const postgres_server& server, const std::string& name) {
  const process_result made =
      run_process({server.bin + "/createdb", "-h", server.socket_dir, "-U", superuser, name}, "",
                  {}, server_step_timeout_s);
  if (made.exit_code != 0) throw std::runtime_error("createdb " + name + ": " + made.out);
  return "postgresql:///" + name + "?host=" + server.socket_dir + "&user=" + superuser;
}

void postgres_halt(const postgres_server& server) {
  run_as_server_user(server, {server.bin + "/pg_ctl", "-D", server.dir + "/data", "-m", "immediate",
                              "-w", "stop"});
}

bool postgres_start_again(const postgres_server& server, std::string& why) {
  const process_result started =
      run_as_server_user(server, {server.bin + "/pg_ctl", "-D", server.dir + "/data", "-l",
                                  server.dir + "/server.log", "-w", "-t", "120", "start"});
  why = started.out;
  return started.exit_code == 0;
}

void postgres_stop(postgres_server& server) {
  if (server.dir.empty()) return;
  if (fs::exists(server.dir + "/data/postmaster.pid")) {
    run_as_server_user(server, {server.bin + "/pg_ctl", "-D", server.dir + "/data", "-m",
                                "immediate", "-w", "stop"});
  }
  std::error_code ignored;
  fs::remove_all(server.dir, ignored);
  server.dir.clear();
}
