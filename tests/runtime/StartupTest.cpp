// Image start-up: stack-guard seeding, the constructors in order, the driver's status passed
// back unchanged, and the stack-check failure routine.
#include <Library/DebugLogLib.h>
#include <Library/StackCheckLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include "SimTest.h"

namespace {

using namespace simtest;

constexpr uint64_t RNG0 = 0x881100F0;
constexpr uint64_t RNG1 = 0x881100F4;
constexpr uint64_t BUILD_GUARD = 0x5A17C0DE0BADF00DULL;

constexpr uint64_t PROBE_STATUS_LOW = 0xF0000000;
constexpr uint64_t PROBE_STATUS_HIGH = 0xF0000004;

class StartupTest : public SimTest {
protected:
  void SetUp() override { __stack_chk_guard = BUILD_GUARD; }
  void TearDown() override {
    __stack_chk_guard = BUILD_GUARD;
    SimTest::TearDown();
  }
};

TEST_F(StartupTest, BothGeneratorWordsOnFirstReadFillTheGuardLowHalfFirst) {
  Set32(RNG0, 0x1234ABCD);
  Set32(RNG1, 0x9876FEDC);
  Start();
  SeedStackGuard();
  EXPECT_EQ(Hardware(), (std::vector<Event>{R32(RNG0, 0x1234ABCD), R32(RNG1, 0x9876FEDC)}));
  EXPECT_EQ(__stack_chk_guard, 0x9876FEDC1234ABCDULL);
}

TEST_F(StartupTest, TenthReadStillCounts) {
  Script(RNG0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x55});
  Set32(RNG1, 0x66);
  Start();
  SeedStackGuard();
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, RNG0), 10u);
  EXPECT_EQ(__stack_chk_guard, 0x0000006600000055ULL);
}

TEST_F(StartupTest, TenZeroReadsKeepTheBuildGuardAndSkipTheSecondWord) {
  Set32(RNG1, 0x66);
  Start();
  SeedStackGuard();
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, RNG0), 10u);
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, RNG1), 0u);
  EXPECT_EQ(__stack_chk_guard, BUILD_GUARD);
}

TEST_F(StartupTest, SecondWordMissingKeepsTheWholeBuildGuard) {
  Set32(RNG0, 0x55);
  Start();
  SeedStackGuard();
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, RNG0), 1u);
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, RNG1), 10u);
  EXPECT_EQ(__stack_chk_guard, BUILD_GUARD);
}

TEST_F(StartupTest, EntryRunsConstructorsInOrderThenReturnsTheDriverStatusUnchanged) {
  Set32(RNG0, 1);
  Set32(RNG1, 2);
  Set32(PROBE_STATUS_LOW, 0x7);
  Set32(PROBE_STATUS_HIGH, 0x80000000);
  Start();
  EXPECT_EQ(RunDriver("StartupProbe"), EFI_DEVICE_ERROR);
  // Guard, then the console, then the section registry with its configuration table, then the
  // driver's own logic.
  const std::vector<Event> Expected = {
      {EventKind::Entry, 0, 0, "StartupProbe"},
      R32(RNG0, 1),
      R32(RNG1, 2),
      R32(0x840C0030, 0),
      R32(0x840C0018, 0x90),
      W32(0x840C0030, 0),
      W32(0x840C0024, 108),
      W32(0x840C0028, 32),
      W32(0x840C002C, 0x70),
      W32(0x840C0004, 0),
      W32(0x840C0030, 0x301),
      Service("AllocatePool 4 16", EFI_SUCCESS),
      Service("InstallConfigurationTable EE4E5898-3914-4259-9D6E-DC7BD79403CF", EFI_SUCCESS),
      R32(PROBE_STATUS_LOW, 0x7),
      R32(PROBE_STATUS_HIGH, 0x80000000),
      {EventKind::Exit, 0, EFI_DEVICE_ERROR, "StartupProbe"},
  };
  EXPECT_EQ(Events(), Expected);
  ASSERT_EQ(Engine->Fw().ConfigurationTables().size(), 1u);
  const auto* Copy = reinterpret_cast<const UINT8*>(Engine->Fw().ConfigurationTables()[0].Table);
  const UINT8 LzmaGuidBytes[16] = {0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42,
                                   0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF};
  EXPECT_EQ(std::vector<UINT8>(Copy, Copy + 16),
            std::vector<UINT8>(LzmaGuidBytes, LzmaGuidBytes + 16));
  EXPECT_EQ(Engine->Fw().Pool().size(), 1u);
}

TEST_F(StartupTest, EveryImageInstallsTheTableAgainUnderTheSameGuid) {
  Start();
  RunDriver("StartupProbe");
  RunDriver("StartupProbe");
  EXPECT_EQ(Engine->Fw().ConfigurationTables().size(), 1u);
  EXPECT_EQ(Engine->Fw().Pool().size(), 2u);
}

TEST_F(StartupTest, FailedGuidCopyAllocationSkipsTheTableAndStartUpGoesOn) {
  Board.Fail = {{"AllocatePool", EFI_OUT_OF_RESOURCES}};
  Start();
  EXPECT_EQ(RunDriver("StartupProbe"), EFI_SUCCESS);
  EXPECT_TRUE(Engine->Fw().ConfigurationTables().empty());
  EXPECT_EQ(EventsOfKind(Events(), EventKind::Service),
            (std::vector<Event>{Service("AllocatePool 4 16", EFI_OUT_OF_RESOURCES)}));
  EXPECT_EQ(CountAccesses(Events(), EventKind::Read32, PROBE_STATUS_LOW), 1u);
}

// A guarded frame whose copy no longer matches the guard ends in the dead loop: the simulator
// stops the run there instead of spinning, and names the image.
TEST_F(StartupTest, GuardMismatchEndsInTheDeadLoop) {
  Set32(0x8000FFFC, 0x00010000); // emulator: LogPrint echoes to the console
  Start();
  Machine->SetRunningImage("GuardTest");
  Machine->SetConsoleSink([](char) { __stack_chk_guard ^= 1; });
  const bool Completed = Machine->RunGuarded([](void*) { LogPrint(LOG_ERROR, "x"); }, nullptr);
  EXPECT_FALSE(Completed);
  EXPECT_EQ(Machine->Stopped(), sim::StopKind::StackCheckFailure);
  EXPECT_NE(Machine->StopMessage().find("GuardTest"), std::string::npos);
}

} // namespace
