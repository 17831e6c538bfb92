// ConfigureController: one controller from reset to configured, as one fixed, ordered sequence
// of register accesses. The chip variant is read afresh where the sequence depends on it.
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/TimerLib.h>

#include "RootComplexRegs.h"
#include "RootPortBringup.h"

CONTROLLER_PARAMS ControllerParams = DEFAULT_CONTROLLER_PARAMS;

// Columns: B1C bits 11:0, 31:16; B20 bits 11:0, 31:16; B24 bits 11:0, 31:16; B88, B8C, B90
// bits 15:14 and 13:12 (columns 6 to 11); B88, B8C, B90 bits 11:0 and 31:16 (columns 12 to 17).
const UINT32 WidthClassTable[WIDTH_CLASS_ROWS][WIDTH_CLASS_COLUMNS] = {
    // Port mode 0, width classes 4, 3, 2, 1.
    {127, 1024, 127, 32, 768, 3072, 3, 3, 3, 3, 3, 3, 208, 1024, 208, 32, 768, 3072},
    {104, 512, 104, 16, 104, 512, 3, 3, 3, 3, 3, 3, 104, 512, 104, 16, 104, 512},
    {40, 200, 40, 4, 40, 200, 1, 1, 1, 1, 1, 1, 40, 200, 40, 4, 40, 200},
    {24, 120, 24, 2, 8, 32, 1, 1, 1, 1, 1, 1, 24, 120, 24, 2, 8, 32},
    // Port mode 1, width classes 4, 3, 2, 1.
    {127, 1024, 127, 32, 127, 1024, 3, 3, 3, 3, 3, 3, 208, 1024, 208, 32, 127, 1024},
    {104, 512, 104, 16, 104, 512, 3, 3, 3, 3, 3, 3, 104, 512, 104, 16, 104, 512},
    {40, 200, 40, 4, 40, 200, 1, 1, 1, 1, 1, 1, 40, 200, 40, 4, 40, 200},
    {24, 120, 24, 2, 8, 32, 1, 1, 1, 1, 1, 1, 24, 120, 24, 2, 8, 32},
};

