// ConfigureController and SetMacDataWidth against literal access lists: every read, write and
// delay in order, with the values the register space gives back.
#include "RootPortTest.h"

namespace rootport {
namespace {

using ConfigureControllerTest = RootPortTest;

// Controller 8 with the build-time parameters on chip variant 1, board 0x33, every controller
// register starting at 0. One line per register step.
TEST_F(ConfigureControllerTest, Controller8DefaultsOnVariant1) {
  SetBoard(1, 0x33);
  StartDirect();
  ConfigureController(8);
  // clang-format off
  const std::vector<Event> Expected = {
      // Pulse of the controller's shared bits, then the port mode.
      R32(CHIP_VARIANT, 1),
      R32(0xA2820048, 0), W32(0xA2820048, 0x100),
      R32(0xA2900000, 0), W32(0xA2900000, 0x10001),
      R32(0xA2900008, 0), W32(0xA2900008, 0x1),
      R32(0xA29000BC, 0), W32(0xA29000BC, 0x3),
      Delay(1),
      R32(0xA29000BC, 0x3), W32(0xA29000BC, 0x3),
      R32(0xA29000BC, 0x3), W32(0xA29000BC, 0),
      R32(0xA2900000, 0x10001), W32(0xA2900000, 0),
      R32(0xA2900008, 0x1), W32(0xA2900008, 0),
      Delay(1),
      R32(0xA2900080, 0), W32(0xA2900080, 0x1),
      // Configuration-space image.
      R32(CHIP_VARIANT, 1),
      R32(0xA290504C, 0), W32(0xA290504C, 0x24),
      R32(0xA2905070, 0), W32(0xA2905070, 0x4),
      R32(0xA2905000, 0), W32(0xA2905000, 0x19E5),
      R32(CHIP_VARIANT, 1), R32(SYS_CONFIG, 0), R32(BOARD_ID, 0x33),
      R32(0xA2905064, 0), W32(0xA2905064, 0xE),
      W32(0xA2905068, 0x9),
      // Link and MAC parameters, with the MAC data width and its log line.
      R32(0xA29070A0, 0), W32(0xA29070A0, 0x5D1D081D),
      R32(0xA290709C, 0), W32(0xA290709C, 0x99),
      R32(CHIP_VARIANT, 1),
      R32(0xA29072EC, 0), W32(0xA29072EC, 0x700),
      R32(CHIP_VARIANT, 1),
      R32(0xA29072EC, 0x700), R32(PLATFORM_ID, 0), W32(0xA29072EC, 0xF00),
      R32(0xA29D0378, 0), W32(0xA29D0378, 0x100000),
      R32(0xA29D100C, 0), W32(0xA29D100C, 0x100000),
      R32(0xA29073A0, 0), W32(0xA29073A0, 0),
      R32(0xA2907304, 0), W32(0xA2907304, 0),
      R32(0xA29072C4, 0), W32(0xA29072C4, 0x190),
      R32(0xA29072C8, 0), W32(0xA29072C8, 0x01F40000),
      W32(0xA29060E8, 0xF),
      // Width-class row 7.
      R32(CHIP_VARIANT, 1),
      R32(0xA2904B1C, 0), W32(0xA2904B1C, 0x00780018),
      R32(0xA2904B20, 0), W32(0xA2904B20, 0x00020018),
      R32(0xA2904B24, 0), W32(0xA2904B24, 0x00200008),
      R32(0xA2904B88, 0), W32(0xA2904B88, 0x00785018),
      R32(0xA2904B8C, 0), W32(0xA2904B8C, 0x00025018),
      R32(0xA2904B90, 0), W32(0xA2904B90, 0x00205008),
      R32(0xA2904B94, 0), W32(0xA2904B94, 0x101),
      R32(0xA2904B28, 0), W32(0xA2904B28, 0x1),
      R32(0xA2904000, 0), W32(0xA2904000, 0x7),
      R32(0xA2904FFC, 0), W32(0xA2904FFC, 0x2),
      // Root-complex globals.
      R32(CHIP_VARIANT, 1),
      R32(0xA28008E0, 0), W32(0xA28008E0, 0x20),
      R32(0xA2905204, 0), W32(0xA2905204, 0),
      R32(0xA2802000, 0), W32(0xA2802000, 0x8),
      W32(0xA2805F08, 0x200),
      W32(0xA2805F00, 0x1),
      R32(0xA2805F10, 0), W32(0xA2805F10, 0),
      W32(0xA2805F00, 0),
      W32(0xA2805F04, 0x1),
      R32(0xA2805F1C, 0), W32(0xA2805F0C, 0),
      W32(0xA2805F04, 0),
      R32(0xA2806100, 0), W32(0xA2806100, 0x30),
      W32(0xA2801800, 0xFFFFF),
      R32(0xA2813230, 0), W32(0xA2813230, 0x800),
      R32(0xA2813238, 0), W32(0xA2813238, 0),
      R32(0xA2802000, 0x8), W32(0xA2802000, 0x88),
      R32(0xA2802008, 0), W32(0xA2802008, 0xC0),
      R32(0xA2800320, 0), W32(0xA2800320, 0xC0),
      R32(0xA2904B24, 0x00200008), R32(0xA28003A0, 0), W32(0xA28003A0, 0x00080008),
      W32(0xA2802010, 0xB00F),
      W32(0xA280200C, 0x394100),
      W32(0xA2800500, 0x33450), W32(0xA2800504, 0x33450),
      W32(0xA2800508, 0x33450), W32(0xA280050C, 0x33450),
      // Closing steps; no lane loop on this variant.
      W32(0xA280680C, 0x13E51),
      W32(0xA280F2D8, 0),
      W32(0xA2907050, 0x3),
      R32(0xA2900008, 0), W32(0xA2900008, 0),
      R32(0xA290000C, 0), W32(0xA290000C, 0),
      R32(CHIP_VARIANT, 1),
  };
  // clang-format on
  EXPECT_EQ(Accesses(), Expected);
}

// Chip variant 3: no port-select bit, fixed identifiers, the variant-only steps, the second set
// of 0xA28008E0 and two lanes of the lane window. The registers start as all ones, so that every
// clear and every field shows in the values written (the sets show in the list above); the two
// lane registers start at 0 to show their two separate sets.
TEST_F(ConfigureControllerTest, Controller8OnVariant3) {
  // clang-format off
  const std::vector<Event> Expected = {
      W32(0xA2900000, 0xFFFFFFFF), W32(0xA2900008, 0xFFFFFFFF), W32(0xA29000BC, 0xFFFFFFFF),
      W32(0xA29000BC, 0xFFFEFFFF), W32(0xA29000BC, 0xFFFEFFFC), W32(0xA2900000, 0xFFFEFFFE),
      W32(0xA2900008, 0xFFFFFFFE), W32(0xA2900080, 0xFFFFFFFF),
      W32(0xA290504C, 0xFFFFFC24), W32(0xA2905070, 0xFFFFFFF4), W32(0xA2905000, 0xD5032092),
      W32(0xA2905064, 0xFFFFFFFE), W32(0xA2905068, 0x9), W32(0xA2905048, 0xFFFFFF5F),
      W32(0xA29070A0, 0xDD9D081D), W32(0xA290709C, 0xFFFFFF99), W32(0xA29072EC, 0xFFFFFF80),
      W32(0xA29072EC, 0xFFFFFF80), W32(0xA29D100C, 0xFFFFFFFF),
      W32(0xA29073A0, 0xFFFFFFFE), W32(0xA2907304, 0xFFFFFFFF), W32(0xA29072C4, 0xFFFFFD90),
      W32(0xA29072C8, 0xF9F4FFFF), W32(0xA290531C, 0x79797979), W32(0xA29058A0, 0x9999),
      W32(0xA290736C, 0xFFFFFF7F), W32(0xA2907368, 0), W32(0xA29060E8, 0xF),
      W32(0xA2904B1C, 0x0078F018), W32(0xA2904B20, 0x0002F018), W32(0xA2904B24, 0x0020F008),
      W32(0xA2904B88, 0x00785018), W32(0xA2904B8C, 0x00025018), W32(0xA2904B90, 0x00205008),
      W32(0xA2904B94, 0xFFFFFFFF), W32(0xA2904B28, 0xFFFFFFFF), W32(0xA2904FFC, 0xFFFFFFFF),
      W32(0xA2905310, 0x630FFFFF), W32(0xA29054E0, 0), W32(0xA29054E4, 0), W32(0xA29054E8, 0),
      W32(0xA29044EC, 0xFDFFFFFF), W32(0xA2904000, 0xFFFFFFF7), W32(0xA2905058, 0xFFFFFFFF),
      W32(0xA290505C, 0xFFFFFFFF), W32(0xA290504C, 0xFFFFF024),
      W32(0xA28008E0, 0xFFFFFFFF), W32(0xA28008E0, 0xFFFFFFFF), W32(0xA2813230, 0xFFFFFFFF),
      W32(0xA2813238, 0xFFFFF800), W32(0xA2805814, 0), W32(0xA2805808, 0xFFFFFFFF),
      W32(0xA2805820, 0xFFFFFFFF), W32(0xA2802008, 0xFFFFFFC0), W32(0xA2800320, 0xFFFFFFC0),
      W32(0xA28003A0, 0x00320200), W32(0xA2802010, 0xFFFFB0FF),
      W32(0xA280680C, 0x13E51), W32(0xA280F2D8, 0), W32(0xA2907050, 0x3),
      W32(0xA2900008, 0xFFFEFFFE), W32(0xA290000C, 0xFFFEFFFF),
      W32(0xA29D1010, 0x20), W32(0xA29D1010, 0x30), W32(0xA29D1090, 0x20), W32(0xA29D1090, 0x30),
  };
  // clang-format on
  SetBoard(3, 0x33);
  for (const Event& E : Expected) {
    if (E.Address != 0xA29D1010 && E.Address != 0xA29D1090) {
      Set32(E.Address, 0xFFFFFFFF);
    }
  }
  StartDirect();
  ConfigureController(8);
  EXPECT_EQ(Writes(), Expected);
  EXPECT_EQ(Reads(0xA28008E0), 2u);
  EXPECT_EQ(Reads(0xA2820048), 0u);
  EXPECT_EQ(Reads(0xA29D0378), 0u);
  EXPECT_EQ(Reads(CHIP_VARIANT), 8u); // 7 "read variant" points and the board-id reader's own
}

// Controller 9 with the optional steps switched on and non-default values, on the registers
// that they change, in order.
TEST_F(ConfigureControllerTest, Controller9WithOtherParameters) {
  ControllerParams.PortMode = 0;
  ControllerParams.WidthClass = 4; // row 0
  ControllerParams.Shared08HighBit = 1;
  ControllerParams.Shared0CHighBit = 1;
  ControllerParams.SkipCtl18Setup = 0;
  ControllerParams.Ctl2ECFields[0] = 1; // bit 9
  ControllerParams.Ctl2ECFields[1] = 0; // bit 8
  ControllerParams.Ctl2ECFields[2] = 5; // bits 5:3
  ControllerParams.Ctl2ECFields[3] = 1; // bit 6
  ControllerParams.Ctl2ECFields[4] = 3; // bits 2:0
  ControllerParams.Ctl2ECFields[5] = 0; // bit 10
  ControllerParams.MacLaneCount = 2;
  ControllerParams.MacDataWidth16 = 1;
  ControllerParams.Ctl6DCEnable = 1;
  SetBoard(1, 0x33, 0, PLATFORM_EMULATOR);
  for (uint64_t Address : {0xA2900080ULL, 0xA29D110CULL, 0xA29D118CULL}) {
    Set32(Address, 0xFFFFFFFF);
  }
  StartDirect();
  ConfigureController(9);
  const std::vector<uint64_t> Watched = {0xA2900008, 0xA2900080, 0xA290D068, 0xA290F018, 0xA290F01C,
                                         0xA290F0A0, 0xA290F2EC, 0xA29D110C, 0xA29D118C, 0xA290F304,
                                         0xA290E0DC, 0xA290E0E8, 0xA290CB1C, 0xA290000C};
  std::vector<Event> Seen;
  for (const Event& E : Writes()) {
    if (std::find(Watched.begin(), Watched.end(), E.Address) != Watched.end()) {
      Seen.push_back(E);
    }
  }
  // clang-format off
  const std::vector<Event> Expected = {
      W32(0xA2900008, 0x4), W32(0xA2900008, 0), W32(0xA2900080, 0xFFFFFFFB),
      W32(0xA290D068, 0x9), W32(0xA290F018, 0x1), W32(0xA290F01C, 0x3),
      W32(0xA290F0A0, 0x5D1D081D), W32(0xA290F2EC, 0x26B),
      W32(0xA290F2EC, 0x26B), W32(0xA29D110C, 0xFFEFFFFF), W32(0xA29D118C, 0xFFEFFFFF),
      W32(0xA290F304, 0x3), W32(0xA290E0DC, 0x1), W32(0xA290E0E8, 0xF),
      W32(0xA290CB1C, 0x0400007F),
      W32(0xA2900008, 0x40000), W32(0xA290000C, 0x40000),
  };
  // clang-format on
  EXPECT_EQ(Seen, Expected);
  EXPECT_EQ(Machine->Console(), "MAC set data width 16bit\r\n");
}

// Bit 31 of configuration register 0x704 is cleared for boards 455 to 474; the board id is read
// a second time only when it is above 454.
TEST_F(ConfigureControllerTest, BoardIdWindowOfConfigRegister704) {
  struct Case {
    uint32_t BoardId;
    size_t BoardIdReads;
    std::vector<uint64_t> Written;
  };
  const Case Cases[] = {{454, 1, {}}, {455, 2, {0x7FFFFFFF}}, {474, 2, {0x7FFFFFFF}}, {475, 2, {}}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.BoardId);
    Board = {};
    SetBoard(1, C.BoardId);
    Set32(0xA2905704, 0xFFFFFFFF);
    StartDirect();
    ConfigureController(8);
    EXPECT_EQ(Reads(BOARD_ID), C.BoardIdReads);
    EXPECT_EQ(WritesTo(0xA2905704), C.Written);
  }
}

// The global-register block of chip variant 1 on registers that read all ones, and the width
// value copied into 0xA28003A0 as the controller's register holds it at that moment.
TEST_F(ConfigureControllerTest, GlobalRegistersFromAllOnes) {
  SetBoard(1, 0x33);
  for (uint64_t Address :
       {0xA28008E0ULL, 0xA2905204ULL, 0xA2802000ULL, 0xA2805F10ULL, 0xA2805F1CULL, 0xA2806100ULL,
        0xA2813230ULL, 0xA2813238ULL, 0xA2802008ULL, 0xA2800320ULL}) {
    Set32(Address, 0xFFFFFFFF);
  }
  Set32(0xA28003A0, 0xA5A5A5A5);
  Script(0xA2904B24, {0, 0xFFFFFFFF}); // the width-class write, then the read for the copy
  StartDirect();
  ConfigureController(8);
  std::vector<Event> Globals;
  for (const Event& E : Writes()) {
    if (E.Address >= 0xA2800000 && E.Address < 0xA2900000 && E.Address != 0xA2820048) {
      Globals.push_back(E);
    }
  }
  const std::vector<Event> Expected = {
      W32(0xA28008E0, 0xFFFFFFFF), W32(0xA2802000, 0xFFFFFFFF), W32(0xA2805F08, 0x200),
      W32(0xA2805F00, 0x1),        W32(0xA2805F10, 0xFFFFEFFF), W32(0xA2805F00, 0),
      W32(0xA2805F04, 0x1),        W32(0xA2805F0C, 0xFFFFEFFF), W32(0xA2805F04, 0),
      W32(0xA2806100, 0xFFFFFFFF), W32(0xA2801800, 0xFFFFF),    W32(0xA2813230, 0xFFFFFFFF),
      W32(0xA2813238, 0xFFFFF800), W32(0xA2802000, 0xFFFFFFFF), W32(0xA2802008, 0xFFFFFFC0),
      W32(0xA2800320, 0xFFFFFFC0), W32(0xA28003A0, 0xAFFFAFFF), W32(0xA2802010, 0xB00F),
      W32(0xA280200C, 0x394100),   W32(0xA2800500, 0x33450),    W32(0xA2800504, 0x33450),
      W32(0xA2800508, 0x33450),    W32(0xA280050C, 0x33450),    W32(0xA280680C, 0x13E51),
      W32(0xA280F2D8, 0),
  };
  EXPECT_EQ(Globals, Expected);
  EXPECT_EQ(WritesTo(0xA2905204), std::vector<uint64_t>{0xFFFFFFFB});
}

using PortControlTest = RootPortTest;

// SetMacDataWidth on the emulator, where its log lines reach the console.
TEST_F(PortControlTest, MacDataWidth) {
  struct Case {
    const char* Name;
    uint32_t Variant, Index, Lanes;
    int32_t Width;
    std::vector<std::pair<uint64_t, uint32_t>> Preset;
    std::vector<Event> Expected;
    const char* Console;
  };
  const uint64_t Kind = PLATFORM_EMULATOR;
  const Case Cases[] = {
      {"8 bits, one lane",
       1,
       8,
       1,
       8,
       {},
       {R32(CHIP_VARIANT, 1), R32(0xA29072EC, 0), R32(PLATFORM_ID, Kind), W32(0xA29072EC, 0x800),
        R32(0xA29D0378, 0), W32(0xA29D0378, 0x100000), R32(0xA29D100C, 0),
        W32(0xA29D100C, 0x100000)},
       "MAC set data width 8bit\r\n"},
      {"16 bits, controller 9 at lane 2",
       1,
       9,
       1,
       16,
       {{0xA290F2EC, 0xFFFFFFFF}, {0xA29D0378, 0xFFFFFFFF}, {0xA29D110C, 0xFFFFFFFF}},
       {R32(CHIP_VARIANT, 1), R32(0xA290F2EC, 0xFFFFFFFF), R32(PLATFORM_ID, Kind),
        W32(0xA290F2EC, 0xFFFFF7FF), R32(0xA29D0378, 0xFFFFFFFF), W32(0xA29D0378, 0xFFEFFFFF),
        R32(0xA29D110C, 0xFFFFFFFF), W32(0xA29D110C, 0xFFEFFFFF)},
       "MAC set data width 16bit\r\n"},
      {"other width rewrites unchanged",
       1,
       8,
       1,
       12,
       {{0xA29072EC, 0x12345678}, {0xA29D0378, 0x0F0F0F0F}, {0xA29D100C, 0xFFFFFFFF}},
       {R32(CHIP_VARIANT, 1), R32(0xA29072EC, 0x12345678), W32(0xA29072EC, 0x12345678),
        R32(0xA29D0378, 0x0F0F0F0F), W32(0xA29D0378, 0x0F0F0F0F), R32(0xA29D100C, 0xFFFFFFFF),
        W32(0xA29D100C, 0xFFFFFFFF)},
       ""},
      {"no lanes",
       1,
       8,
       0,
       8,
       {},
       {R32(CHIP_VARIANT, 1), R32(0xA29072EC, 0), R32(PLATFORM_ID, Kind), W32(0xA29072EC, 0x800),
        R32(0xA29D0378, 0), W32(0xA29D0378, 0x100000)},
       "MAC set data width 8bit\r\n"},
      {"variant 3, controller 10, two lanes",
       3,
       10,
       2,
       8,
       {},
       {R32(CHIP_VARIANT, 3), R32(0xA29172EC, 0), R32(PLATFORM_ID, Kind), W32(0xA29172EC, 0x800),
        R32(0xA29D120C, 0), W32(0xA29D120C, 0x100000), R32(0xA29D128C, 0),
        W32(0xA29D128C, 0x100000)},
       "MAC set data width 8bit\r\n"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Board = {};
    SetBoard(C.Variant, 0x33, 0, PLATFORM_EMULATOR);
    for (const auto& [Address, Value] : C.Preset) {
      Set32(Address, Value);
    }
    StartDirect();
    SetMacDataWidth(C.Index, C.Lanes, C.Width);
    EXPECT_EQ(Accesses(), C.Expected);
    EXPECT_EQ(Machine->Console(), C.Console);
  }
}

// The enable waits 1 us, logs, and sets bit p = 2 (controller 9) keeping the other ports' bits.
TEST_F(PortControlTest, EnablePort) {
  SetBoard(1, 0x33, 0, PLATFORM_EMULATOR);
  Set32(0xA2900004, 0x11);
  StartDirect();
  EnablePort(9);
  const std::vector<Event> Expected = {Delay(1), R32(PLATFORM_ID, PLATFORM_EMULATOR),
                                       R32(0xA2900004, 0x11), W32(0xA2900004, 0x15)};
  EXPECT_EQ(Accesses(), Expected);
  EXPECT_EQ(Machine->Console(), "start enable pcie port.\r\n");
}

} // namespace
} // namespace rootport
