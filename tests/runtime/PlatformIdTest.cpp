// Platform readers: decoding and exactly which registers each one reads.
#include <Library/PlatformIdLib.h>

#include "SimTest.h"

namespace {

using namespace simtest;

constexpr uint64_t COUNTER = 0x80020008, VARIANT = 0x8000FFF8, PLATFORM = 0x8000FFFC,
                   BOARD = 0x8000F07C, SYSCONFIG = 0x8000E08C;

class PlatformIdTest : public SimTest {};

TEST_F(PlatformIdTest, BootTimeIsTheCounterInWholeMilliseconds) {
  const std::pair<uint32_t, uint32_t> Cases[] = {{38399, 0}, {38400, 1}, {0xFFFFFFFF, 111848}};
  for (const auto& [Counter, Milliseconds] : Cases) {
    Board.Mem32 = {{COUNTER, Counter}};
    Start();
    EXPECT_EQ(GetBootTimeMs(), Milliseconds) << Counter;
  }
}

TEST_F(PlatformIdTest, PlatformKindFromTheIdentificationWord) {
  const std::pair<uint32_t, uint32_t> Cases[] = {
      {0, 1}, {0x00010000, 3}, {0x0002FFFF, 2}, {0x00000001, 0}, {0x00030000, 0}};
  for (const auto& [Word, Kind] : Cases) {
    Board.Mem32 = {{PLATFORM, Word}};
    Start();
    EXPECT_EQ(GetPlatformKind(), Kind) << std::hex << Word;
    EXPECT_EQ(Hardware(), (std::vector<Event>{R32(PLATFORM, Word)}));
  }
}

TEST_F(PlatformIdTest, VariantThreeMeansWideBoardIdWithoutReadingSysConfig) {
  Set32(VARIANT, 0xF3);
  Set32(BOARD, 0xABCDEF12);
  Start();
  EXPECT_EQ(GetChipVariant(), 3u);
  ClearEvents();
  EXPECT_EQ(IsWideBoardId(), 1u);
  EXPECT_EQ(GetBoardId(), 0xCDEF12u);
  EXPECT_EQ(Hardware(),
            (std::vector<Event>{R32(VARIANT, 0xF3), R32(VARIANT, 0xF3), R32(BOARD, 0xABCDEF12)}));
}

TEST_F(PlatformIdTest, BoardIdWidthFollowsSysConfigBit15OnOtherVariants) {
  Set32(VARIANT, 2);
  Set32(BOARD, 0xABCDEF12);
  Start();
  EXPECT_EQ(GetBoardId(), 0xEF12u);
  EXPECT_EQ(Hardware(),
            (std::vector<Event>{R32(VARIANT, 2), R32(SYSCONFIG, 0), R32(BOARD, 0xABCDEF12)}));
  Board.Mem32.push_back({SYSCONFIG, 0x8000});
  Start();
  EXPECT_EQ(GetBoardId(), 0xCDEF12u);
}

TEST_F(PlatformIdTest, SysConfigFlagOnFpgaComesFromASecondPlatformRead) {
  Set32(PLATFORM, 0x00050100);
  Set32(SYSCONFIG, 0x2000);
  Start();
  EXPECT_EQ(GetSysConfigFlag(), 1u);
  EXPECT_EQ(Hardware(), (std::vector<Event>{R32(PLATFORM, 0x00050100), R32(PLATFORM, 0x00050100)}));
}

TEST_F(PlatformIdTest, SysConfigFlagElsewhereIsBit13) {
  const uint32_t Words[] = {0x0 /* silicon */, 0x00020100 /* other */, 0x00010100 /* emulator */};
  for (uint32_t Word : Words) {
    Board.Mem32 = {{PLATFORM, Word}, {SYSCONFIG, 0x2000}};
    Start();
    EXPECT_EQ(GetSysConfigFlag(), 1u) << std::hex << Word;
    EXPECT_EQ(Hardware(), (std::vector<Event>{R32(PLATFORM, Word), R32(SYSCONFIG, 0x2000)}));
  }
}

TEST_F(PlatformIdTest, SysConfigModeIsBits10To9) {
  Set32(SYSCONFIG, 0x600);
  Start();
  EXPECT_EQ(GetSysConfigMode(), 3u);
  Board.Mem32 = {{SYSCONFIG, 0x200}};
  Start();
  EXPECT_EQ(GetSysConfigMode(), 1u);
}

} // namespace
