// The image a run programs: the file loaded whole and read as its format
// says, into the segments that the write and verify phases take one by one.
#pragma once

#include <optional>

#include "cli/run_events.h"
#include "image/image.h"
#include "options/options.h"

// Loads the image before the port is opened, and closes the file again:
// whether it carries its own addresses, and whether it is empty, decide
// whether the command line may stand (a usage error). What is wrong with
// the file is returned, to be told once the port is open, where a file
// error has always been told.
std::optional<file_failed> load_run_image(const run_settings& settings, image_contents& image);
