// PortErrorSetup against the register program and chip-count rules written out here as data:
// the exact access list of one chip, the per-chip totals and bounds of a two-chip run, the chip
// count and its messages on every platform kind, and the wide-board-id skip.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "PortErrorSetup.h"
#include "SimTest.h"

namespace {

using sim::Event;
using sim::EventKind;
using simtest::R32;
using simtest::W32;

constexpr uint64_t CHIP_STRIDE = 0x8000000000;
constexpr uint64_t CHIP_VARIANT = 0x8000FFF8;
constexpr uint64_t PLATFORM_ID = 0x8000FFFC;
constexpr uint64_t SYS_CONFIG = 0x8000E08C;
// Boot-log ring at its default base, with its area header right after the first 1 KiB.
constexpr uint64_t RING_BASE = 0xC5280000;
constexpr uint64_t RING_AREA_SIZE = RING_BASE + 0x404;
constexpr uint64_t RING_LEVEL_IN_FORCE = RING_BASE + 0x444;

uint64_t ChipOf(uint64_t Address) {
  return Address / CHIP_STRIDE;
}

// The three 64 KiB blocks the program may touch, on any chip.
bool IsRasAddress(uint64_t Address) {
  const uint64_t Offset = Address % CHIP_STRIDE;
  return (Offset >= 0xA2800000 && Offset < 0xA2820000) ||
         (Offset >= 0xA2900000 && Offset < 0xA2910000);
}

std::vector<Event> RasAccesses(const std::vector<Event>& Events, uint64_t Chip) {
  std::vector<Event> Result;
  for (const Event& E : Events) {
    if (sim::IsRegisterAccess(E.Kind) && IsRasAddress(E.Address) && ChipOf(E.Address) == Chip) {
      Result.push_back(E);
    }
  }
  return Result;
}

// The run told as console lines and runs of register-program accesses ("program chip N").
std::vector<std::string> Timeline(const std::vector<Event>& Events) {
  std::vector<std::string> Steps;
  std::string Line;
  for (const Event& E : Events) {
    if ((E.Kind == EventKind::Write8 || E.Kind == EventKind::Write32) &&
        E.Address == sim::UART_DATA_REGISTER) {
      Line += static_cast<char>(E.Value);
      if (Line.back() == '\n') {
        Steps.push_back(Line);
        Line.clear();
      }
    } else if (sim::IsRegisterAccess(E.Kind) && IsRasAddress(E.Address)) {
      const std::string Tag = "program chip " + std::to_string(ChipOf(E.Address));
      if (Steps.empty() || Steps.back() != Tag) {
        Steps.push_back(Tag);
      }
    }
  }
  if (!Line.empty()) {
    Steps.push_back(Line);
  }
  return Steps;
}

// Values the four read-modify-write registers hold before the program runs, and what the program
// must write back.
constexpr uint32_t BEFORE_73E4 = 0xFFFFFFFF, AFTER_73E4 = 0xFFFFFFFD;
constexpr uint32_t BEFORE_8000 = 0x00000000, AFTER_8000 = 0x0002222A;
constexpr uint32_t BEFORE_8010 = 0x00000001, AFTER_8010 = 0x02300001;
constexpr uint32_t BEFORE_8018 = 0x80000000, AFTER_8018 = 0x82300000;

// One chip's program in order, written out from the register tables.
std::vector<Event> ExpectedChipProgram(uint64_t Base) {
  std::vector<Event> L;
  auto W = [&](uint64_t Offset, uint32_t Value) { L.push_back(W32(Base + Offset, Value)); };
  auto R = [&](uint64_t Offset, uint32_t Value) { L.push_back(R32(Base + Offset, Value)); };
  // Block 0xA2900000
  W(0xA2904578, 0x00000000);
  W(0xA290456C, 0xFFFFFFFF);
  W(0xA2904584, 0x00000000);
  W(0xA2904570, 0xFFFFFFFF);
  W(0xA2904574, 0xFFFFE020);
  W(0xA2904580, 0xFFFFFFFF);
  W(0xA2906094, 0x00000000);
  W(0xA2906088, 0xFFFFFFFF);
  W(0xA290608C, 0xFFFE0448);
  W(0xA2907094, 0x00000000);
  W(0xA2907054, 0xFFFFFFFF);
  W(0xA2907058, 0xFF3FFFF7);
  W(0xA29073A8, 0x3F3FB6F7);
  R(0xA29073E4, BEFORE_73E4);
  W(0xA29073E4, AFTER_73E4);
  for (uint64_t Offset : {0xA2900100, 0xA2900110, 0xA2900120, 0xA2900130, 0xA2900140, 0xA2900150}) {
    W(Offset, 0x00000000);
  }
  for (uint64_t Offset : {0xA2900108, 0xA2900118, 0xA2900128, 0xA2900138, 0xA2900148, 0xA2900158}) {
    W(Offset, 0xFFFFFFFF);
  }
  for (uint64_t Offset : {0xA2900124, 0xA2900134, 0xA2900144, 0xA2900154}) {
    W(Offset, 0x00000000);
  }
  // Block 0xA2800000
  W(0xA2806810, 0x00000000);
  W(0xA2806BE0, 0xFFFFFFFF);
  W(0xA2806BE4, 0xE3FFFFF0);
  for (uint64_t Offset : {0xA2800800, 0xA2800804, 0xA2800808, 0xA280080C}) {
    W(Offset, 0x00000000);
  }
  W(0xA2800850, 0x00000000);
  for (uint64_t Offset : {0xA2800820, 0xA2800824, 0xA2800828, 0xA280082C}) {
    W(Offset, 0xFFFFFFFF);
  }
  W(0xA2800858, 0xFFFFFFFF);
  W(0xA2800810, 0xF67FFFFF);
  W(0xA2800814, 0xC00FFFFF);
  W(0xA2800818, 0xFFFFFFFF);
  W(0xA280081C, 0xFFFFFFFF);
  W(0xA2800854, 0xFFFFFFFF);
  for (uint64_t K = 0; K < 32; ++K) {
    W(0xA280C070 + 0x100 * K, 0x00000000);
    W(0xA280C040 + 0x100 * K, 0xFFFFFFFF);
    W(0xA280C044 + 0x100 * K, 0xFFFF8081);
    W(0xA280E184, 0x000077E0);
  }
  for (uint64_t K = 0; K < 3; ++K) {
    W(0xA280901C + 0x200 * K, 0x00000000);
    W(0xA2809024 + 0x200 * K, 0xFFFFFFFF);
    W(0xA2809020 + 0x200 * K, 0xFFFFFFFF);
  }
  // Block 0xA2810000
  W(0xA2810084, 0x00000000);
  W(0xA2810284, 0x00000000);
  W(0xA2810078, 0x0000000F);
  W(0xA2810278, 0x0000000F);
  W(0xA281007C, 0xFFFFFFF0);
  W(0xA281027C, 0xFFFFFFF0);
  W(0xA2813088, 0x00000000);
  W(0xA28137EC, 0x00000000);
  W(0xA2813080, 0xFFFFFFFF);
  W(0xA28137E0, 0xFFFFFFFF);
  W(0xA2813084, 0xFFFFFFFF);
  W(0xA28137E4, 0xFFFFFFFF);
  W(0xA2813090, 0x00000002);
  // Block 0xA2800000 again
  R(0xA2808000, BEFORE_8000);
  W(0xA2808000, AFTER_8000);
  W(0xA2808020, 0xFFF00000);
  W(0xA2808028, 0xFFF00000);
  W(0xA2808030, 0xFFF00000);
  R(0xA2808010, BEFORE_8010);
  W(0xA2808010, AFTER_8010);
  R(0xA2808018, BEFORE_8018);
  W(0xA2808018, AFTER_8018);
  return L;
}

class PortErrorSetupTest : public simtest::SimTest {
protected:
  void SetReadModifyWriteRegisters(uint64_t Base) {
    Set32(Base + 0xA29073E4, BEFORE_73E4);
    Set32(Base + 0xA2808000, BEFORE_8000);
    Set32(Base + 0xA2808010, BEFORE_8010);
    Set32(Base + 0xA2808018, BEFORE_8018);
  }
};

class ChipProgramTest : public PortErrorSetupTest, public ::testing::WithParamInterface<uint8_t> {};

// Chip 255 is the highest an 8-bit index reaches: its base only fits in 64-bit arithmetic.
TEST_P(ChipProgramTest, MakesExactlyTheTabledAccessesAtTheChipBase) {
  const uint64_t Base = GetParam() * CHIP_STRIDE;
  SetReadModifyWriteRegisters(Base);
  Start();
  ProgramChipRasRegisters(GetParam());
  EXPECT_EQ(Hardware(), ExpectedChipProgram(Base));
}

INSTANTIATE_TEST_SUITE_P(Chips, ChipProgramTest, ::testing::Values(0, 1, 255));

TEST_F(PortErrorSetupTest, ExpectedListMatchesTheTableTotals) {
  // Guards the hand-written list itself: spot values from the tables and the totals.
  const std::vector<Event> L = ExpectedChipProgram(0);
  ASSERT_EQ(L.size(), 208u);
  EXPECT_EQ(L[31], W32(0xA2806810, 0x00000000));  // first write after block 0xA2900000
  EXPECT_EQ(L[49], W32(0xA280C070, 0x00000000));  // group A, first pass
  EXPECT_EQ(L[173], W32(0xA280DF70, 0x00000000)); // group A, last pass
  EXPECT_EQ(L[174], W32(0xA280DF40, 0xFFFFFFFF));
  EXPECT_EQ(L[175], W32(0xA280DF44, 0xFFFF8081));
  EXPECT_EQ(L[176], W32(0xA280E184, 0x000077E0));
  EXPECT_EQ(L[183], W32(0xA280941C, 0x00000000)); // group B, last pass
  EXPECT_EQ(L[184], W32(0xA2809424, 0xFFFFFFFF));
  EXPECT_EQ(L[185], W32(0xA2809420, 0xFFFFFFFF));
  EXPECT_EQ(L[186], W32(0xA2810084, 0x00000000)); // first write of block 0xA2810000
}

TEST_F(PortErrorSetupTest, TwoChipSiliconProgramsEachChipCompletelyInTurn) {
  Set32(SYS_CONFIG, 0x20);
  SetReadModifyWriteRegisters(0);
  SetReadModifyWriteRegisters(CHIP_STRIDE);
  Start();
  EXPECT_EQ(RunDriver("PortErrorSetup"), 0u);
  const std::vector<Event> All = Hardware();
  const uint64_t Bases[] = {0, CHIP_STRIDE};
  for (uint64_t Chip : {0, 1}) {
    SCOPED_TRACE("chip " + std::to_string(Chip));
    const std::vector<Event> Accesses = RasAccesses(All, Chip);
    ASSERT_EQ(Accesses.size(), 208u);
    size_t Reads = 0, Writes = 0, Reg184 = 0;
    for (const Event& E : Accesses) {
      Reads += E.Kind == EventKind::Read32 ? 1 : 0;
      Writes += E.Kind == EventKind::Write32 ? 1 : 0;
      Reg184 += E == W32(Bases[Chip] + 0xA280E184, 0x000077E0) ? 1 : 0;
    }
    EXPECT_EQ(Reads, 4u);
    EXPECT_EQ(Writes, 204u);
    EXPECT_EQ(Reg184, 32u);
  }
  EXPECT_EQ(RasAccesses(All, 0).front(), W32(0xA2904578, 0x00000000));
  EXPECT_EQ(RasAccesses(All, 0).back(), W32(0xA2808018, AFTER_8018));
  EXPECT_EQ(RasAccesses(All, 1).front(), W32(0x80A2904578, 0x00000000));
  EXPECT_EQ(RasAccesses(All, 1).back(), W32(0x80A2808018, AFTER_8018));
  // Chip 0 finishes before chip 1 starts, and no third chip is touched.
  EXPECT_EQ(Timeline(All), (std::vector<std::string>{"program chip 0", "program chip 1"}));
  // The wide-board-id check and three chip counts each read the system configuration.
  EXPECT_EQ(simtest::CountAccesses(All, EventKind::Read32, SYS_CONFIG), 4u);
}

TEST_F(PortErrorSetupTest, ReadModifyWritesMergeTheValueReadOnChipOne) {
  const uint64_t Base = CHIP_STRIDE;
  SetReadModifyWriteRegisters(Base);
  Start();
  ProgramChipRasRegisters(1);
  const std::vector<Event> L = Hardware();
  struct Merge {
    uint64_t Address;
    uint32_t Read;
    uint32_t Written;
  };
  for (const Merge& M :
       {Merge{0x80A29073E4, 0xFFFFFFFF, 0xFFFFFFFD}, Merge{0x80A2808000, 0x00000000, 0x0002222A},
        Merge{0x80A2808010, 0x00000001, 0x02300001}}) {
    size_t I = 0;
    while (I < L.size() && L[I].Address != M.Address) {
      ++I;
    }
    ASSERT_LT(I + 1, L.size()) << std::hex << M.Address;
    EXPECT_EQ(L[I], R32(M.Address, M.Read));
    EXPECT_EQ(L[I + 1], W32(M.Address, M.Written)); // nothing in between
  }
}

TEST_F(PortErrorSetupTest, ChipCountIsTakenAgainBeforeEveryChip) {
  // Wide-board-id check, then the first count says two chips, the second only one.
  Script(SYS_CONFIG, {0x00, 0x20, 0x00});
  Start();
  EXPECT_EQ(RunDriver("PortErrorSetup"), 0u);
  EXPECT_EQ(Timeline(Hardware()), std::vector<std::string>{"program chip 0"});
}

struct CountCase {
  const char* Name;
  uint32_t PlatformId;
  uint32_t SysConfig;
  uint32_t Chips;
  // Console line of every chip count on a two-chip FPGA or emulator (the format engine gives the
  // console CR LF line ends).
  const char* TwoChipMessage;
};

void PrintTo(const CountCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class ChipCountTest : public PortErrorSetupTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(ChipCountTest, ProgramsEachCountedChipWithItsMessagesInOrder) {
  const CountCase& C = GetParam();
  const bool Silicon = C.PlatformId == 0;
  Set32(PLATFORM_ID, C.PlatformId);
  Set32(SYS_CONFIG, C.SysConfig);
  if (Silicon) {
    // With the ring present, silicon passes WARNING and up: INFO must still stay off the console.
    Set32(RING_BASE, 0xEAEA2020);
    Set32(RING_AREA_SIZE, 0x1000);
  }
  Start();
  EXPECT_EQ(RunDriver("PortErrorSetup"), 0u);
  if (Silicon) {
    // The ring probe of the first LogPrint: the done message was handed over, then filtered.
    EXPECT_EQ(Machine->Memory().Peek32(RING_LEVEL_IN_FORCE), 2u);
  }
  std::vector<std::string> Expected;
  for (uint32_t Chip = 0; Chip < C.Chips; ++Chip) {
    if (C.TwoChipMessage != nullptr) {
      Expected.push_back(C.TwoChipMessage);
    }
    Expected.push_back("program chip " + std::to_string(Chip));
    if (!Silicon) {
      Expected.push_back("chip[" + std::to_string(Chip) + "] pcie local ras init done\r\n");
    }
  }
  if (C.TwoChipMessage != nullptr) {
    Expected.push_back(C.TwoChipMessage);
  }
  EXPECT_EQ(Timeline(Events()), Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, ChipCountTest,
    ::testing::Values(CountCase{"Fpga6005", 0x00006005, 0, 1, nullptr},
                      CountCase{"Fpga6006", 0x00006006, 0, 2, "FPGA 2P, version is 0x6006\r\n"},
                      CountCase{"Fpga6007", 0x00006007, 0, 2, "FPGA 2P, version is 0x6007\r\n"},
                      CountCase{"Fpga6008", 0x00006008, 0, 1, nullptr},
                      CountCase{"Emu6005", 0x00016005, 0, 1, nullptr},
                      CountCase{"Emu6006", 0x00016006, 0, 2, "EMU 2P, version is 0x6006\r\n"},
                      CountCase{"Emu6007", 0x00016007, 0, 2, "EMU 2P, version is 0x6007\r\n"},
                      CountCase{"Emu6008", 0x00016008, 0, 1, nullptr},
                      CountCase{"Other6006", 0x00026006, 0, 1, nullptr},
                      CountCase{"Other6007", 0x00026007, 0, 1, nullptr},
                      CountCase{"SiliconBit5Clear", 0, 0xFFFF7FDF, 1, nullptr},
                      CountCase{"SiliconBit5Set", 0, 0x00000020, 2, nullptr}),
    [](const ::testing::TestParamInfo<CountCase>& Info) { return std::string(Info.param.Name); });

struct WideCase {
  const char* Name;
  uint32_t ChipVariant;
  uint32_t SysConfig;
};

void PrintTo(const WideCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class WideBoardIdTest : public PortErrorSetupTest,
                        public ::testing::WithParamInterface<WideCase> {};

// On a two-chip emulator, so that any chip count or program would show on the console.
TEST_P(WideBoardIdTest, LeavesEveryChipAlone) {
  Set32(CHIP_VARIANT, GetParam().ChipVariant);
  Set32(SYS_CONFIG, GetParam().SysConfig);
  Set32(PLATFORM_ID, 0x00016006);
  Start();
  EXPECT_EQ(RunDriver("PortErrorSetup"), 0u);
  EXPECT_EQ(Timeline(Events()), std::vector<std::string>{});
  EXPECT_EQ(Machine->Console(), "");
}

INSTANTIATE_TEST_SUITE_P(Boards, WideBoardIdTest,
                         ::testing::Values(WideCase{"ChipVariant3", 3, 0x00000020},
                                           WideCase{"SysConfigBit15", 1, 0x00008020}),
                         [](const ::testing::TestParamInfo<WideCase>& Info) {
                           return std::string(Info.param.Name);
                         });

} // namespace
