// Linux: inotify on the ports folder, or while it is missing on the nearest
// folder above it that exists, so that an idle station sleeps in one wait
// and wakes only when an entry comes or goes.
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <utility>

#include "port_list.h"
#include "ports_watch.h"

namespace fs = std::filesystem;

struct ports_watch {
  fs::path folder;
  int fd = -1;
  int watched = -1;              // the watch descriptor in use
  bool watching_folder = false;  // false: an ancestor, until the folder exists
  std::set<std::string> present;
  std::vector<port_change> changes;  // not yet asked for
};

namespace {

constexpr uint32_t folder_events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Above a missing folder, only what could make it appear (or take the
// watched ancestor away) matters.
constexpr uint32_t ancestor_events =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

void note(ports_watch& watch, const std::string& name, bool present) {
  if (present) {
    watch.present.insert(name);
  } else if (watch.present.erase(name) == 0) {
    return;
  }
  watch.changes.push_back({name, present});
}

// Brings the set of entries in line with the folder as it is now.
void rescan(ports_watch& watch, const std::vector<std::string>& entries) {
  const std::set<std::string> now(entries.begin(), entries.end());
  for (const std::string& name : std::set<std::string>(watch.present)) {
    if (now.count(name) == 0) note(watch, name, false);
  }
  for (const std::string& name : now) {
    if (watch.present.count(name) == 0) note(watch, name, true);
  }
}

// Watches the folder and takes its entries; while it is missing, every entry
// is gone and the nearest ancestor that exists is watched instead. The
// folder is looked for again after each ancestor's watch is in place, so
// that one made in between is not missed.
void arm(ports_watch& watch) {
  for (;;) {
    if (watch.watched >= 0) inotify_rm_watch(watch.fd, watch.watched);
    watch.watched = inotify_add_watch(watch.fd, watch.folder.c_str(), folder_events);
    if (watch.watched >= 0) {
      watch.watching_folder = true;
      rescan(watch, port_folder_entries(watch.folder.string()));
      return;
    }
    watch.watching_folder = false;
    rescan(watch, {});
    for (fs::path above = watch.folder.parent_path(); watch.watched < 0;
         above = above.parent_path()) {
      watch.watched = inotify_add_watch(watch.fd, above.c_str(), ancestor_events);
      if (above == above.root_path()) break;
    }
    std::error_code error;
    if (!fs::is_directory(watch.folder, error)) return;
  }
}

}  // namespace

ports_watch* ports_watch_start(const std::string& folder, std::string& why) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    why = "cannot watch " + folder + ": inotify is not available";
    return nullptr;
  }
  std::error_code error;
  auto* watch = new ports_watch{.folder = fs::absolute(folder, error).lexically_normal(), .fd = fd};
  if (watch->folder.has_filename() == false) watch->folder = watch->folder.parent_path();
  arm(*watch);
  return watch;
}

int ports_watch_descriptor(const ports_watch* watch) { return watch == nullptr ? -1 : watch->fd; }

std::vector<port_change> ports_watch_changes(ports_watch* watch) {
  alignas(inotify_event) char buffer[16 * 1024];
  bool rearm = false;
  ssize_t got;
  while ((got = read(watch->fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len > 0 ? event->name : "";
      // The kernel's queue ran over: what was lost is found by looking again.
      if ((event->mask & IN_Q_OVERFLOW) != 0) rearm = true;
      if (event->wd != watch->watched) continue;
      if (!watch->watching_folder ||
          (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
        rearm = true;
      } else if (!is_port_name(name)) {
        continue;
      } else if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
        note(*watch, name, false);  // one of the same name was there: it has gone
        note(*watch, name, true);
      } else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        note(*watch, name, false);
      }
    }
  }
  if (rearm) arm(*watch);
  return std::exchange(watch->changes, {});
}

void ports_watch_end(ports_watch* watch) {
  if (watch == nullptr) return;
  close(watch->fd);
  delete watch;
}
