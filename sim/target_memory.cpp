#include "target_memory.h"

namespace {

constexpr bool sectors_are_page_aligned() {
  for (const auto& sector : sector_map) {
    if (sector.start % memory_page_size != 0 || sector.size % memory_page_size != 0) return false;
  }
  return true;
}
static_assert(sectors_are_page_aligned(), "a page must be all flash or all RAM");

uint32_t page_base(uint32_t address) { return address & ~(memory_page_size - 1); }

// A page is all flash or all RAM, so one value describes its untouched state.
uint8_t untouched_value(uint32_t address) { return address_is_flash(address) ? 0xFF : 0x00; }

std::array<uint8_t, memory_page_size>& page_for_store(sim_memory& memory, uint32_t address) {
  auto& page = memory.pages[page_base(address)];
  if (!page) {
    page = std::make_unique<std::array<uint8_t, memory_page_size>>();
    page->fill(untouched_value(address));
  }
  return *page;
}

}  // namespace

bool address_is_flash(uint32_t address) {
  for (const auto& sector : sector_map) {
    if (address - sector.start < sector.size) return true;
  }
  return false;
}

uint8_t memory_read_byte(const sim_memory& memory, uint32_t address) {
  auto found = memory.pages.find(page_base(address));
  if (found == memory.pages.end()) return untouched_value(address);
  return (*found->second)[address % memory_page_size];
}

void memory_read(const sim_memory& memory, uint32_t address, std::span<uint8_t> out) {
  for (auto& byte : out) byte = memory_read_byte(memory, address++);
}

void memory_program(sim_memory& memory, uint32_t address, std::span<const uint8_t> data) {
  for (uint8_t byte : data) {
    uint8_t& cell = page_for_store(memory, address)[address % memory_page_size];
    cell = address_is_flash(address) ? (cell & byte) : byte;
    ++address;
  }
}

void memory_store(sim_memory& memory, uint32_t address, std::span<const uint8_t> data) {
  for (uint8_t byte : data) {
    page_for_store(memory, address)[address % memory_page_size] = byte;
    ++address;
  }
}

void memory_erase(sim_memory& memory, const flash_sector& sector) {
  // An untouched flash page reads erased, so dropping the pages is the erase.
  for (uint32_t offset = 0; offset < sector.size; offset += memory_page_size) {
    memory.pages.erase(page_base(sector.start + offset));
  }
}
