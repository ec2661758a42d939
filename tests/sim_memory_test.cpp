// The simulator's memory must behave like the target's: NOR flash in the
// sector map, plain RAM elsewhere, sparse over the whole address space.
#include <gtest/gtest.h>

#include <vector>

#include "target_memory.h"

namespace {

std::vector<uint8_t> read_back(const sim_memory& memory, uint32_t address, std::size_t size) {
  std::vector<uint8_t> bytes(size);
  memory_read(memory, address, bytes);
  return bytes;
}

}  // namespace

TEST(SimMemory, FlashStartsErasedAndProgrammingOnlyClearsBits) {
  sim_memory memory;
  const uint32_t flash = 0x20008000;  // sector 4
  EXPECT_EQ(read_back(memory, flash, 2), (std::vector<uint8_t>{0xFF, 0xFF}));

  memory_program(memory, flash, std::vector<uint8_t>{0xF0, 0x3C});
  memory_program(memory, flash, std::vector<uint8_t>{0x0F, 0xFF});
  EXPECT_EQ(read_back(memory, flash, 2), (std::vector<uint8_t>{0x00, 0x3C}));
}

TEST(SimMemory, EraseRestoresOnlyTheWholeSector) {
  sim_memory memory;
  auto sector1 = find_sector(1);
  ASSERT_TRUE(sector1.has_value());
  // Last byte of sector 0, all of sector 1's edges, first byte of sector 2.
  memory_program(memory, 0x20001FFF, std::vector<uint8_t>{0x00, 0x11});
  memory_program(memory, 0x20003FFF, std::vector<uint8_t>{0x22, 0x33});

  memory_erase(memory, *sector1);
  EXPECT_EQ(read_back(memory, 0x20001FFF, 2), (std::vector<uint8_t>{0x00, 0xFF}));
  EXPECT_EQ(read_back(memory, 0x20003FFF, 2), (std::vector<uint8_t>{0xFF, 0x33}));
}

TEST(SimMemory, RamStartsZeroAndWritesReplace) {
  sim_memory memory;
  const uint32_t ram = 0x1FFFFFFE;  // just below the flash
  EXPECT_EQ(read_back(memory, ram, 2), (std::vector<uint8_t>{0x00, 0x00}));
  memory_program(memory, ram, std::vector<uint8_t>{0xF0, 0xF0});
  memory_program(memory, ram, std::vector<uint8_t>{0x0F, 0x00});
  EXPECT_EQ(read_back(memory, ram, 3), (std::vector<uint8_t>{0x0F, 0x00, 0xFF}));
}

TEST(SimMemory, AddressesWrapAtTheTopOfTheSpace) {
  sim_memory memory;
  memory_program(memory, 0xFFFFFFFE, std::vector<uint8_t>{1, 2, 3, 4});
  EXPECT_EQ(read_back(memory, 0xFFFFFFFE, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(read_back(memory, 0, 2), (std::vector<uint8_t>{3, 4}));
}

TEST(SimMemory, PreloadStoresFlashBytesAsGiven) {
  sim_memory memory;
  memory_program(memory, 0x20000000, std::vector<uint8_t>{0x00});
  memory_store(memory, 0x20000000, std::vector<uint8_t>{0xA5});
  EXPECT_EQ(memory_read_byte(memory, 0x20000000), 0xA5);
}