namespace {

struct BIT_RANGE {
  UINT8 High;
  UINT8 Low;
};

// Fields of block 0x7000 registers 0xA0, 0x9C and 0x2EC, in the order of their parameters.
constexpr BIT_RANGE CTL_A0_FIELDS[CTL_A0_FIELD_COUNT] = {
    {5, 0},   {6, 6},   {10, 7},  {11, 11}, {15, 12}, {16, 16}, {17, 17},
    {18, 18}, {19, 19}, {20, 20}, {21, 21}, {22, 22}, {29, 24}, {30, 30}};
constexpr BIT_RANGE CTL_9C_FIELDS[CTL_9C_FIELD_COUNT] = {{3, 0}, {7, 4}};
constexpr BIT_RANGE CTL_2EC_FIELDS[CTL_2EC_FIELD_COUNT] = {{9, 9}, {8, 8}, {5, 3},
                                                           {6, 6}, {2, 0}, {10, 10}};

constexpr UINT32 FieldWidthMax(const BIT_RANGE& Field) {
  return BitFieldMask32(Field.Low, Field.High) >> Field.Low;
}

template <UINT32 Count>
constexpr bool ValuesFitFields(const BIT_RANGE (&Fields)[Count], const UINT32 (&Values)[Count]) {
  for (UINT32 Field = 0; Field < Count; ++Field) {
    if (Values[Field] > FieldWidthMax(Fields[Field])) {
      return false;
    }
  }
  return true;
}

template <UINT32 Count>
constexpr UINT32 ComposeFields(UINT32 Value, const BIT_RANGE (&Fields)[Count],
                               const UINT32 (&Values)[Count]) {
  for (UINT32 Field = 0; Field < Count; ++Field) {
    Value = BitFieldWrite32(Value, Fields[Field].Low, Fields[Field].High, Values[Field]);
  }
  return Value;
}

// One read and one write: every listed field replaced, the other bits kept.
template <UINT32 Count>
VOID MmioWriteFields32(UINT64 Address, const BIT_RANGE (&Fields)[Count],
                       const UINT32 (&Values)[Count]) {
  MmioWrite32(Address, ComposeFields(MmioRead32(Address), Fields, Values));
}

// Limits of the parameter set that the register program does not test: the build must keep
// them, and so must the chip-variant-2 overrides.
static_assert(CONTROLLER_10 < 32, "the port-select register has one bit per controller index");

constexpr bool LaneCountFits(UINT32 LaneCount) {
  return LaneCount >= 1 && LaneCount <= CFG_MAX_LINK_WIDTH >> 4 &&
         PortBit(CONTROLLER_10) + LaneCount - 1 <= 31;
}

constexpr bool WidthRowValid(UINT32 PortMode, UINT32 WidthClass) {
  return PortMode <= 1 && WidthClass >= 1 && WidthClass <= 4;
}

constexpr UINT32 WidthRow(const CONTROLLER_PARAMS& Params) {
  return 4 * Params.PortMode + (4 - Params.WidthClass);
}

constexpr CONTROLLER_PARAMS DEFAULTS = DEFAULT_CONTROLLER_PARAMS;
static_assert(LaneCountFits(DEFAULTS.LaneCount) && LaneCountFits(VARIANT2_LANE_COUNT));
static_assert(DEFAULTS.MaxLinkSpeed <= 15 && DEFAULTS.TargetLinkSpeed <= 15);
static_assert(WidthRowValid(DEFAULTS.PortMode, DEFAULTS.WidthClass) &&
              WidthRowValid(DEFAULTS.PortMode, VARIANT2_WIDTH_CLASS));
static_assert(WidthRow(DEFAULTS) == 7);
static_assert(ValuesFitFields(CTL_A0_FIELDS, DEFAULTS.CtlA0Fields) &&
              ValuesFitFields(CTL_9C_FIELDS, DEFAULTS.Ctl9CFields) &&
              ValuesFitFields(CTL_2EC_FIELDS, DEFAULTS.Ctl2ECFields));
static_assert(ComposeFields(0, CTL_A0_FIELDS, DEFAULTS.CtlA0Fields) == 0x5D1D081D);
static_assert(ComposeFields(0, CTL_2EC_FIELDS, DEFAULTS.Ctl2ECFields) == 0x00000700);

// Register values of the configuration-space image.
constexpr UINT32 ROOT_PORT_IDS_VARIANT3 = 0xD5032092; // Device ID and Vendor ID
constexpr UINT32 ROOT_PORT_VENDOR_ID = 0x19E5;
constexpr UINT32 COMPLETION_TIMEOUT_RANGES = 0xE;
constexpr UINT32 COMPLETION_TIMEOUT_VALUE = 0x9;
constexpr UINT32 MAX_PAYLOAD_512 = 2;
// Boards 455 to 474 keep bit 31 of configuration register 0x704 clear.
constexpr UINT32 CFG_704_BOARD_ID_ABOVE = 0x1C6;
constexpr UINT32 CFG_704_BOARD_ID_UP_TO = 0x1DA;

constexpr INT32 MAC_WIDTH_8 = 8;
constexpr INT32 MAC_WIDTH_16 = 16;

VOID PulseSharedBits(UINT32 Index) {
  const UINT32 Port = PortBit(Index);
  const UINT32 PortBits = RegisterBit(Port) | RegisterBit(Port + 16);

  const UINT32 Variant = GetChipVariant();
  if (Variant != CHIP_VARIANT_3) {
    MmioOr32(RC_PORT_SELECT, RegisterBit(Index));
  }
  MmioOr32(SharedReg(SHARED_CTRL_00), PortBits);
  MmioOr32(SharedReg(SHARED_CTRL_08), RegisterBit(Port));
  MmioOr32(SharedReg(SHARED_LANE_CTRL), RegisterBits(Port, ControllerParams.LaneCount));
  MicroSecondDelay(1);
  MmioAnd32(SharedReg(SHARED_LANE_CTRL), ~SHARED_LANE_CTRL_COMMON);
  MmioAnd32(SharedReg(SHARED_LANE_CTRL), ~RegisterBits(Port, ControllerParams.LaneCount));
  MmioAnd32(SharedReg(SHARED_CTRL_00), ~PortBits);
  MmioAnd32(SharedReg(SHARED_CTRL_08), ~RegisterBit(Port));
  MicroSecondDelay(1);
  if (ControllerParams.PortMode == 1) {
    MmioOr32(SharedReg(SHARED_PORT_MODE), RegisterBit(Port));
  } else {
    MmioAnd32(SharedReg(SHARED_PORT_MODE), ~RegisterBit(Port));
  }
}

VOID ProgramConfigSpace(UINT32 Index) {
  const UINT32 Variant = GetChipVariant();
  MmioAndThenOr32(CtlReg(Index, CTL_BLOCK_CFG, CFG_LINK_CAPABILITIES),
                  ~(CFG_MAX_LINK_SPEED | CFG_MAX_LINK_WIDTH),
                  FieldValue(CFG_MAX_LINK_SPEED, ControllerParams.MaxLinkSpeed) |
                      FieldValue(CFG_MAX_LINK_WIDTH, ControllerParams.LaneCount));
  MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_LINK_CONTROL2), 0, 3,
                      ControllerParams.TargetLinkSpeed);
  if (Variant == CHIP_VARIANT_3) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_VENDOR_DEVICE_ID), ROOT_PORT_IDS_VARIANT3);
  } else {
    MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_VENDOR_DEVICE_ID), 0, 15,
                        ROOT_PORT_VENDOR_ID);
  }
  // The board id is read a second time only when the first test passes.
  if (GetBoardId() > CFG_704_BOARD_ID_ABOVE && GetBoardId() <= CFG_704_BOARD_ID_UP_TO) {
    MmioAnd32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_704), ~BIT32(31));
  }
  MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CAPABILITIES2), 0, 3,
                      COMPLETION_TIMEOUT_RANGES);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CONTROL2), COMPLETION_TIMEOUT_VALUE);
  if (Variant == CHIP_VARIANT_3) {
    MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CONTROL), 5, 7, MAX_PAYLOAD_512);
  }
}

