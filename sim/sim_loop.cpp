#include "sim_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>

#include "line_pacer.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_posix.h"
#include "pty_link.h"
#include "sim_clock.h"
#include "wake_tuning.h"

namespace {

constexpr int64_t hang_up_poll_ns = 1'000'000;
// Bytes go to the pty in chunks, as a USB adapter's packets hand them over:
// what has come due by the time a packet of 62 bytes is full, and at least a
// millisecond apart (a USB frame), one write each. Waking per byte would
// cost the simulator, and a host reading it, a system call a byte.
constexpr int64_t min_chunk_ns = 1'000'000;
constexpr std::size_t adapter_packet_bytes = 62;
constexpr int64_t quiet_flush_ns = 20'000'000;

struct tx_byte {
  int64_t due_ns;
  uint8_t byte;
};

// A USB serial adapter between the target and the host (--latency). It
// passes the target's bytes on in packets: at once when a packet holds 62
// bytes, otherwise when its latency timer fires. The timer restarts with
// every packet, and fires on an idle line too (the packet is then empty), so
// an answer waits for the first tick after the packet before it. In a
// synchronous exchange that is nearly the whole timer every time.
struct adapter_model {
  int64_t timer_ns = 0;  // 0: no adapter, bytes pass as they arrive
  int64_t last_packet_ns = 0;
  std::size_t held = 0;    // the last `held` pending bytes wait in the open packet
  int64_t release_ns = 0;  // when the open packet goes by the timer
};

// What lives from one open of the port to its close.
struct session {
  bool open = false;
  bool write_blocked = false;  // the pty buffer is full: wait for POLLOUT
  int64_t last_write_ns = 0;
  int64_t chunk_ns = min_chunk_ns;  // the least time between two writes
  line_pacer rx;
  line_pacer tx;
  std::deque<tx_byte> pending;
  adapter_model adapter;
  std::optional<int64_t> vanish_at_ns;
  uint64_t received = 0;                           // bytes from the host since the open
  std::optional<line_change_message> line_change;  // waiting for the bytes before it
};

session fresh_session(const loop_config& config) {
  session s;
  s.rx = make_pacer(config.baud);
  s.tx = make_pacer(config.baud);
  s.adapter.timer_ns = int64_t{config.latency_ms} * 1'000'000;
  s.chunk_ns = std::max(min_chunk_ns, int64_t{adapter_packet_bytes} * s.tx.byte_ns);
  return s;
}

// Holds the byte just queued, which has crossed the line, in the adapter.
void hold_in_adapter(adapter_model& a, std::deque<tx_byte>& pending) {
  if (a.timer_ns == 0) return;
  const int64_t arrival_ns = pending.back().due_ns;
  if (a.held > 0 && arrival_ns > a.release_ns) {
    a.last_packet_ns = a.release_ns;  // the open packet has gone by its timer
    a.held = 0;
  }
  if (a.held == 0) {
    const int64_t ticks =
        std::max<int64_t>(1, (arrival_ns - a.last_packet_ns + a.timer_ns - 1) / a.timer_ns);
    a.release_ns = a.last_packet_ns + ticks * a.timer_ns;
  }
  a.held = std::min(a.held + 1, pending.size());
  if (a.held < adapter_packet_bytes) {
    pending.back().due_ns = a.release_ns;
    return;
  }
  for (auto held = pending.end() - static_cast<std::ptrdiff_t>(a.held); held != pending.end();
       ++held) {
    held->due_ns = arrival_ns;  // a full packet goes at once
  }
  a.last_packet_ns = arrival_ns;
  a.held = 0;
}

void queue_byte(session& s, int64_t ready_ns, uint8_t byte, int64_t quiet_ns = 0) {
  s.pending.push_back({pace_byte(s.tx, ready_ns, quiet_ns), byte});
  hold_in_adapter(s.adapter, s.pending);
}

void queue_bytes(session& s, int64_t ready_ns, std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) queue_byte(s, ready_ns, byte);
}

void take_target_output(session& s, target& t, sim_log& log, int64_t now) {
  for (const auto& out : t.output) queue_byte(s, out.at_ns, out.byte, out.quiet_ns);
  t.output.clear();
  for (const auto& note : t.notes) log_event(log, now, note);
  t.notes.clear();
  if (t.vanish_at_ns && !s.vanish_at_ns) s.vanish_at_ns = t.vanish_at_ns;
}

