// The target's address space: sparse, allocated a page at a time on first
// store. Addresses inside the flash sector map behave as NOR flash (erased
// reads 0xFF, programming only clears bits); everything else is RAM.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "protocol/protocol.h"

inline constexpr uint32_t memory_page_size = 4096;

struct sim_memory {
  std::unordered_map<uint32_t, std::unique_ptr<std::array<uint8_t, memory_page_size>>> pages;
};

bool address_is_flash(uint32_t address);

uint8_t memory_read_byte(const sim_memory& memory, uint32_t address);

// Fills `out` from `address` on; addresses wrap modulo 2^32.
void memory_read(const sim_memory& memory, uint32_t address, std::span<uint8_t> out);

// What the write command does: flash keeps old & new, RAM takes new.
void memory_program(sim_memory& memory, uint32_t address, std::span<const uint8_t> data);

// Stores bytes as given, flash or not: for preloading images.
void memory_store(sim_memory& memory, uint32_t address, std::span<const uint8_t> data);

// Returns a flash sector to its erased state (every byte 0xFF).
void memory_erase(sim_memory& memory, const flash_sector& sector);