VOID ProgramLinkAndMac(UINT32 Index) {
  const CONTROLLER_PARAMS& Params = ControllerParams;
  if (Params.SkipCtl18Setup == 0) {
    MmioOr32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_018), BIT32(0));
    MmioOr32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_01C), GENMASK32(1, 0));
  }
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_0A0), CTL_A0_FIELDS, Params.CtlA0Fields);
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_09C), CTL_9C_FIELDS, Params.Ctl9CFields);
  const UINT32 Variant = GetChipVariant();
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_2EC), CTL_2EC_FIELDS,
                    Params.Ctl2ECFields);
  SetMacDataWidth(Index, Params.MacLaneCount,
                  Params.MacDataWidth16 != 0 ? MAC_WIDTH_16 : MAC_WIDTH_8);
  MmioAnd32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_3A0), ~BIT32(0));
  // The lane numbers themselves are ORed in, not one bit per lane: one read, one write.
  const UINT64 Ctl304 = CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_304);
  UINT32 Value = MmioRead32(Ctl304);
  for (UINT32 Lane = 0; Lane < Params.MacLaneCount; ++Lane) {
    Value |= PortBit(Index) + Lane;
  }
  MmioWrite32(Ctl304, Value);
  MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_2C4), 0, 9, 0x190);
  MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_2C8), 16, 26, 0x1F4);
  if (Variant == CHIP_VARIANT_3) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_31C), 0x79797979);
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_8A0), 0x00009999);
    MmioAnd32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_36C), ~BIT32(7));
    MmioWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_368), 0x00000000);
  }
  if (Params.Ctl6DCEnable != 0) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_6000, B6_CTRL_0DC), Params.Ctl6DCValue);
  }
  MmioWrite32(CtlReg(Index, CTL_BLOCK_6000, B6_CTRL_0E8), 0x0000000F);
}

