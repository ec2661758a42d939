// Percentages and sector selection at the edges of 32-bit arithmetic, where
// an overflow would show a wrong figure or erase the wrong sectors.
#include <gtest/gtest.h>

#include "cli/console_report.h"
#include "image/image.h"
#include "protocol/protocol.h"

namespace {

std::string percent_text(uint32_t done, uint32_t total) {
  return console_text(
      protocol_event{run_phase::write, transfer_progress{.size = total, .done = done}});
}

std::vector<uint32_t> touched(uint32_t address, uint32_t size) {
  std::vector<uint32_t> numbers;
  for (const flash_sector& s : sector_map) {
    if (sector_touched(s, address, size)) numbers.push_back(s.number);
  }
  return numbers;
}

}  // namespace

TEST(Percent, NeverOverflowsForLargeTransfers) {
  EXPECT_EQ(percent_text(256, 300), "\b\b\b\b 85%");
  EXPECT_EQ(percent_text(300, 300), "\b\b\b\b100%");
  EXPECT_EQ(percent_text(0xFFFFFF00u, 0xFFFFFFFFu), "\b\b\b\b 99%");
  EXPECT_EQ(percent_text(0xFFFFFFFFu, 0xFFFFFFFFu), "\b\b\b\b100%");
  EXPECT_EQ(percent_text(50000000u, 100000000u), "\b\b\b\b 50%");
}

TEST(SectorSelection, EdgesOfTheAddressSpace) {
  EXPECT_TRUE(touched(0x20000000, 0).empty());
  EXPECT_EQ(touched(0x20001FFF, 2), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(touched(0x00000000, 0xFFFFFFFFu).size(), 10u);
  EXPECT_EQ(touched(0x200C3FFF, 1), std::vector<uint32_t>{17});
  EXPECT_TRUE(touched(0x200C4000, 0x1000).empty());
  EXPECT_TRUE(touched(0x20040000, 0x80000).empty());  // the gap between the blocks
  // A range that wraps past 0xFFFFFFFF ends below its start: compared as
  // unsigned values it touches nothing.
  EXPECT_TRUE(touched(0xFFFFFF00u, 0x20000200u).empty());
}

// The digest the end object carries, against the standard's own examples
// and lengths at the edges of its padding.
TEST(Sha256, KnownDigests) {
  struct row {
    std::string input;
    std::string digest;
  };
  const std::string a55(55, 'a'), a56(56, 'a'), a64(64, 'a');
  for (const row& r : std::vector<row>{
           {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
           {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
           {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
           {a55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
           {a56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
           {a64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
       }) {
    SCOPED_TRACE(r.input.size());
    const std::span bytes(reinterpret_cast<const uint8_t*>(r.input.data()), r.input.size());
    EXPECT_EQ(sha256_hex(bytes), r.digest);
    // The same bytes in two pieces, split anywhere (as segments are).
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
      const std::span<const uint8_t> pieces[] = {bytes.first(split), bytes.subspan(split)};
      EXPECT_EQ(sha256_hex(pieces), r.digest) << "split at " << split;
    }
  }
}
