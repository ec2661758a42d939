// ELF files, as a build's linker writes them: 32- or 64-bit, either byte
// order. Only the program headers matter to a flash: each loadable one
// names bytes of the file and the physical (load) address they belong at.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image_piece.h"

// The file bytes of every loadable program header, at its physical
// address, in the headers' order (the origin is the header's index from 0).
// False with a reason for a file that is no ELF, is cut short, or points
// outside itself.
bool read_elf_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                     std::string& why);
