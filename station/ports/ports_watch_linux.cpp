// Linux: inotify on the ports folder, or while it is missing on the nearest
// folder above it that exists, so that an idle station sleeps in one wait
// and wakes only when an entry comes or goes.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <utility>

#include "ports/port_list.h"
#include "ports/ports_watch.h"

namespace fs = std::filesystem;

struct ports_watch {
  fs::path folder;
  int fd = -1;
  int watched = -1;              // the watch descriptor in use
  bool watching_folder = false;  // false: an ancestor, until the folder exists
  // The entries there, each with the file it is (its inode): a link made
  // anew under the same name is another file, an event repeated is not.
  std::map<std::string, ino_t> present;
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
  watch.changes.push_back({name, present});
}

void gone(ports_watch& watch, const std::string& name) {
  if (watch.present.erase(name) > 0) note(watch, name, false);
}

std::optional<ino_t> entry_file(const ports_watch& watch, const std::string& name) {
  struct stat status {};
  if (lstat((watch.folder / name).c_str(), &status) != 0) return std::nullopt;
  return status.st_ino;
}

// An entry that is there now: new, or the same name made anew (gone and
// back), or the one already known (an event for what a scan has seen).
void there(ports_watch& watch, const std::string& name) {
  const std::optional<ino_t> file = entry_file(watch, name);
  if (!file) return gone(watch, name);
  const auto known = watch.present.find(name);
  if (known != watch.present.end() && known->second == *file) return;
  if (known != watch.present.end()) gone(watch, name);
  watch.present[name] = *file;
  note(watch, name, true);
}

// Brings the entries in line with the folder as it is now.
void rescan(ports_watch& watch, const std::vector<std::string>& entries) {
  std::map<std::string, ino_t> before = watch.present;
  for (const std::string& name : entries) {
    before.erase(name);
    there(watch, name);
  }
  for (const auto& [name, file] : before) gone(watch, name);
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
        there(*watch, name);
      } else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        // Gone, even when one of the same name is there again by now: an
        // adapter unplugged and plugged back in before this look.
        gone(*watch, name);
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
