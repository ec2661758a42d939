#include "stop/stop_notes.h"

#include <atomic>

#include "stop/stop_requests.h"

namespace {

std::atomic<int> first_signal{0};
std::atomic<int> latest_signal{0};
std::atomic<unsigned> request_count{0};
std::atomic<void (*)()> dying_hook{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free);

}  // namespace

bool note_stop_request(int signal) {
  int none = 0;
  return first_signal.compare_exchange_strong(none, signal);
}

void count_stop_request(int signal) {
  latest_signal = signal;
  ++request_count;
}

void run_dying_hook() {
  if (auto hook = dying_hook.load()) hook();
}

int stop_signal() { return first_signal.load(); }

int stop_exit_status() {
  const int signal = stop_signal();
  return signal == 0 ? 0 : 128 + signal;
}

unsigned stop_request_count() { return request_count.load(); }

int stop_take_new_request(unsigned& seen) {
  const unsigned count = request_count.load();
  if (count == seen) return 0;
  seen = count;
  return latest_signal.load();
}

void stop_before_dying(void (*hook)()) { dying_hook = hook; }

std::string stop_reason() {
  switch (stop_signal()) {
    case 1:
      return "stopped by SIGHUP (the terminal closed)";
    case 2:
      return "stopped by SIGINT (Ctrl-C)";
    case 3:
      return "stopped by SIGQUIT";
    case 15:
      return "stopped by SIGTERM";
    case 21:
      return "stopped by Ctrl-Break";
    default:
      return "stopped by signal " + std::to_string(stop_signal());
  }
}
