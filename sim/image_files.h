// Memory images on disk: --load preloads the target, --dump saves it at exit.
#pragma once

#include <cstdint>
#include <string>

#include "target_memory.h"

// Stores the file's bytes at `address` as they are, flash or not.
bool load_image(sim_memory& memory, uint32_t address, const std::string& path, std::string& error);

bool dump_image(const sim_memory& memory, uint32_t address, uint32_t size, const std::string& path,
                std::string& error);