// Two width-class values in bits 11:0 and 31:16; bits 15:12 kept.
VOID WriteWidthPair(UINT64 Address, UINT32 Low, UINT32 High) {
  MmioAndThenOr32(Address, ~(B4_WIDTH_LOW | B4_WIDTH_HIGH),
                  FieldValue(B4_WIDTH_LOW, Low) | FieldValue(B4_WIDTH_HIGH, High));
}

// Four width-class values replacing every bit. The register is read first all the same, as
// for every other register of the block.
VOID WriteWidthQuad(UINT64 Address, UINT32 Bits15To14, UINT32 Bits13To12, UINT32 Low, UINT32 High) {
  MmioRead32(Address);
  MmioWrite32(Address, FieldValue(B4_WIDTH_2BIT_HIGH, Bits15To14) |
                           FieldValue(B4_WIDTH_2BIT_LOW, Bits13To12) |
                           FieldValue(B4_WIDTH_LOW, Low) | FieldValue(B4_WIDTH_HIGH, High));
}

// Returns the chip variant read here, which the variant-3 block program also goes by.
UINT32 ProgramWidthClass(UINT32 Index) {
  const UINT32 Variant = GetChipVariant();
  const UINT32* Row = WidthClassTable[WidthRow(ControllerParams)];
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B1C), Row[0], Row[1]);
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B20), Row[2], Row[3]);
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B24), Row[4], Row[5]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B88), Row[6], Row[7], Row[12], Row[13]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B8C), Row[8], Row[9], Row[14], Row[15]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B90), Row[10], Row[11], Row[16], Row[17]);
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_B94), BIT32(8) | BIT32(0));
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_B28), BIT32(0));
  if (Variant != CHIP_VARIANT_3) {
    MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_000), GENMASK32(2, 0));
  }
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_FFC), BIT32(1));
  return Variant;
}

VOID ProgramVariant3Blocks(UINT32 Index) {
  MmioBitFieldWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_310), 20, 31, 0x630);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_4E0), 0x00000000);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_4E4), 0x00000000);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_4E8), 0x00000000);
  MmioAnd32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_4EC), ~BIT32(25));
  MmioAnd32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_000), ~BIT32(3));
  MmioOr32(CtlReg(Index, CTL_BLOCK_CFG, CFG_SLOT_CONTROL), CFG_INDICATOR_CONTROLS);
  MmioOr32(CtlReg(Index, CTL_BLOCK_CFG, CFG_ROOT_CONTROL), CFG_CRS_VISIBILITY);
  MmioAnd32(CtlReg(Index, CTL_BLOCK_CFG, CFG_LINK_CAPABILITIES), ~CFG_ASPM_SUPPORT);
}

VOID ProgramGlobalsVariant3() {
  // Set a second time on this variant, after the common set.
  MmioOr32(RC_08E0, BIT32(5));
  MmioOr32(RC_13230, BIT32(11));
  MmioAnd32(RC_13238, ~GENMASK32(10, 0));
  MmioWrite32(RC_05814, 0x00000000);
  MmioOr32(RC_05808, BIT32(13));
  MmioOr32(RC_05820, BIT32(0));
  MmioBitFieldWrite32(RC_02008, 0, 7, 0xC0);
  MmioBitFieldWrite32(RC_00320, 0, 7, 0xC0);
  MmioWrite32(RC_003A0, 0x00320200);
  MmioBitFieldWrite32(RC_02010, 8, 15, 0xB0);
}

