// --save FILE --size N: the flash read into a file, raw, after the
// handshake and after the write and verify phases when they are asked for.
#pragma once

#include <string>

#include "options/options.h"
#include "cli/run_events.h"
#include "serial/serial_port.h"

// Why the file --save names must not be written, for a usage error before
// the port opens: it exists and --force was not given, a folder has its
// name, or its folder does not exist. Empty when it may be written.
std::string save_target_refusal(const run_settings& settings);

// Reads settings.save_size bytes at settings.address and puts them in the
// file whole: nothing under its name, and no file of the tool's beside it,
// when the read fails or the run is stopped. Does nothing once the error
// flag is set, and sets it when the file was not saved; true when it was.
bool save_phase(port_handle port, const run_settings& settings, bool& error_flag,
                const run_sink& report);