// Writes every byte due by `limit_ns` in one write. False when the slave is gone.
bool write_due(int master, session& s, sim_log& log, int64_t limit_ns) {
  if (s.write_blocked) return true;
  std::vector<uint8_t> due;
  for (const auto& item : s.pending) {
    if (item.due_ns > limit_ns) break;
    due.push_back(item.byte);
  }
  if (due.empty()) return true;
  // The log's time for the bytes is taken before the write: they cannot
  // reach the host earlier, whatever keeps this process from the CPU after.
  const int64_t handed_over_ns = monotonic_ns();
  ssize_t written = write(master, due.data(), due.size());
  if (written < 0) {
    if (errno == EAGAIN || errno == EINTR) {
      s.write_blocked = errno == EAGAIN;
      return true;
    }
    return false;
  }
  s.last_write_ns = handed_over_ns;
  log_bytes(log, handed_over_ns, "tx", std::span(due).first(static_cast<std::size_t>(written)));
  s.pending.erase(s.pending.begin(), s.pending.begin() + written);
  if (static_cast<std::size_t>(written) < due.size()) s.write_blocked = true;
  return true;
}

// Reads all that is waiting. False when the slave is gone.
bool read_input(int master, session& s, target& t, sim_log& log) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    if (got == 0) return false;
    const int64_t now = monotonic_ns();
    s.received += static_cast<uint64_t>(got);
    for (ssize_t i = 0; i < got; ++i) {
      log_bytes(log, now, "rx", std::span(buffer + i, 1));
      target_receive(t, buffer[i], pace_byte(s.rx, now));
      take_target_output(s, t, log, now);
    }
    // A read that did not fill the buffer took all there was: no need to
    // ask again for an EAGAIN.
    if (static_cast<std::size_t>(got) < sizeof buffer) return true;
  }
}

// Takes the host's line changes, each once every byte it wrote before the
// change is in (see line_channel.h), and lets the host go on.
void take_line_changes(line_channel& channel, session& s, target& t, sim_log& log) {
  for (;;) {
    if (!s.line_change) s.line_change = line_channel_read(channel);
    if (!s.line_change || s.received < s.line_change->bytes_before) return;
    const int64_t at_ns = std::max(s.line_change->at_ns, s.rx.last_ns);
    target_line_change(t, s.line_change->change, at_ns);
    take_target_output(s, t, log, at_ns);
    line_channel_acknowledge(channel);
    s.line_change.reset();
  }
}

