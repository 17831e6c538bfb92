// LogPrint on every platform kind, the level filter and the boot-log ring writer, and the
// bounded copy under it.
#include <Library/DebugLogLib.h>

#include <cstring>

#include "SimTest.h"

namespace {

using namespace simtest;

constexpr uint64_t PLATFORM = 0x8000FFFC;
constexpr uint64_t SELECTOR = 0xC6F0800A;
constexpr uint64_t RING = 0xC5280000;
constexpr uint64_t RING_LOW = 0x31280000;
constexpr uint32_t MAGIC = 0xEAEA2020;

// A ring whose header puts the area header H at RING + 0x400 (all offsets zero).
struct Ring {
  uint64_t Base = RING;
  uint32_t AreaSize = 0x1000; // capacity 0x1000 - 128
  uint32_t WriteOffset = 0;
  uint32_t Wrapped = 0;
};

class DebugLogTest : public SimTest {
protected:
  void SetUp() override { LogThreshold = LOG_THRESHOLD_UNPROBED; }

  void Silicon(const Ring& R) {
    Set32(PLATFORM, 0);
    Set32(R.Base, MAGIC);
    Set32(R.Base + 0x400 + 0x04, R.AreaSize);
    Set32(R.Base + 0x400 + 0x10, R.Wrapped);
    Set32(R.Base + 0x400 + 0x40, R.WriteOffset);
  }
  uint32_t Header(uint64_t Offset, uint64_t Base = RING) {
    return Machine->Memory().Peek32(Base + 0x400 + Offset);
  }
  std::string Data(size_t Length, size_t From = 0, uint64_t Base = RING) {
    std::string Text(Length, '\0');
    Machine->Memory().Load(Base + 0x480 + From, Text.data(), Length);
    return Text;
  }
  uint64_t RingReads() { return CountAccesses(Events(), EventKind::Read8, SELECTOR); }
};

TEST_F(DebugLogTest, OtherPlatformKindsEchoEverythingAndNeverTouchTheRing) {
  for (uint32_t Word : {0x00000001u, 0x00020000u, 0x00010000u}) {
    Board.Mem32 = {{PLATFORM, Word}, {RING, MAGIC}};
    Start();
    LogPrint(LOG_INFO, "value %d\n", 5);
    EXPECT_EQ(Machine->Console(), "value 5\r\n");
    EXPECT_EQ(RingReads(), 0u);
    EXPECT_EQ(LogThreshold, 5u);
  }
}

TEST_F(DebugLogTest, FirstCallProbesTheRingEvenWhenItsOwnMessageIsFiltered) {
  Silicon({});
  Start();
  LogPrint(LOG_INFO, "not shown\n");
  EXPECT_EQ(LogThreshold, 2u);
  EXPECT_EQ(Header(0x44), 2u);
  EXPECT_EQ(Machine->Console(), "");
  EXPECT_EQ(Header(0x40), 0u);
}

TEST_F(DebugLogTest, WarningReachesConsoleUnchangedAndRingWithPrefix) {
  Silicon({});
  Start();
  LogPrint(LOG_WARNING, "Wait PCIE SSD...\n");
  EXPECT_EQ(Machine->Console(), "Wait PCIE SSD...\r\n");
  EXPECT_EQ(Data(32), "[WARNING][UEFI]Wait PCIE SSD...\n");
  EXPECT_EQ(Header(0x40), 32u);
  EXPECT_EQ(Header(0x10), 0u);
}

TEST_F(DebugLogTest, RingAbsentLetsOnlyErrorsThroughToTheConsole) {
  Set32(PLATFORM, 0);
  Start();
  LogPrint(LOG_WARNING, "dropped\n");
  EXPECT_EQ(LogThreshold, 3u);
  EXPECT_EQ(Machine->Console(), "");
  LogPrint(LOG_ERROR, "kept\n");
  EXPECT_EQ(Machine->Console(), "kept\r\n");
}

TEST_F(DebugLogTest, SelectorTwoPicksTheLowRing) {
  Ring Low;
  Low.Base = RING_LOW;
  Silicon(Low);
  Set8(SELECTOR, 2);
  Start();
  LogPrint(LOG_ERROR, "low\n");
  EXPECT_EQ(Data(17, 0, RING_LOW), "[ERROR][UEFI]low\n");
  for (uint8_t Selector : {0, 1, 3}) {
    Board = {};
    Silicon({});
    Set8(SELECTOR, Selector);
    LogThreshold = LOG_THRESHOLD_UNPROBED;
    Start();
    LogPrint(LOG_ERROR, "high\n");
    EXPECT_EQ(Data(18), "[ERROR][UEFI]high\n") << int(Selector);
  }
}

TEST_F(DebugLogTest, CarriageReturnsReachTheConsoleButNotTheRing) {
  Silicon({});
  Start();
  LogPrint(LOG_ERROR, "%a|\r\n", "a\rb");
  EXPECT_EQ(Machine->Console(), "a\rb|\r\n");
  EXPECT_EQ(Data(17), "[ERROR][UEFI]ab|\n");
  EXPECT_EQ(Header(0x40), 17u);
}

TEST_F(DebugLogTest, ConsoleKeeps255CharactersAndTheRingAllOfThem) {
  Silicon({});
  Start();
  const std::string Long(300, 'x');
  LogPrint(LOG_WARNING, "%a", Long.c_str());
  EXPECT_EQ(Machine->Console(), std::string(255, 'x'));
  EXPECT_EQ(Data(315), "[WARNING][UEFI]" + Long);
}

TEST_F(DebugLogTest, TextEndingExactlyAtTheEndDoesNotWrapAndTheNextOneStartsAtZero) {
  Ring R;
  R.AreaSize = 128 + 64;
  R.WriteOffset = 64 - 18; // "[ERROR][UEFI]0123\n" is 18 characters without the CR
  Silicon(R);
  Start();
  LogPrint(LOG_ERROR, "0123\n");
  EXPECT_EQ(Header(0x40), 64u);
  EXPECT_EQ(Header(0x10), 0u);
  EXPECT_EQ(Data(18, 46), "[ERROR][UEFI]0123\n");
  LogPrint(LOG_ERROR, "ab\n");
  EXPECT_EQ(Header(0x40), 16u);
  EXPECT_EQ(Header(0x10), 1u);
  EXPECT_EQ(Data(16), "[ERROR][UEFI]ab\n");
}

TEST_F(DebugLogTest, TextSplitAtTheEndOfTheDataArea) {
  Ring R;
  R.AreaSize = 128 + 64;
  R.WriteOffset = 60;
  Silicon(R);
  Start();
  LogPrint(LOG_ERROR, "wrap\n");
  EXPECT_EQ(Data(4, 60), "[ERR");
  EXPECT_EQ(Data(14), "OR][UEFI]wrap\n");
  EXPECT_EQ(Header(0x40), 14u);
  EXPECT_EQ(Header(0x10), 1u);
}

TEST_F(DebugLogTest, HeaderWordsAreNormalisedOrPreserved) {
  Ring R;
  R.AreaSize = 3145729 + 0x1000; // normalises to 0x1000
  R.WriteOffset = 3145601 + 10;  // normalises to 10
  Silicon(R);
  Set32(RING + 0x400 + 0x00, 3145601 + 7);
  Set32(RING + 0x400 + 0x0C, 0xAAAA5555);
  Set32(RING + 0x400 + 0x14, 0x12345678);
  Start();
  LogPrint(LOG_ERROR, "n\n");
  EXPECT_EQ(Header(0x00), 7u);
  EXPECT_EQ(Header(0x04), 0x1000u);
  EXPECT_EQ(Header(0x0C), 0xAAAA5555u);
  EXPECT_EQ(Header(0x14), 0x12345678u);
  EXPECT_EQ(Header(0x40), 10u + 15);
  EXPECT_EQ(Header(0x44), 2u);
  EXPECT_EQ(Data(15, 10), "[ERROR][UEFI]n\n");
}

TEST_F(DebugLogTest, RingOffsetsComeFromSlotBaseAndUefiFields) {
  Set32(PLATFORM, 0);
  Set32(RING, MAGIC);
  Set32(RING + 0x78, 13);        // slot 3
  Set32(RING + 0x10, 0x1000);    // stride 409
  Set32(RING + 0x0C, 0x100);     // log base 256
  Set32(RING + 0x28, 30721 + 6); // UEFI offset 6
  // X = RING + 3 * 409 + 256 + 6 = RING + 0x5D1, so H = RING + 0x9D1: an unaligned header.
  Set32(RING + 0x9D1 + 0x04, 0x200);
  Start();
  LogPrint(LOG_ERROR, "slot\n");
  EXPECT_EQ(Machine->Memory().Peek32(RING + 0x9D1 + 0x40), 18u);
  std::string Text(18, '\0');
  Machine->Memory().Load(RING + 0x9D1 + 0x80, Text.data(), Text.size());
  EXPECT_EQ(Text, "[ERROR][UEFI]slot\n");
}

TEST_F(DebugLogTest, LevelsBeyondTheNameTableCountAsErrors) {
  Silicon({});
  Start();
  LogPrint(7, "odd\n");
  EXPECT_EQ(Machine->Console(), "odd\r\n");
  EXPECT_EQ(Data(17), "[ERROR][UEFI]odd\n");
}

TEST_F(DebugLogTest, HeadersThisWriterNeverProducesLeaveTheRingAlone) {
  struct Case {
    uint32_t AreaSize, WriteOffset;
  };
  const Case Cases[] = {{100, 0} /* no data area */,
                        {128 + 16, 17} /* offset past it */,
                        {128 + 8, 0} /* message longer than the whole area */};
  for (const Case& C : Cases) {
    Board = {};
    Ring R;
    R.AreaSize = C.AreaSize;
    R.WriteOffset = C.WriteOffset;
    Silicon(R);
    LogThreshold = LOG_THRESHOLD_UNPROBED;
    Start();
    std::vector<uint8_t> Before(0x400 + 0x80 + 64);
    Machine->Memory().Load(RING, Before.data(), Before.size());
    LogPrint(LOG_ERROR, "0123456789\n");
    EXPECT_EQ(Machine->Console(), "0123456789\r\n");
    std::vector<uint8_t> After(Before.size());
    Machine->Memory().Load(RING, After.data(), After.size());
    Before[0x400 + 0x44] = 2; // the probe's own mark
    EXPECT_EQ(After, Before) << C.AreaSize << " " << C.WriteOffset;
  }
}

TEST_F(DebugLogTest, RingGoneAfterTheProbeMeansConsoleOnly) {
  Silicon({});
  Start();
  LogPrint(LOG_ERROR, "one\n");
  Machine->Memory().Poke32(RING, 0);
  LogPrint(LOG_ERROR, "two\n");
  EXPECT_EQ(Machine->Console(), "one\r\ntwo\r\n");
  EXPECT_EQ(Header(0x40), 17u);
  EXPECT_EQ(LogThreshold, 2u);
}

TEST_F(DebugLogTest, EmptyMessageWritesNothing) {
  Silicon({});
  Start();
  LogPrint(LOG_ERROR, "");
  EXPECT_EQ(Machine->Console(), "");
  EXPECT_EQ(Header(0x40), 0u);
}

TEST(CopyMemBoundedTest, ChecksInOrder) {
  uint8_t Buffer[16];
  const uint8_t Source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto Fresh = [&] { std::memset(Buffer, 0xEE, sizeof(Buffer)); };
  auto AllBytes = [&](uint8_t Value, size_t Count) {
    for (size_t I = 0; I < Count; ++I) {
      if (Buffer[I] != Value) {
        return false;
      }
    }
    return true;
  };

  Fresh();
  EXPECT_EQ(CopyMemBounded(Buffer, 0, Source, 4), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(CopyMemBounded(Buffer, 0xD0000000, Source, 4), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(AllBytes(0xEE, 16));

  EXPECT_EQ(CopyMemBounded(Buffer, 8, nullptr, 4), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(AllBytes(0, 8) && Buffer[8] == 0xEE);
  EXPECT_EQ(CopyMemBounded(nullptr, 8, Source, 4), EFI_INVALID_PARAMETER);

  Fresh();
  EXPECT_EQ(CopyMemBounded(Buffer, 4, Source, 8), EFI_BUFFER_TOO_SMALL);
  EXPECT_TRUE(AllBytes(0, 4) && Buffer[4] == 0xEE);

  Fresh();
  EXPECT_EQ(CopyMemBounded(Buffer, 16, Buffer, 8), EFI_SUCCESS);
  EXPECT_TRUE(AllBytes(0xEE, 16));

  Fresh();
  EXPECT_EQ(CopyMemBounded(Buffer + 4, 12, Buffer, 8), EFI_ACCESS_DENIED);
  EXPECT_TRUE(AllBytes(0xEE, 4));
  for (size_t I = 4; I < 16; ++I) {
    EXPECT_EQ(Buffer[I], 0) << I;
  }

  Fresh();
  EXPECT_EQ(CopyMemBounded(Buffer, 16, Source, 0), EFI_SUCCESS);
  EXPECT_TRUE(AllBytes(0xEE, 16));
  EXPECT_EQ(CopyMemBounded(Buffer, 16, Source, 8), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(Buffer, Source, 8), 0);
  EXPECT_EQ(Buffer[8], 0xEE);
}

} // namespace
