#include "supervisor.h"

#include <algorithm>
#include <deque>
#include <memory>

#include "board_records.h"
#include "runs/board_run.h"
#include "runs/children.h"
#include "console_view.h"
#include "runs/host.h"
#include "records/junit_report.h"
#include "records/report_file.h"
#include "runs/run_log.h"
#include "runs/run_state.h"
#include "stop/stop_requests.h"

namespace {

using wall_clock = std::chrono::system_clock;

// A line longer than this is no event; it is cut there rather than kept
// growing.
constexpr std::size_t longest_line = 64 * 1024;

// After a wake that brought output, the station looks again no sooner than
// this: the runs' lines wait in their pipes meanwhile and one wake takes them
// all, where a wake per line would cost a line of boards more than all the
// rest of the station. The live view is redrawn no faster anyway.
constexpr unsigned batch_interval_ms = 100;

// How long a run has to end after a stop request before it is killed:
// longer than vexlor-prog can take, since the longest wait it may be in
// then is the write of one block (20 ms a byte: 5.2 s), and its closing
// line sequence follows at once.
constexpr auto stop_grace = std::chrono::seconds(10);

struct board {
  station_port port;
  child* run = nullptr;
  run_stage stage = run_stage::flash;             // the run under way
  std::optional<std::string> board_id;            // as its identifying run read it
  std::optional<board_serial> serial;             // --serial-pool: its number
  std::optional<view_clock::time_point> kill_at;  // after a stop request: when it is killed
  bool killed = false;
  bool back_again = false;  // --watch: its port went and came back while it ran
  std::string pending;      // output that is not yet a whole line
  run_progress progress;
  wall_clock::time_point start;
  view_clock::time_point started;
  view_clock::time_point launched;  // its run under way: the read-back, or the write after it
  run_log log;
};

struct station {
  station_setup setup;
  std::string host = host_name();
  std::deque<station_port> waiting;
  std::vector<std::unique_ptr<board>> running;
  std::size_t most_at_once = 0;  // runs at a time, by --jobs and the file descriptors; 0: all
  // What the count needs of the runs that ended; nothing else of them is
  // kept, so that a station may run for weeks.
  std::size_t runs_ended = 0;
  std::size_t runs_ok = 0;
  std::size_t runs_stopped = 0;
  std::vector<station_port> not_run;  // a stop request kept their runs from beginning
  console_view view = open_console_view();
  int stop_signal = 0;
  bool stopped_a_run = false;
  bool record_lost = false;  // a report line could not be written
  wall_clock::time_point start = wall_clock::now();
  view_clock::time_point started = view_clock::now();
};

double seconds_since(view_clock::time_point start) {
  return std::chrono::duration<double>(view_clock::now() - start).count();
}

// Only a terminal shows it: elsewhere nothing is made.
live_view live_view_of(const station& st) {
  live_view live;
  if (!st.view.terminal) return live;
  const run_settings& words = st.setup.settings.run;
  for (const auto& b : st.running) {
    // The read-back reads and no more; the identifying run neither writes
    // nor verifies.
    const bool checks = b->stage == run_stage::read_back;
    const bool flashes = b->stage == run_stage::flash;
    const bool writes = flashes && words.write;
    const bool verifies = checks || (flashes && words.verify);
    live.boards.push_back({.name = b->port.name,
                           .phase = checks ? "check" : b->progress.phase,
                           .detail = b->progress.detail,
                           .seconds = seconds_since(b->started),
                           .seconds_left = run_seconds_left(b->progress, writes, verifies,
                                                            seconds_since(b->launched))});
  }
  for (const station_port& port : st.waiting) {
    live.boards.push_back({.name = port.name, .waiting = true});
  }
  if (st.setup.watch != nullptr) live.watched_folder = st.setup.settings.ports_folder;
  live.tally = {.ok = st.runs_ok,
                .failed = st.runs_ended - st.runs_ok - st.runs_stopped,
                .stopped = st.runs_stopped,
                .running = st.running.size(),
                .waiting = st.waiting.size()};
  return live;
}

bool stopping(const station& st) { return st.stop_signal != 0; }

void keep_record(station& st, const board_run& run, const run_record& record) {
  if (st.setup.report != nullptr) {
    std::string mended, why;
    const bool written = report_append(*st.setup.report, report_text(record), mended, why);
    if (!mended.empty()) say_on_stderr(mended);
    if (!written) {
      st.record_lost = true;
      say_on_stderr("the report line of " + run.port.name + " could not be written: " + why);
    }
  }
  if (st.setup.junit != nullptr) junit_add(*st.setup.junit, record);
  ++st.runs_ended;
  if (outcome_is_success(run.verdict.outcome)) {
    ++st.runs_ok;
  }
  if (run.verdict.outcome == run_outcome::stopped) ++st.runs_stopped;
}

void finish(station& st, board& b, const run_verdict& verdict, std::optional<int> exit_status) {
  const board_run run{.port = b.port,
                      .end = b.progress.end,
                      .start = b.start,
                      .end_time = wall_clock::now(),
                      .seconds = seconds_since(b.started),
                      .exit_status = exit_status,
                      .verdict = verdict,
                      .log_path = b.log.path,
                      .board_id = b.progress.board_id ? b.progress.board_id : b.board_id,
                      .serial = settled_serial(b.serial, b.progress, exit_status),
                      .boot_line = b.progress.boot_line,
                      .board_lines = b.progress.board_lines};
  run_log_close(b.log);
  const run_record record = record_of_run(run, st.host);
  // Kept before its result line is shown: a line on the screen is a run
  // on record.
  if (st.setup.records != nullptr) {
    std::string why;
    if (!store_add_run(*st.setup.records, record, why)) {
      st.record_lost = true;
      say_on_stderr("the record of " + b.port.name + " could not be kept: " + why);
    }
  }
  keep_record(st, run, record);
  if (b.back_again && !stopping(st)) {
    st.waiting.push_back(folder_port(st.setup.settings.ports_folder, b.port.name));
  }
  std::erase_if(st.running, [&](const auto& other) { return other.get() == &b; });
  view_print(st.view, result_line(run), live_view_of(st));
}

// Starts the board's run (or its read-back); false when it could not start,
// the board then finished with why.
bool launch(station& st, board& b) {
  b.progress = {};
  b.kill_at.reset();
  b.launched = view_clock::now();
  std::string why;
  const std::vector<std::string> patch = b.serial ? b.serial->patch : std::vector<std::string>{};
  b.run = child_start(st.setup.programmer,
                      run_arguments(st.setup.settings, b.port.path, b.stage, patch), why);
  if (b.run != nullptr) return true;
  finish(st, b, {run_outcome::failed, "start", why}, std::nullopt);
  return false;
}

// --serial-pool: takes the board's number before the run that writes it;
// false when none could be had, the board then finished with why.
bool take_serial(station& st, board& b) {
  if (st.setup.settings.serial_pool.empty()) return true;
  std::string why;
  board_serial serial;
  if (take_board_serial(*st.setup.records, st.setup.settings, b.board_id, st.host, serial, why)) {
    b.serial = serial;
    return true;
  }
  finish(st, b, {run_outcome::failed, "serial", why}, std::nullopt);
  return false;
}

void start_board(station& st, const station_port& port) {
  const station_settings& settings = st.setup.settings;
  auto b = std::make_unique<board>();
  b->port = port;
  b->stage = first_stage(settings);
  b->start = wall_clock::now();
  b->started = view_clock::now();
  std::string why;
  // Appended: a board flashed again keeps the earlier run's events above.
  if (!settings.log_folder.empty() && !run_log_open(settings.log_folder, port.name, b->log, why)) {
    say_on_stderr(why);
  }
  board& started = *b;
  st.running.push_back(std::move(b));
  if (settings.watch) view_print(st.view, start_line(port.name), live_view_of(st));
  if (started.stage == run_stage::identify || take_serial(st, started)) launch(st, started);
}

void start_waiting(station& st) {
  while (!st.waiting.empty() && !stopping(st) &&
         (st.most_at_once == 0 || st.running.size() < st.most_at_once)) {
    const station_port port = st.waiting.front();
    st.waiting.pop_front();
    start_board(st, port);
  }
}

board* board_of(station& st, const child* run) {
  for (const auto& b : st.running) {
    if (b->run == run) return b.get();
  }
  return nullptr;
}

board* board_named(station& st, const std::string& name) {
  for (const auto& b : st.running) {
    if (b->port.name == name) return b.get();
  }
  return nullptr;
}

void take_line(board& b, std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows run's line end
  run_log_line(b.log, line);
  take_run_line(b.progress, line);
}

void take_output(station& st, board& b, const std::string& text) {
  b.pending += text;
  std::size_t start = 0;
  for (std::size_t end; (end = b.pending.find('\n', start)) != std::string::npos; start = end + 1) {
    take_line(b, b.pending.substr(start, end - start));
  }
  b.pending.erase(0, start);
  if (b.pending.size() > longest_line) take_line(b, std::exchange(b.pending, {}));
  st.view.changed = true;
}

void take_exit(station& st, board& b, int exit_status) {
  if (!b.pending.empty()) take_line(b, std::exchange(b.pending, {}));
  b.run = nullptr;
  if (!b.log.lost.empty()) say_on_stderr("the log " + b.log.path + " is not whole: " + b.log.lost);
  if (b.killed) {
    const std::string grace = std::to_string(stop_grace.count());
    finish(st, b,
           {run_outcome::stopped, "signal",
            "killed: it did not end within " + grace + " s of the stop request, during the " +
                b.progress.phase},
           exit_status);
    return;
  }
  if (b.stage == run_stage::identify && exit_status == 0 &&
      judge_run(b.progress, 0, false).outcome == run_outcome::ok) {
    if (stopping(st)) {
      finish(st, b, {run_outcome::stopped, "signal", "stopped before its flash began"},
             exit_status);
      return;
    }
    // Its id known, the board takes its number, then the runs the words
    // ask for.
    b.board_id = b.progress.board_id;
    b.stage = st.setup.settings.skip_same ? run_stage::read_back : run_stage::flash;
    if (take_serial(st, b)) launch(st, b);
    return;
  }
  if (b.stage == run_stage::read_back) {
    if (exit_status == 0 && judge_run(b.progress, 0, false).outcome == run_outcome::ok) {
      finish(st, b, {run_outcome::unchanged, {}, {}}, exit_status);
      return;
    }
    if (read_back_differs(b.progress) && !stopping(st)) {
      b.stage = run_stage::flash;  // now the write the words ask for
      launch(st, b);
      return;
    }
  }
  finish(st, b, judge_run(b.progress, exit_status, b.kill_at.has_value()), exit_status);
}

// The first request stops the station: nothing more begins, and every run is
// asked to end with its closing line sequence, within its time. Each request
// is passed on, so that a second one ends the runs at once.
void take_stop(station& st, int signal) {
  if (!stopping(st)) {
    st.stop_signal = signal;
    st.stopped_a_run = !st.running.empty();
    st.not_run.assign(st.waiting.begin(), st.waiting.end());
    st.waiting.clear();
  }
  for (const auto& b : st.running) {
    if (b->run == nullptr) continue;
    child_stop(b->run, signal);
    if (!b->kill_at) b->kill_at = view_clock::now() + stop_grace;
  }
}

// Kills the runs whose time after a stop request is up (one that ignores
// the request, one that stops itself), and says how long the station may
// wait for the next: -1 for no bound.
int kill_overdue(station& st) {
  int wait_ms = -1;
  const auto now = view_clock::now();
  for (const auto& b : st.running) {
    if (b->run == nullptr || !b->kill_at || b->killed) continue;
    if (*b->kill_at <= now) {
      child_kill(b->run);
      b->killed = true;
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*b->kill_at - now).count() + 1;
    wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min(wait_ms, static_cast<int>(left));
  }
  return wait_ms;
}

// The shorter of two waits, -1 meaning no bound.
int shorter_wait(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

// --watch: a port that appears is taken on once; one that goes is no longer
// waited for; one that goes and comes back while its run goes on is taken
// on again after that run.
void take_port_changes(station& st) {
  for (const port_change& change : ports_watch_changes(st.setup.watch)) {
    board* running = board_named(st, change.name);
    const auto waiting = std::find_if(st.waiting.begin(), st.waiting.end(),
                                      [&](const station_port& p) { return p.name == change.name; });
    if (running != nullptr) {
      running->back_again = change.present;
    } else if (!change.present && waiting != st.waiting.end()) {
      st.waiting.erase(waiting);
    } else if (change.present && waiting == st.waiting.end() && !stopping(st)) {
      st.waiting.push_back(folder_port(st.setup.settings.ports_folder, change.name));
    }
  }
}

int exit_status_of(const station& st, std::size_t ok, std::size_t total) {
  const bool watching = st.setup.watch != nullptr;
  if (stopping(st) && (!watching || st.stopped_a_run)) return 128 + st.stop_signal;
  const bool every_run_ok = ok == total && (watching || total > 0) && !st.record_lost;
  return every_run_ok ? 0 : 1;
}

}  // namespace

int supervise(station_setup setup) {
  station st{.setup = setup};
  // Each run holds its output's pipe, and its log.
  const std::size_t room = runs_descriptors_allow(setup.settings.log_folder.empty() ? 1 : 2);
  const auto jobs = static_cast<std::size_t>(setup.settings.jobs);
  st.most_at_once = jobs == 0 ? room : room == 0 ? jobs : std::min(jobs, room);
  st.waiting.assign(setup.boards.begin(), setup.boards.end());
  if (setup.watch != nullptr) take_port_changes(st);
  // Before the first wait: the boards as they begin, or what an idle --watch
  // waits for.
  start_waiting(st);
  view_refresh(st.view, live_view_of(st));
  for (bool output_came = false;;) {
    start_waiting(st);
    const bool more_to_come = setup.watch != nullptr || !st.waiting.empty();
    if (st.running.empty() && (stopping(st) || !more_to_come)) break;
    if (output_came) sleep_ms(batch_interval_ms);
    std::vector<child*> runs;
    for (const auto& b : st.running) runs.push_back(b->run);
    const int wait_ms = shorter_wait(view_wait_ms(st.view, !runs.empty()), kill_overdue(st));
    const activity happened = wait_for_activity(runs, setup.watch, wait_ms);
    output_came = !happened.output.empty();
    for (const auto& [run, text] : happened.output) {
      if (board* b = board_of(st, run)) take_output(st, *b, text);
    }
    for (const auto& [run, exit_status] : happened.exited) {
      if (board* b = board_of(st, run)) take_exit(st, *b, exit_status);
      child_release(run);
    }
    if (happened.stop_signal != 0) take_stop(st, happened.stop_signal);
    if (happened.ports_changed) take_port_changes(st);
    view_refresh(st.view, live_view_of(st));
  }

  std::string closing;
  for (const station_port& port : st.not_run) closing += not_run_line(port.name);
  const std::size_t total = st.runs_ended + st.not_run.size();
  closing += count_line(st.runs_ok, total, setup.watch != nullptr);
  view_print(st.view, closing, {});
  std::string why;
  if (setup.junit != nullptr &&
      !junit_finish(*setup.junit, st.not_run, st.start, seconds_since(st.started), st.host, why)) {
    say_on_stderr("the JUnit report " + setup.settings.junit_path +
                  " could not be written: " + why);
    st.record_lost = true;
  }
  return exit_status_of(st, st.runs_ok, total);
}
