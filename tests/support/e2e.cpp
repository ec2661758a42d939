#include "support/e2e.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string g_last_port;

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string make_test_dir() {
  static std::atomic<int> counter{0};
  const fs::path dir = fs::temp_directory_path() / ("vexlor-test-" + std::to_string(getpid()) +
                                                    "-" + std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

sim_target start_sim(const std::string& dir, const std::vector<std::string>& args) {
  sim_target sim;
  sim.log_path = dir + "/sim.log";
  fs::remove(sim.log_path);  // the simulator appends; each run gets its own log
  std::vector<std::string> argv = {VEXLOR_SIM_PATH, "--once", "--log", sim.log_path,
                                   "--max-seconds", "60"};
  argv.insert(argv.end(), args.begin(), args.end());
  sim.process = start_process(argv, dir, {});
  sim.pty_path = read_line(sim.process, 5);
  if (sim.pty_path.empty()) throw std::runtime_error("vexlor-sim printed no pty path");
  return sim;
}

int finish_sim(sim_target& sim) { return wait_process(sim.process, 10); }

std::vector<sim_event> read_sim_log(const std::string& path) {
  std::vector<sim_event> log;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    sim_event event;
    fields >> event.t >> event.kind;
    std::getline(fields, event.text);
    if (!event.text.empty() && event.text[0] == ' ') event.text.erase(0, 1);
    if (event.kind == "rx" || event.kind == "tx") {
      std::istringstream hex(event.text);
      std::string byte;
      while (hex >> byte) event.bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    log.push_back(event);
  }
  return log;
}

std::vector<uint8_t> bytes_received(const std::vector<sim_event>& log) {
  std::vector<uint8_t> bytes;
  for (const sim_event& e : log) {
    if (e.kind == "rx") bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
  }
  return bytes;
}

double first_byte_to_close(const std::vector<sim_event>& log) {
  double first = -1;
  for (const sim_event& e : log) {
    if (e.kind == "rx" && first < 0) first = e.t;
    if (e.kind == "close" && first >= 0) return e.t - first;
  }
  return -1;
}

bool running_under_wine() { return env_or("VEXLOR_TARGET", "native") == "wine"; }

process_result run_programmer(const std::string& dir, std::vector<std::string> args,
                              const std::string& pty_path,
                              const std::vector<std::string>& env_extra) {
  const bool wine = running_under_wine();
  std::string port = pty_path;
  std::vector<std::string> env = env_extra;
  if (wine) {
    // Each test process gets its own COM number, two digits or more, so
    // parallel tests never share a mapping and the \\.\ form is exercised.
    const std::string prefix = env_or("WINEPREFIX", "");
    const int number = 10 + static_cast<int>(getpid() % 200);
    port = "COM" + std::to_string(number);
    if (!pty_path.empty()) {
      const fs::path link = fs::path(prefix) / "dosdevices" / ("com" + std::to_string(number));
      fs::remove(link);
      fs::create_symlink(pty_path, link);
    }
    env.push_back("WINEDEBUG=-all");
  }
  g_last_port = port;
  for (std::string& a : args) {
    if (a == "@PORT") a = port;
  }
  std::vector<std::string> argv;
  if (wine) {
    argv = {env_or("VEXLOR_WINE", "/usr/bin/wine"), VEXLOR_PROG_EXE_PATH};
  } else {
    argv = {VEXLOR_PROG_PATH};
  }
  argv.insert(argv.end(), args.begin(), args.end());
  process_result result = run_process(argv, dir, env, wine ? 120 : 60, wine);
  if (wine) {
    std::string normalised;
    for (std::size_t i = 0; i < result.out.size(); ++i) {
      if (result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n') continue;
      normalised += result.out[i];
    }
    result.out = normalised;
  }
  return result;
}

std::string last_port_name() { return g_last_port; }

std::vector<std::string> line_recorder_env(const std::string& log_path) {
  return {"LD_PRELOAD=" VEXLOR_LINE_RECORDER_PATH, "VEXLOR_LINE_LOG=" + log_path};
}

std::vector<std::string> line_requests(const std::string& log_path) {
  std::vector<std::string> requests;
  std::ifstream in(log_path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double t = 0;
    std::string what;
    fields >> t;
    std::getline(fields >> std::ws, what);
    if (!what.starts_with("write")) requests.push_back(what);
  }
  return requests;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}
