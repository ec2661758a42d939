// The image every run will load, looked at once before any board is
// touched: a file the runs cannot use would otherwise fail each board in
// turn, each with a reset and a failed record.
#pragma once

#include <string>

// False, and why, when the image at `path` is missing, cannot be read, or is
// empty (a truncated build) unless `allow_empty`.
bool image_usable(const std::string& path, bool allow_empty, std::string& why);

// The SHA-256 of the image file's bytes, as a run's record names it: what
// the station was started with, recorded on every run, so that a run that
// failed before it read the image still counts under it. Empty when the
// file cannot be read whole.
std::string image_digest(const std::string& path);
