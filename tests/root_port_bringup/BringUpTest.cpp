// The bring-up flow: the board decision, the chip-variant-2 overrides, the slot type, and, on the
// driver image itself, the SSD link wait, the boot-trace line, the ExitBootServices hook and the
// console text.
#include "RootPortTest.h"

namespace rootport {
namespace {

using BringUpTest = RootPortTest;

enum class Path { None, Full, Single };

// Each decision row, told apart by what the path writes: 0xA20C0328 and the controllers
// enabled for the full path, controller 8 and its port-select bit afterwards for the single one,
// nothing at all otherwise.
TEST_F(BringUpTest, DecisionRows) {
  struct Case {
    const char* Name;
    uint32_t Variant, BoardId, SysConfig;
    Path Expected;
  };
  const Case Cases[] = {
      {"board 0x37", 1, 0x37, 0, Path::Full},
      {"board 0x0C", 1, 0x0C, 0, Path::Full},
      {"board 0x33", 1, 0x33, 0, Path::Full},
      {"board 0x37 on variant 3 hands over", 3, 0x37, 0, Path::Single},
      {"wide id, mode 3, flag 0", 1, 0x12, 0x8600, Path::Full},
      {"wide id, mode 3, flag 1", 1, 0x12, 0xA600, Path::None},
      {"variant 3 is wide: mode 3, flag 0", 3, 0x12, 0x600, Path::Single},
      {"variant 3, flag 0, slot type 2", 3, 0x12, 0x18000000, Path::Single},
      {"variant 3, flag 0, slot type 1", 3, 0x12, 0x10000000, Path::None},
      {"variant 1, flag 0, slot type 2", 1, 0x12, 0x18000000, Path::None},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Board = {};
    SetBoard(C.Variant, C.BoardId, C.SysConfig);
    Set32(0xA2916088, 0x40000);
    StartDirect();
    const EFI_STATUS Status = BringUpRootComplex();
    EXPECT_EQ(Status, EFI_SUCCESS);
    const std::vector<uint64_t> Subsystem = WritesTo(0xA20C0328);
    const std::vector<uint64_t> Enables = WritesTo(0xA2900004);
    switch (C.Expected) {
    case Path::None:
      EXPECT_TRUE(Writes().empty());
      EXPECT_TRUE(EventsOfKind(Events(), EventKind::Service).empty());
      EXPECT_EQ(Machine->Console(), "");
      break;
    case Path::Full:
      EXPECT_EQ(Subsystem, std::vector<uint64_t>{7});
      EXPECT_EQ(Writes().front(), W32(0xA20C0328, 7));
      EXPECT_EQ(Enables, (std::vector<uint64_t>{0x1, 0x5, 0x15}));
      break;
    case Path::Single: {
      EXPECT_TRUE(Subsystem.empty());
      EXPECT_EQ(Enables, std::vector<uint64_t>{0x1});
      // Controller 8's port-select bit comes right after its port is enabled.
      const std::vector<Event> W = Writes();
      const auto Enable = std::find(W.begin(), W.end(), W32(0xA2900004, 0x1));
      ASSERT_NE(Enable, W.end());
      ASSERT_NE(Enable + 1, W.end());
      EXPECT_EQ(*(Enable + 1), W32(0xA2820048, 0x100));
      EXPECT_EQ(WritesTo(0xA2820048), std::vector<uint64_t>{0x100});
      break;
    }
    }
  }
}

// Board 0x33 on chip variant 1: controllers 8, 9 and 10 each configured then enabled, in their
// own windows and bits, then the twenty global writes.
TEST_F(BringUpTest, ThreeControllersThenGlobalWrites) {
  SetBoard(1, 0x33);
  Set32(0xA2916088, 0x40000);
  StartDirect();
  EXPECT_EQ(BringUpRootComplex(), EFI_SUCCESS);
  std::vector<Event> Order;
  for (const Event& E : Writes()) {
    if (E.Address == 0xA2900000 || E.Address == 0xA2900004) {
      Order.push_back(E);
    }
  }
  const std::vector<Event> ExpectedOrder = {
      W32(0xA2900000, 0x10001),  W32(0xA2900000, 0), W32(0xA2900004, 0x1),
      W32(0xA2900000, 0x40004),  W32(0xA2900000, 0), W32(0xA2900004, 0x5),
      W32(0xA2900000, 0x100010), W32(0xA2900000, 0), W32(0xA2900004, 0x15)};
  EXPECT_EQ(Order, ExpectedOrder);
  EXPECT_EQ(WritesTo(0xA2820048), (std::vector<uint64_t>{0x100, 0x300, 0x700}));
  EXPECT_EQ(WritesTo(0xA29000BC), (std::vector<uint64_t>{0x3, 0x3, 0, 0xC, 0xC, 0, 0x30, 0x30, 0}));
  EXPECT_EQ(WritesTo(0xA2907304), std::vector<uint64_t>{0});
  EXPECT_EQ(WritesTo(0xA290F304), std::vector<uint64_t>{2});
  EXPECT_EQ(WritesTo(0xA2917304), std::vector<uint64_t>{4});
  EXPECT_EQ(WritesTo(0xA29D110C), std::vector<uint64_t>{0x100000});
  EXPECT_EQ(WritesTo(0xA29D120C), std::vector<uint64_t>{0x100000});
  EXPECT_EQ(Reads(0xA290CB24), 2u);
  EXPECT_EQ(Reads(0xA2914B24), 2u);

  // Right after controller 10's enable: twenty plain writes, no read between them.
  const std::vector<Event> All = Accesses();
  const auto Enable = std::find(All.begin(), All.end(), W32(0xA2900004, 0x15));
  ASSERT_GE(All.end() - Enable, 21);
  // clang-format off
  const std::vector<Event> Globals = {
      W32(0xA2801264, 0x00000000), W32(0xA2801268, 0xD0000000), W32(0xA280126C, 0x00000000),
      W32(0xA2805504, 0x00000000), W32(0xA2805508, 0x87010040), W32(0xA2805500, 0x00000001),
      W32(0xA2800008, 0x00000040), W32(0xA280000C, 0x00000000), W32(0xA2800014, 0x00000040),
      W32(0xA2800010, 0x00000000), W32(0xA280001C, 0x00000040), W32(0xA2800018, 0x00000000),
      W32(0xA2800000, 0x00000001), W32(0xA2800048, 0x00000000), W32(0xA280004C, 0x08000000),
      W32(0xA2800054, 0x00000000), W32(0xA2800050, 0xE0000000), W32(0xA280005C, 0x00000000),
      W32(0xA2800058, 0xE0000000), W32(0xA2800040, 0x00000001)};
  // clang-format on
  EXPECT_EQ(std::vector<Event>(Enable + 1, Enable + 21), Globals);
}

// No row matches: the identification reads and nothing else.
TEST_F(BringUpTest, NoBringUpReadsIdentificationOnly) {
  SetBoard(1, 0x12, 0x2000);
  StartDirect();
  EXPECT_EQ(BringUpRootComplex(), EFI_SUCCESS);
  const std::vector<Event> Expected = {
      R32(CHIP_VARIANT, 1),                                                  // chip variant
      R32(CHIP_VARIANT, 1),    R32(SYS_CONFIG, 0x2000), R32(BOARD_ID, 0x12), // board id
      R32(SYS_CONFIG, 0x2000),                                               // mode
      R32(PLATFORM_ID, 0),     R32(SYS_CONFIG, 0x2000),                      // flag
      R32(CHIP_VARIANT, 1),    R32(SYS_CONFIG, 0x2000),                      // wide board id
      R32(PLATFORM_ID, 0),     R32(SYS_CONFIG, 0x2000),                      // slot type
  };
  EXPECT_EQ(Events(), Expected);
}

// Board 0x0C on chip variant 2: controller 8 alone, with eight lanes and width-class row 5, and
// the overrides left in the parameter set.
TEST_F(BringUpTest, Variant2Overrides) {
  SetBoard(2, 0x0C);
  Set32(0xA2916088, 0x40000);
  StartDirect();
  EXPECT_EQ(BringUpRootComplex(), EFI_SUCCESS);
  EXPECT_EQ(Writes().front(), W32(0xA20C0328, 7));
  EXPECT_EQ(WritesTo(0xA29000BC), (std::vector<uint64_t>{0xFF, 0xFF, 0}));
  EXPECT_EQ(WritesTo(0xA290504C), std::vector<uint64_t>{0x84});
  const std::vector<std::pair<uint64_t, uint64_t>> Row5 = {
      {0xA2904B1C, 0x02000068}, {0xA2904B20, 0x00100068}, {0xA2904B24, 0x02000068},
      {0xA2904B88, 0x0200F068}, {0xA2904B8C, 0x0010F068}, {0xA2904B90, 0x0200F068}};
  for (const auto& [Address, Value] : Row5) {
    EXPECT_EQ(WritesTo(Address), std::vector<uint64_t>{Value}) << std::hex << Address;
  }
  // Only controller 8's window, the MAC width lanes, and controller 10's link status.
  for (const Event& E : Hardware()) {
    if (E.Address >= 0xA2908000 && E.Address < 0xA2918000) {
      EXPECT_EQ(E, R32(0xA2916088, 0x40000));
    }
    if (E.Address >= 0xA29D0000 && E.Address < 0xA29E0000) {
      EXPECT_TRUE(E.Address == 0xA29D0378 || E.Address == 0xA29D100C) << std::hex << E.Address;
    }
  }
  EXPECT_EQ(ControllerParams.LaneCount, 8u);
  EXPECT_EQ(ControllerParams.WidthClass, 3u);
  EXPECT_EQ(ControllerParams.LaneWinCount, 8u);
}

TEST_F(BringUpTest, SlotType) {
  struct Case {
    uint32_t Platform, SysConfig, Expected;
    const char* Console;
  };
  const Case Cases[] = {
      {0x00030200, 0, 2, ""}, // FPGA: bit 9 of the platform identification
      {0x00030000, 0x1C000000, 1, ""},
      {PLATFORM_EMULATOR, 0 << 26, 4, ""},
      {PLATFORM_EMULATOR, 3u << 26, 4, ""},
      {PLATFORM_EMULATOR, 4u << 26, 1, ""},
      {PLATFORM_EMULATOR, 5u << 26, 1, "Unknown slot id 0x5, return default TYPE_1P\r\n"},
      {PLATFORM_EMULATOR, 6u << 26, 2, ""},
      {0, 7u << 26, 2, ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Platform << " " << C.SysConfig);
    Board = {};
    SetBoard(1, 0, C.SysConfig, C.Platform);
    StartDirect();
    EXPECT_EQ(GetSlotType(), C.Expected);
    EXPECT_EQ(Machine->Console(), C.Console);
  }
}

// The driver image on the emulator, board 0x33, chip variant 1: from the last global write on.
class DriverRunTest : public RootPortTest {
protected:
  void SetUp() override { SetBoard(1, 0x33, 0, PLATFORM_EMULATOR); }
  std::vector<Event> AfterGlobalWrites() {
    const std::vector<Event>& All = Events();
    const auto Last = std::find(All.rbegin(), All.rend(), W32(0xA2800040, 1));
    EXPECT_NE(Last, All.rend());
    return WithoutConsole(std::vector<Event>(Last.base(), All.end()));
  }
};

const char* const ENABLE_LINES = "MAC set data width 8bit\r\nstart enable pcie port.\r\n"
                                 "MAC set data width 8bit\r\nstart enable pcie port.\r\n"
                                 "MAC set data width 8bit\r\nstart enable pcie port.\r\n";

TEST_F(DriverRunTest, SsdLinkWait) {
  struct Case {
    const char* Name;
    std::vector<uint32_t> LinkStatus;
    uint32_t BootCounter;
    std::vector<Event> Polls;
    std::string Lines;
  };
  std::vector<Event> Never;
  for (int Poll = 0; Poll < 49; ++Poll) {
    Never.push_back(R32(0xA2916088, 0));
    Never.push_back(Delay(10000));
  }
  Never.push_back(R32(PLATFORM_ID, PLATFORM_EMULATOR)); // the timeout line
  const Case Cases[] = {
      {"up at once", {0x40000}, 0, {R32(0xA2916088, 0x40000)}, "[0.000] [BOOT_TRACE]link up\r\n"},
      {"up at the third poll",
       {0, 0xFFFBFFFF, 0x40000},
       5007u * 38400, // 5.007 s
       {R32(0xA2916088, 0), Delay(10000), R32(0xA2916088, 0xFFFBFFFF), Delay(10000),
        R32(0xA2916088, 0x40000)},
       "[5.007] [BOOT_TRACE]link up\r\n"},
      {"never up",
       {},
       61234u * 38400, // 61.234 s
       Never,
       "SSD link up wait timeout!\r\n[61.234] [BOOT_TRACE]link up\r\n"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Board = {};
    SetUp();
    Script(0xA2916088, C.LinkStatus);
    Set32(BOOT_COUNTER, C.BootCounter);
    Start();
    EXPECT_EQ(RunDriver("RootPortBringup"), EFI_SUCCESS);
    std::vector<Event> Expected = {R32(PLATFORM_ID, PLATFORM_EMULATOR)}; // "Wait PCIE SSD..."
    Expected.insert(Expected.end(), C.Polls.begin(), C.Polls.end());
    const std::vector<Event> Trace = {R32(BOOT_COUNTER, C.BootCounter),
                                      R32(PLATFORM_ID, PLATFORM_EMULATOR),
                                      Service("CreateEvent 0x201 16", EFI_SUCCESS),
                                      {EventKind::Exit, 0, EFI_SUCCESS, "RootPortBringup"}};
    Expected.insert(Expected.end(), Trace.begin(), Trace.end());
    EXPECT_EQ(AfterGlobalWrites(), Expected);
    EXPECT_EQ(Machine->Console(), std::string(ENABLE_LINES) + "Wait PCIE SSD...\r\n" + C.Lines);
  }
}

// ExitBootServices clears every port-enable bit with one write and nothing else.
TEST_F(DriverRunTest, ExitBootServicesDisablesPorts) {
  Set32(0xA2916088, 0x40000);
  Start();
  EXPECT_EQ(RunDriver("RootPortBringup"), EFI_SUCCESS);
  EXPECT_EQ(WritesTo(0xA2900004), (std::vector<uint64_t>{0x1, 0x5, 0x15}));
  ClearEvents();
  uint64_t Status = 1;
  EXPECT_EQ(sim::MakeCall(*Engine, *Machine, {"ExitBootServices", {}}, Status),
            sim::CallOutcome::Done);
  EXPECT_EQ(Hardware(), std::vector<Event>{W32(0xA2900004, 0)});
}

// A failed CreateEvent aborts the driver after all its register work and log lines, and leaves
// no hook behind.
TEST_F(DriverRunTest, CreateEventFailureAborts) {
  Set32(0xA2916088, 0x40000);
  Board.Fail["CreateEvent"] = EFI_OUT_OF_RESOURCES;
  Start();
  EXPECT_EQ(RunDriver("RootPortBringup"), EFI_ABORTED);
  const std::vector<Event> Expected = {R32(PLATFORM_ID, PLATFORM_EMULATOR),
                                       R32(0xA2916088, 0x40000),
                                       R32(BOOT_COUNTER, 0),
                                       R32(PLATFORM_ID, PLATFORM_EMULATOR),
                                       Service("CreateEvent 0x201 16", EFI_OUT_OF_RESOURCES),
                                       {EventKind::Exit, 0, EFI_ABORTED, "RootPortBringup"}};
  EXPECT_EQ(AfterGlobalWrites(), Expected);
  EXPECT_EQ(Machine->Console(),
            std::string(ENABLE_LINES) + "Wait PCIE SSD...\r\n[0.000] [BOOT_TRACE]link up\r\n");
  ClearEvents();
  uint64_t Status = 1;
  sim::MakeCall(*Engine, *Machine, {"ExitBootServices", {}}, Status);
  EXPECT_TRUE(Hardware().empty());
}

} // namespace
} // namespace rootport