VOID ProgramGlobals(UINT32 Index) {
  MmioAnd32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_204), ~BIT32(2));
  MmioOr32(RC_02000, BIT32(3));
  MmioWrite32(RC_05F08, 0x00000200);
  MmioWrite32(RC_05F00, 0x00000001);
  MmioAnd32(RC_05F10, ~BIT32(12));
  MmioWrite32(RC_05F00, 0x00000000);
  MmioWrite32(RC_05F04, 0x00000001);
  // Copied from one register into another, not a read-modify-write.
  MmioWrite32(RC_05F0C, MmioRead32(RC_05F1C) & ~BIT32(12));
  MmioWrite32(RC_05F04, 0x00000000);
  MmioOr32(RC_06100, GENMASK32(5, 4));
  MmioWrite32(RC_01800, 0x000FFFFF);
  MmioOr32(RC_13230, BIT32(11));
  MmioAnd32(RC_13238, ~GENMASK32(10, 0));
  MmioOr32(RC_02000, BIT32(7));
  MmioBitFieldWrite32(RC_02008, 0, 7, 0xC0);
  MmioBitFieldWrite32(RC_00320, 0, 7, 0xC0);
  // This controller's first width-class value, as its hardware holds it now, in both halves.
  const UINT32 Width = MmioBitFieldRead32(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B24), 0, 11);
  MmioAndThenOr32(RC_003A0, ~(RC_003A0_LOW | RC_003A0_HIGH),
                  FieldValue(RC_003A0_LOW, Width) | FieldValue(RC_003A0_HIGH, Width));
  MmioWrite32(RC_02010, 0x0000B00F);
  MmioWrite32(RC_0200C, 0x00394100);
  MmioWrite32(RC_00500, 0x00033450); // 210000
  MmioWrite32(RC_00504, 0x00033450);
  MmioWrite32(RC_00508, 0x00033450);
  MmioWrite32(RC_0050C, 0x00033450);
}

VOID FinishController(UINT32 Index) {
  const UINT32 Port = PortBit(Index);
  MmioWrite32(RC_0680C, 0x00013E51);
  MmioWrite32(RC_0F2D8, 0x00000000);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_050), 0x00000003);
  if (ControllerParams.Shared08HighBit != 0) {
    MmioOr32(SharedReg(SHARED_CTRL_08), RegisterBit(Port + 16));
  } else {
    MmioAnd32(SharedReg(SHARED_CTRL_08), ~RegisterBit(Port + 16));
  }
  if (ControllerParams.Shared0CHighBit != 0) {
    MmioOr32(SharedReg(SHARED_CTRL_0C), RegisterBit(Port + 16));
  } else {
    MmioAnd32(SharedReg(SHARED_CTRL_0C), ~RegisterBit(Port + 16));
  }
  if (GetChipVariant() == CHIP_VARIANT_3) {
    // Lanes from 0 whatever the controller: on this variant only controller 8 is brought up.
    for (UINT32 Lane = 0; Lane < ControllerParams.LaneWinCount; ++Lane) {
      const UINT64 LaneCtrl = LaneReg(LANE_CTRL_0 + Lane * LANE_STRIDE);
      MmioOr32(LaneCtrl, LANE_CTRL_BIT5);
      MmioOr32(LaneCtrl, LANE_CTRL_BIT4);
    }
  }
}

} // namespace

VOID ConfigureController(UINT32 Index) {
  PulseSharedBits(Index);
  ProgramConfigSpace(Index);
  ProgramLinkAndMac(Index);
  const UINT32 Variant = ProgramWidthClass(Index);
  if (Variant == CHIP_VARIANT_3) {
    ProgramVariant3Blocks(Index);
  }
  const UINT32 GlobalVariant = GetChipVariant();
  MmioOr32(RC_08E0, BIT32(5));
  if (GlobalVariant == CHIP_VARIANT_3) {
    ProgramGlobalsVariant3();
  } else {
    ProgramGlobals(Index);
  }
  FinishController(Index);
}
