// The image every run will load, looked at once before any board is
// touched: a file the runs cannot use would otherwise fail each board in
// turn, each with a reset and a failed record.
#pragma once

#include <string>

// False, and why, when the image at `path` is missing, cannot be read, or is
// empty (a truncated build) unless `allow_empty`.
bool image_usable(const std::string& path, bool allow_empty, std::string& why);
