#include "line_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim_clock.h"
#include "text/whole_number.h"

namespace {

// A message is a few dozen bytes; a host that sends more without a line
// break is not speaking this channel.
constexpr std::size_t longest_message = 128;

void drop_host(line_channel& channel) {
  if (channel.host >= 0) close(channel.host);
  channel.host = -1;
  channel.unread.clear();
}

template <typename T>
bool take_number(std::string_view& text, std::string_view label, T& value) {
  if (!text.starts_with(label)) return false;
  text.remove_prefix(label.size());
  const auto end = text.find(' ');
  const bool ok = parse_whole_unsigned(text.substr(0, end), value);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end);
  return ok;
}

bool fill_address(sockaddr_un& address, const std::string& path) {
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string line_change_text(const line_change_message& message) {
  char text[96];
  std::snprintf(text, sizeof text, "%s at %" PRId64 " after %" PRIu64 "\n",
                line_level_name(message.change).c_str(), message.at_ns, message.bytes_before);
  return text;
}

std::optional<line_change_message> parse_line_change(std::string_view text) {
  line_change_message message;
  const auto change = parse_line_level(text.substr(0, 2));
  text.remove_prefix(std::min<std::size_t>(2, text.size()));
  uint64_t at_ns = 0;
  if (!change || !take_number(text, " at ", at_ns) ||
      !take_number(text, " after ", message.bytes_before) || !text.empty() ||
      at_ns > uint64_t{INT64_MAX}) {
    return std::nullopt;
  }
  message.change = *change;
  message.at_ns = static_cast<int64_t>(at_ns);
  return message;
}

bool line_channel_open(line_channel& channel, const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (!fill_address(address, path)) {
    error = "--lines-from " + path + ": a socket path must be 1 to " +
            std::to_string(sizeof address.sun_path - 1) + " bytes";
    return false;
  }
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = "--lines-from " + path + ": exists and is not a socket";
      return false;
    }
    unlink(path.c_str());
  }
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    error = "--lines-from " + path + ": " + std::strerror(errno);
    if (listener >= 0) close(listener);
    return false;
  }
  channel.listener = listener;
  channel.path = path;
  return true;
}

void line_channel_close(line_channel& channel) {
  drop_host(channel);
  if (channel.listener >= 0) {
    close(channel.listener);
    unlink(channel.path.c_str());
  }
  channel.listener = -1;
}

int line_channel_fd(const line_channel& channel) {
  return channel.host >= 0 ? channel.host : channel.listener;
}

std::optional<line_change_message> line_channel_read(line_channel& channel) {
  if (channel.listener < 0) return std::nullopt;
  if (channel.host < 0) {
    channel.host = accept4(channel.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (channel.host < 0) return std::nullopt;
  }
  for (;;) {
    const auto end = channel.unread.find('\n');
    if (end != std::string::npos) {
      const auto message = parse_line_change(std::string_view(channel.unread).substr(0, end));
      channel.unread.erase(0, end + 1);
      if (message) return message;
      line_channel_acknowledge(channel);
      continue;
    }
    if (channel.unread.size() > longest_message) {
      drop_host(channel);
      return std::nullopt;
    }
    char buffer[256];
    const ssize_t got = recv(channel.host, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return std::nullopt;
    if (got <= 0) {
      drop_host(channel);  // the host has gone; the next one connects anew
      return std::nullopt;
    }
    channel.unread.append(buffer, static_cast<std::size_t>(got));
  }
}

void line_channel_acknowledge(line_channel& channel) {
  if (channel.host < 0) return;
  // MSG_NOSIGNAL: a host that has gone meanwhile must not end the simulator.
  if (send(channel.host, &line_change_taken, 1, MSG_NOSIGNAL) != 1 && errno != EAGAIN) {
    drop_host(channel);
  }
}

int line_channel_connect(const std::string& path) {
  sockaddr_un address{};
  if (!fill_address(address, path)) return -1;
  const int host = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (host >= 0 && connect(host, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return host;
  if (host >= 0) close(host);
  return -1;
}

bool line_channel_tell(int host, const line_change_message& message, int answer_ms) {
  const std::string text = line_change_text(message);
  if (send(host, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
    return false;
  const int64_t deadline_ns = monotonic_ns() + int64_t{answer_ms} * 1'000'000;
  for (;;) {
    const int64_t left_ms = (deadline_ns - monotonic_ns()) / 1'000'000;
    pollfd watch{host, POLLIN, 0};
    const int ready = left_ms > 0 ? poll(&watch, 1, static_cast<int>(left_ms)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    char answer = 0;
    if (ready <= 0 || recv(host, &answer, 1, 0) != 1) return false;
    if (answer == line_change_taken) return true;
  }
}
