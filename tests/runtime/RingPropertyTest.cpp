// The ring writer over many random headers, selector bytes and message lengths: it never touches
// ring memory outside the header words it owns and the data area, the header stays consistent,
// and the message ends exactly at the new write offset.
#include <Library/DebugLogLib.h>

#include <cstring>
#include <random>

#include "SimTest.h"

namespace {

using namespace simtest;

constexpr uint64_t RING_HIGH = 0xC5280000, RING_LOW = 0x31280000, SPAN = 4u << 20;
constexpr uint32_t MAGIC = 0xEAEA2020;

// Independent model of where the area header lies, for checking only.
uint64_t AreaHeaderOffset(const uint32_t Fields[4]) {
  const uint64_t Slot = Fields[3] % 10, Stride = Fields[1] % 307201 / 10;
  return Slot * Stride + Fields[0] % 308225 + Fields[2] % 30721 + 0x400;
}

TEST(RingPropertyTest, RandomHeadersStayInsideTheirArea) {
  std::mt19937_64 Random(20261208);
  sim::Machine Machine(sim::BoardProfile{});
  std::vector<uint8_t> Before(SPAN);
  for (int Round = 0; Round < 1000; ++Round) {
    LogThreshold = LOG_THRESHOLD_UNPROBED;
    Machine.Events().clear();
    const uint8_t Selector = static_cast<uint8_t>(Random() % 4);
    const uint64_t Base = Selector == 2 ? RING_LOW : RING_HIGH;
    // Ring header fields: log base, slot table size, UEFI offset, slot index.
    const uint32_t Fields[4] = {static_cast<uint32_t>(Random()), static_cast<uint32_t>(Random()),
                                static_cast<uint32_t>(Random()), static_cast<uint32_t>(Random())};
    const uint64_t H = AreaHeaderOffset(Fields);
    const uint32_t Capacity = static_cast<uint32_t>(Random() % 3000);
    // Mostly sane headers, sometimes any value at all.
    const bool Wild = Random() % 4 == 0;
    const uint32_t Wrapped = static_cast<uint32_t>(Random() % 2);
    const uint32_t AreaSize = Wild ? static_cast<uint32_t>(Random()) : Capacity + 128;
    const uint32_t WriteOffset =
        Wild ? static_cast<uint32_t>(Random()) : static_cast<uint32_t>(Random() % (Capacity + 1));
    uint8_t* Ring = Machine.Memory().RamPointer(Base, SPAN);
    Machine.Memory().Poke8(0xC6F0800A, Selector);
    const std::pair<uint64_t, uint32_t> Words[] = {{0, MAGIC},
                                                   {0x0C, Fields[0]},
                                                   {0x10, Fields[1]},
                                                   {0x28, Fields[2]},
                                                   {0x78, Fields[3]},
                                                   {H + 0x04, AreaSize},
                                                   {H + 0x40, WriteOffset},
                                                   {H + 0x10, Wrapped},
                                                   {H + 0x0C, 0xC0C0C0C0},
                                                   {H + 0x14, 0x14141414}};
    for (const auto& [Offset, Value] : Words) {
      Machine.Memory().Poke32(Base + Offset, Value);
    }
    std::memcpy(Before.data(), Ring, SPAN);

    const std::string Text(Random() % 1100, static_cast<char>('a' + Round % 26));
    LogPrint(LOG_ERROR, "%a", Text.c_str());

    const uint32_t Size = AreaSize % 3145729;
    const uint32_t OldWrite = WriteOffset % 3145601;
    const bool Sane = Size >= 128 && OldWrite <= Size - 128;
    const uint32_t K = Size - 128;
    const std::string Staged = "[ERROR][UEFI]" + Text.substr(0, 1023 - 13);
    const bool Fits = Sane && Staged.size() <= K;
    // Outside the header words and (when the message fits) the data area, nothing changed.
    const uint64_t Owned[][2] = {{H, H + 0x48}, {H + 0x80, H + 0x80 + (Fits ? K : 0)}};
    uint64_t From = 0;
    for (const auto& Range : Owned) {
      EXPECT_EQ(std::memcmp(Ring + From, Before.data() + From, Range[0] - From), 0)
          << "round " << Round << ": ring changed below offset " << Range[0];
      From = Range[1];
    }
    EXPECT_EQ(std::memcmp(Ring + From, Before.data() + From, SPAN - From), 0)
        << "round " << Round << ": ring changed above offset " << From;
    const uint32_t NewWrite = Machine.Memory().Peek32(Base + H + 0x40);
    const uint32_t NewWrapped = Machine.Memory().Peek32(Base + H + 0x10);
    EXPECT_EQ(Machine.Memory().Peek32(Base + H + 0x0C), 0xC0C0C0C0u);
    EXPECT_EQ(Machine.Memory().Peek32(Base + H + 0x14), 0x14141414u);
    if (!Fits) {
      EXPECT_EQ(NewWrite, WriteOffset) << "round " << Round;
      continue;
    }
    const uint64_t End = OldWrite + Staged.size();
    EXPECT_EQ(NewWrite, End <= K ? End : End - K) << "round " << Round;
    EXPECT_EQ(NewWrapped, End <= K ? Wrapped : 1u) << "round " << Round;
    EXPECT_EQ(Machine.Memory().Peek32(Base + H + 0x04), Size);
    // The message is the text that ends at the new write offset, read backwards around the ring.
    std::string Found(Staged.size(), '\0');
    for (size_t I = 0; I < Staged.size(); ++I) {
      const uint64_t Position = (NewWrite + K - Staged.size() + I) % K;
      Found[I] = static_cast<char>(Ring[H + 0x80 + Position]);
    }
    EXPECT_EQ(Found, Staged) << "round " << Round;
  }
}

} // namespace
