// The image every run will load, looked at once before any board is
// touched: a file the runs cannot use, or words that every run would
// refuse with it, would otherwise fail each board in turn, each with a
// reset and a failed record.
#pragma once

#include <string>

#include "options/options.h"

// False, and why, when the image `run` names cannot be programmed: it
// cannot be opened or read whole, it is meant as records or ELF and breaks
// their rules, or it does not fit; or when vexlor-prog would refuse the
// words with it: --address with an image that carries its own, an empty
// image (a truncated build) without --allow-empty, a patch outside it.
// Read as vexlor-prog reads it, so that what it refuses is refused here.
// `sha256` gets the file's digest, as a run's record names it: what the
// station was started with, recorded on every run, so that a run that
// failed before it read the image still counts under it.
bool image_usable(const run_settings& run, std::string& sha256, std::string& why);
