#include "files/whole_file.h"

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

bool failed(file_failure& failure, file_step step, const std::string& words) {
  failure = {step, words};
  return false;
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

bool whole_file_place_of(const std::string& path, whole_file_place& place, file_failure& failure) {
  std::error_code error;
  const fs::file_status here = fs::symlink_status(path, error);
  const fs::file_status there = fs::status(path, error);
  place = {path, false};
  if (fs::is_directory(there)) return failed(failure, file_step::place, "a folder");
  if (fs::is_symlink(here) && !fs::exists(there)) {
    return failed(failure, file_step::place, "a link that leads nowhere");
  }
  if (fs::is_block_file(there) || fs::is_socket(there)) {
    return failed(failure, file_step::place, "a device or a socket, not a file");
  }
  if (fs::is_fifo(there) || fs::is_character_file(there)) {
    place.straight = true;
  } else if (fs::is_symlink(here)) {
    place.path = fs::canonical(path, error).string();
    if (error) return failed(failure, file_step::place, error.message());
  }
  return true;
}

open_file* create_fresh_file(const std::string& folder, const std::string& stem, bool scratch,
                             std::string& made, std::string& why) {
  for (int i = 0; i < fresh_name_tries; ++i) {
    made = (fs::path(folder) / ("." + stem + "." + fresh_suffix() + ".part")).string();
    bool taken = false;
    open_file* file = create_new_file(made, scratch, taken, why);
    if (file != nullptr || !taken) return file;
  }
  why = "every fresh name is taken";
  return nullptr;
}

bool whole_file_begin(const whole_file_place& place, whole_file& out, file_failure& failure) {
  out = {place, nullptr, ""};
  std::string why;
  if (place.straight) {
    out.file = open_existing_for_writing(place.path, why);
    if (out.file == nullptr) return failed(failure, file_step::write, why);
    return true;
  }
  out.file = create_fresh_file(folder_of(place.path), fs::path(place.path).filename().string(),
                               false, out.fresh, why);
  if (out.file == nullptr) return failed(failure, file_step::make, why);
  return true;
}

bool write_all(open_file& file, std::string_view bytes, std::string& why) {
  while (!bytes.empty()) {
    const long long written = write_once(file, bytes, why);
    if (written < 0) return false;
    if (written == 0) {
      why = no_space_words();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool whole_file_write(whole_file& file, std::string_view bytes, file_failure& failure) {
  std::string why;
  return write_all(*file.file, bytes, why) || failed(failure, file_step::write, why);
}

bool whole_file_end(whole_file& file, bool complete, bool replace, file_failure& failure) {
  std::string why;
  // On the disk before it takes the name: a crash must not leave the name
  // on a file that is empty or short.
  bool kept = complete && (file.place.straight || flush_to_disk(*file.file, why));
  if (complete && !kept) failed(failure, file_step::write, why);
  if (!close_file(file.file, why) && kept) kept = failed(failure, file_step::write, why);
  file.file = nullptr;
  if (file.place.straight) return kept;
  if (kept) {
    bool taken = false;
    if (put_in_place(file.fresh, file.place.path, replace, taken, why)) return true;
    failed(failure, taken ? file_step::exists : file_step::rename, why);
  }
  remove_file(file.fresh);
  return false;
}

bool write_whole_file(const std::string& path, std::span<const uint8_t> bytes, bool replace,
                      file_failure& failure) {
  whole_file_place place;
  whole_file file;
  if (!whole_file_place_of(path, place, failure) || !whole_file_begin(place, file, failure)) {
    return false;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const bool written = whole_file_write(file, text, failure);
  return whole_file_end(file, written, replace, failure) && written;
}