timespec as_timespec(int64_t ns) {
  ns = std::max<int64_t>(ns, 0);
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

enum class step_result { going_on, hung_up, vanished, failed };

// One turn of an open session: put due bytes on the line, then sleep until
// the next due byte, input from the host or the deadline.
step_result serve(int master, const loop_config& config, session& s, wake_tuning& tuning, target& t,
                  sim_log& log) {
  int64_t now = monotonic_ns();
  // The board's application prints by itself, once the line has taken what
  // came before: an application that prints faster than the line carries it
  // waits for the line, and the queue stays bounded.
  if (s.pending.empty()) {
    target_run(t, now);
    take_target_output(s, t, log, now);
  }
  int64_t write_limit = s.vanish_at_ns ? std::min(now, *s.vanish_at_ns) : now + tuning.early_ns;
  // The last byte queued never goes early: the host answers it at once.
  if (!s.pending.empty())
    write_limit = std::min(write_limit, std::max(now, s.pending.back().due_ns - 1));
  if (!write_due(master, s, log, write_limit)) return step_result::hung_up;
  if (s.vanish_at_ns && *s.vanish_at_ns <= now) {
    log_event(log, now, "vanish");
    return step_result::vanished;
  }

  int64_t wake = config.deadline_ns;
  const bool wake_for_byte = !s.pending.empty() && !s.write_blocked;
  // The next chunk goes a millisecond after the last, once a byte is due. The
  // last byte queued (the one the host waits for) goes at its own time, with
  // whatever came due just before it, so the answer is neither early nor late.
  bool last_byte = false;
  int64_t aim = 0;
  if (wake_for_byte) {
    const int64_t chunk_at = std::max(s.pending.front().due_ns, s.last_write_ns + s.chunk_ns);
    last_byte = s.pending.back().due_ns <= chunk_at;
    aim = last_byte ? s.pending.back().due_ns - answer_lead_ns(tuning) : chunk_at - tuning.early_ns;
    wake = std::min(wake, aim);
  }
  if (s.vanish_at_ns) wake = std::min(wake, *s.vanish_at_ns);
  const auto board_event_ns = target_next_event_ns(t);
  if (s.pending.empty() && board_event_ns) wake = std::min(wake, *board_event_ns);
  // A quiet line is the moment to let a reader of the log catch up.
  const bool flush_when_quiet = log.dirty && s.pending.empty();
  if (flush_when_quiet) wake = std::min(wake, now + quiet_flush_ns);

  pollfd watch[3] = {
      {master, static_cast<short>(POLLIN | (s.write_blocked ? POLLOUT : 0)), 0},
      // One change at a time: while one waits for its bytes, its host waits too.
      {config.lines && !s.line_change ? line_channel_fd(*config.lines) : -1, POLLIN, 0},
      {stop_wait_descriptor(), POLLIN, 0}};
  timespec timeout = as_timespec(wake - now);
  const int ready = ppoll(watch, 3, &timeout, nullptr);
  if (ready < 0) {
    if (errno == EINTR) return step_result::going_on;
    std::fprintf(stderr, "vexlor-sim: poll: %s\n", std::strerror(errno));
    return step_result::failed;
  }
  if (watch[2].revents != 0) return step_result::going_on;  // a stop request: seen by the loop
  if (ready == 0) {
    const bool woke_for_byte = wake_for_byte && wake == aim;
    if (woke_for_byte && wake > now) {
      const int64_t late_ns = monotonic_ns() - wake;
      if (last_byte) {
        learn_answer_lateness(tuning, late_ns);
      } else {
        learn_lateness(tuning, late_ns);
      }
    }
    if (woke_for_byte && last_byte) spin_until(s.pending.back().due_ns);
    if (flush_when_quiet) log_flush(log);
    return step_result::going_on;
  }
  if (watch[0].revents & POLLOUT) s.write_blocked = false;
  if ((watch[0].revents & POLLIN) && !read_input(master, s, t, log)) return step_result::hung_up;
  if (config.lines && (watch[1].revents != 0 || (watch[0].revents & POLLIN))) {
    take_line_changes(*config.lines, s, t, log);
  }
  if (watch[0].revents & (POLLHUP | POLLERR)) return step_result::hung_up;
  return step_result::going_on;
}

}  // namespace

loop_end run_sim_loop(int master, const loop_config& config, target& t, sim_log& log) {
  if (!config.chatter.empty() && write(master, config.chatter.data(), config.chatter.size()) > 0) {
    log_bytes(log, monotonic_ns(), "tx", config.chatter);
  }

  session s = fresh_session(config);
  wake_tuning tuning = make_wake_tuning(config.baud);
  bool opened_once = false;
  for (;;) {
    if (stop_requested()) return loop_end::signalled;
    const int64_t now = monotonic_ns();
    if (now >= config.deadline_ns) return loop_end::timed_out;
    if (!opened_once && now >= config.first_open_deadline_ns) return loop_end::nobody_came;

    if (!s.open) {
      if (pty_hung_up(master)) {
        const int64_t until = opened_once
                                  ? config.deadline_ns
                                  : std::min(config.deadline_ns, config.first_open_deadline_ns);
        timespec pause = as_timespec(std::min(hang_up_poll_ns, until - now));
        pollfd stop{stop_wait_descriptor(), POLLIN, 0};
        ppoll(&stop, 1, &pause, nullptr);
        continue;
      }
      s.open = true;
      opened_once = true;
      log_event(log, now, "open");
      log_flush(log);
      queue_bytes(s, now, config.on_open);
      target_port_opened(t, now);
      take_target_output(s, t, log, now);
      continue;
    }

    switch (serve(master, config, s, tuning, t, log)) {
      case step_result::going_on:
        break;
      case step_result::vanished:
        return loop_end::vanished;
      case step_result::failed:
        return loop_end::failed;
      case step_result::hung_up:
        log_event(log, monotonic_ns(), "close");
        log_flush(log);
        target_hang_up(t);
        s = fresh_session(config);
        if (config.once) return loop_end::once_done;
        break;
    }
  }
}
