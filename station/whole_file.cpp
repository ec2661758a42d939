#include "whole_file.h"

#include <cstdio>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

// Each try draws another name; only a folder that another program keeps
// filling with the very names drawn would run out of them.
constexpr int fresh_name_tries = 100;

std::string fresh_suffix() {
  static std::random_device seed;
  static std::mt19937 draw(seed());
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(draw()));
  return text;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
  return fs::weakly_canonical(fs::absolute(a, error), error) ==
         fs::weakly_canonical(fs::absolute(b, error), error);
}

std::string folder_of(const std::string& path) {
  const fs::path folder = fs::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

bool whole_file_place_of(const std::string& path, whole_file_place& place, std::string& why) {
  std::error_code error;
  const fs::file_status here = fs::symlink_status(path, error);
  const fs::file_status there = fs::status(path, error);
  place = {path, false};
  if (fs::is_directory(there)) {
    why = path + " is a folder";
  } else if (fs::is_symlink(here) && !fs::exists(there)) {
    why = path + " is a link that leads nowhere";
  } else if (fs::is_block_file(there) || fs::is_socket(there)) {
    why = path + " is a device or a socket, not a file";
  } else if (fs::is_fifo(there) || fs::is_character_file(there)) {
    place.straight = true;
  } else if (fs::is_symlink(here)) {
    place.path = fs::canonical(path, error).string();
    if (error) why = path + ": " + error.message();
  }
  return why.empty();
}

open_file* create_fresh_file(const std::string& folder, const std::string& stem, bool scratch,
                             std::string& made, std::string& why) {
  for (int i = 0; i < fresh_name_tries; ++i) {
    made = (fs::path(folder) / ("." + stem + "." + fresh_suffix())).string();
    bool taken = false;
    open_file* file = create_new_file(made, scratch, taken, why);
    if (file != nullptr || !taken) return file;
  }
  why = "no fresh name for a file in " + folder;
  return nullptr;
}

bool whole_file_begin(const whole_file_place& place, whole_file& out, std::string& why) {
  out = {place, nullptr, ""};
  if (place.straight) {
    out.file = open_existing_for_writing(place.path, why);
  } else {
    out.file = create_fresh_file(folder_of(place.path), fs::path(place.path).filename().string(),
                                 false, out.fresh, why);
  }
  return out.file != nullptr;
}

bool write_all(open_file& file, std::string_view bytes, std::string& why) {
  while (!bytes.empty()) {
    const long long written = write_once(file, bytes, why);
    if (written <= 0) {
      if (written == 0) why = "nothing could be written";
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool whole_file_end(whole_file& file, bool complete, std::string& why) {
  bool kept = complete && (file.place.straight || flush_to_disk(*file.file, why));
  std::string closing;
  if (!close_file(file.file, closing) && kept) {
    kept = false;
    why = closing;
  }
  file.file = nullptr;
  if (file.place.straight) return kept;
  std::error_code error;
  if (kept) {
    fs::rename(file.fresh, file.place.path, error);
    if (!error) return true;
    why = "cannot rename " + file.fresh + " to " + file.place.path + ": " + error.message();
  }
  fs::remove(file.fresh, error);
  return false;
}
