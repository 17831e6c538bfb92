// ConfigureController: one controller from reset to configured, as one fixed, ordered sequence
// of register accesses in seven phases. The chip variant is read afresh where the sequence
// depends on it.
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/RegisterSteps.h>
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

static_assert(sizeof(B7_CTRL_0A0_FIELDS) / sizeof(UINT32) == CTL_A0_FIELD_COUNT &&
              sizeof(B7_CTRL_09C_FIELDS) / sizeof(UINT32) == CTL_9C_FIELD_COUNT &&
              sizeof(B7_MAC_CONTROL_FIELDS) / sizeof(UINT32) == CTL_2EC_FIELD_COUNT);

// Limits of the parameter set that the register program does not test: the build must keep
// them, and so must the chip-variant-2 overrides.
static_assert(CONTROLLER_10 < 32, "the port-select register has one bit per controller index");

template <UINT32 Count>
constexpr bool FitFields(const UINT32 (&Masks)[Count], const UINT32 (&Values)[Count]) {
  for (UINT32 Field = 0; Field < Count; ++Field) {
    if (!FIELD_FITS32(Masks[Field], Values[Field])) {
      return false;
    }
  }
  return true;
}

constexpr bool LaneCountFits(UINT32 LaneCount) {
  return LaneCount >= 1 && FIELD_FITS32(CFG_MAX_LINK_WIDTH, LaneCount) &&
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
static_assert(FIELD_FITS32(CFG_MAX_LINK_SPEED, DEFAULTS.MaxLinkSpeed) &&
              FIELD_FITS32(CFG_TARGET_LINK_SPEED, DEFAULTS.TargetLinkSpeed));
static_assert(WidthRowValid(DEFAULTS.PortMode, DEFAULTS.WidthClass) &&
              WidthRowValid(DEFAULTS.PortMode, VARIANT2_WIDTH_CLASS));
static_assert(WidthRow(DEFAULTS) == 7);
static_assert(FitFields(B7_CTRL_0A0_FIELDS, DEFAULTS.CtlA0Fields) &&
              FitFields(B7_CTRL_09C_FIELDS, DEFAULTS.Ctl9CFields) &&
              FitFields(B7_MAC_CONTROL_FIELDS, DEFAULTS.Ctl2ECFields));

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

// Phase A: the controller's bits in the shared control window, set and cleared again 1 us later.
VOID PulseSharedBits(UINT32 Index) {
  if (GetChipVariant() != CHIP_VARIANT_3) {
    MmioOr32(GlobalReg(GLOBAL_PORT_SELECT), BIT32(Index));
  }
  MmioOr32(SharedReg(SHARED_CTRL_00), PortHighMask(Index) | PortMask(Index));
  MmioOr32(SharedReg(SHARED_CTRL_08), PortMask(Index));
  MmioOr32(SharedReg(SHARED_LANE_CTRL), PortLaneMask(Index, ControllerParams.LaneCount));
  MicroSecondDelay(1);
  MmioAnd32(SharedReg(SHARED_LANE_CTRL), ~SHARED_LANE_CTRL_COMMON);
  MmioAnd32(SharedReg(SHARED_LANE_CTRL), ~PortLaneMask(Index, ControllerParams.LaneCount));
  MmioAnd32(SharedReg(SHARED_CTRL_00), ~(PortHighMask(Index) | PortMask(Index)));
  MmioAnd32(SharedReg(SHARED_CTRL_08), ~PortMask(Index));
  MicroSecondDelay(1);
  if (ControllerParams.PortMode == 1) {
    MmioOr32(SharedReg(SHARED_PORT_MODE), PortMask(Index));
  } else {
    MmioAnd32(SharedReg(SHARED_PORT_MODE), ~PortMask(Index));
  }
}

// Phase B: the configuration-space image.
VOID ProgramConfigSpace(UINT32 Index) {
  const UINT32 Variant = GetChipVariant();
  MmioAndThenOr32(CtlReg(Index, CTL_BLOCK_CFG, CFG_LINK_CAPABILITIES),
                  ~(CFG_MAX_LINK_WIDTH | CFG_MAX_LINK_SPEED),
                  FIELD_PREP32(CFG_MAX_LINK_WIDTH, ControllerParams.LaneCount) |
                      FIELD_PREP32(CFG_MAX_LINK_SPEED, ControllerParams.MaxLinkSpeed));
  MmioWriteField32(CtlReg(Index, CTL_BLOCK_CFG, CFG_LINK_CONTROL2), CFG_TARGET_LINK_SPEED,
                   ControllerParams.TargetLinkSpeed);
  if (Variant == CHIP_VARIANT_3) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_VENDOR_DEVICE_ID), ROOT_PORT_IDS_VARIANT3);
  } else {
    MmioWriteField32(CtlReg(Index, CTL_BLOCK_CFG, CFG_VENDOR_DEVICE_ID), CFG_VENDOR_ID,
                     ROOT_PORT_VENDOR_ID);
  }
  if (GetBoardId() > CFG_704_BOARD_ID_ABOVE && GetBoardId() <= CFG_704_BOARD_ID_UP_TO) {
    MmioAnd32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_704), ~CFG_CTRL_704_BIT31);
  }
  MmioWriteField32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CAPABILITIES2),
                   CFG_COMPLETION_TIMEOUT_RANGES, COMPLETION_TIMEOUT_RANGES);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CONTROL2),
              FIELD_PREP32(CFG_COMPLETION_TIMEOUT_VALUE, COMPLETION_TIMEOUT_VALUE));
  if (Variant == CHIP_VARIANT_3) {
    MmioWriteField32(CtlReg(Index, CTL_BLOCK_CFG, CFG_DEVICE_CONTROL), CFG_MAX_PAYLOAD_SIZE,
                     MAX_PAYLOAD_512);
  }
}

// Phase C: link and MAC parameters.
VOID ProgramLinkAndMac(UINT32 Index) {
  const CONTROLLER_PARAMS& Params = ControllerParams;
  if (Params.SkipCtl18Setup == 0) {
    MmioOr32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_018), B7_CTRL_018_BIT0);
    MmioOr32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_01C), B7_CTRL_01C_BITS1_0);
  }
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_0A0), B7_CTRL_0A0_FIELDS,
                    Params.CtlA0Fields);
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_09C), B7_CTRL_09C_FIELDS,
                    Params.Ctl9CFields);
  const UINT32 Variant = GetChipVariant();
  MmioWriteFields32(CtlReg(Index, CTL_BLOCK_7000, B7_MAC_CONTROL), B7_MAC_CONTROL_FIELDS,
                    Params.Ctl2ECFields);
  SetMacDataWidth(Index, Params.MacLaneCount,
                  Params.MacDataWidth16 != 0 ? MAC_WIDTH_16 : MAC_WIDTH_8);
  MmioAnd32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_3A0), ~B7_CTRL_3A0_BIT0);
  // The lane numbers themselves are ORed in, not one bit per lane.
  UINT32 LaneNumbers = 0;
  for (UINT32 Lane = 0; Lane < Params.MacLaneCount; ++Lane) {
    LaneNumbers |= PortBit(Index) + Lane;
  }
  MmioOr32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_304), LaneNumbers);
  MmioWriteField32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_2C4), B7_CTRL_2C4_BITS9_0, 0x190);
  MmioWriteField32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_2C8), B7_CTRL_2C8_BITS26_16, 0x1F4);
  if (Variant == CHIP_VARIANT_3) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_31C), 0x79797979);
    MmioWrite32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_8A0), 0x00009999);
    MmioAnd32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_36C), ~B7_CTRL_36C_BIT7);
    MmioWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_368), 0x00000000);
  }
  if (Params.Ctl6DCEnable != 0) {
    MmioWrite32(CtlReg(Index, CTL_BLOCK_6000, B6_CTRL_0DC), Params.Ctl6DCValue);
  }
  MmioWrite32(CtlReg(Index, CTL_BLOCK_6000, B6_CTRL_0E8), 0x0000000F);
}

// Two width-class values; bits 15:12 kept.
VOID WriteWidthPair(UINT64 Address, UINT32 Low, UINT32 High) {
  MmioAndThenOr32(Address, ~(B4_WIDTH_HIGH | B4_WIDTH_LOW),
                  FIELD_PREP32(B4_WIDTH_HIGH, High) | FIELD_PREP32(B4_WIDTH_LOW, Low));
}

// Four width-class values, which together replace every bit.
VOID WriteWidthQuad(UINT64 Address, UINT32 Bits15To14, UINT32 Bits13To12, UINT32 Low, UINT32 High) {
  MmioAndThenOr32(Address, ~(B4_WIDTH_HIGH | B4_WIDTH_2BIT_HIGH | B4_WIDTH_2BIT_LOW | B4_WIDTH_LOW),
                  FIELD_PREP32(B4_WIDTH_HIGH, High) | FIELD_PREP32(B4_WIDTH_2BIT_HIGH, Bits15To14) |
                      FIELD_PREP32(B4_WIDTH_2BIT_LOW, Bits13To12) |
                      FIELD_PREP32(B4_WIDTH_LOW, Low));
}

// Phase D: the per-width values of the parameter set's row of WidthClassTable.
VOID ProgramWidthClass(UINT32 Index, UINT32 Variant) {
  const UINT32* Row = WidthClassTable[WidthRow(ControllerParams)];
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B1C), Row[0], Row[1]);
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B20), Row[2], Row[3]);
  WriteWidthPair(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B24), Row[4], Row[5]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B88), Row[6], Row[7], Row[12], Row[13]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B8C), Row[8], Row[9], Row[14], Row[15]);
  WriteWidthQuad(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B90), Row[10], Row[11], Row[16], Row[17]);
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_B94), B4_CTRL_B94_BIT8 | B4_CTRL_B94_BIT0);
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_B28), B4_CTRL_B28_BIT0);
  if (Variant != CHIP_VARIANT_3) {
    MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_000), B4_CTRL_000_BITS2_0);
  }
  MmioOr32(CtlReg(Index, CTL_BLOCK_4000, B4_CTRL_FFC), B4_CTRL_FFC_BIT1);
}

// Phase E, chip variant 3 only: offsets in the controller's window.
// clang-format off
constexpr REGISTER_STEP VARIANT3_BLOCK_STEPS[] = {
    STEP_FIELD(CTL_BLOCK_CFG + CFG_CTRL_310, CFG_CTRL_310_BITS31_20, 0x630),
    STEP_WRITE(CTL_BLOCK_CFG + CFG_CTRL_4E0, 0x00000000),
    STEP_WRITE(CTL_BLOCK_CFG + CFG_CTRL_4E4, 0x00000000),
    STEP_WRITE(CTL_BLOCK_CFG + CFG_CTRL_4E8, 0x00000000),
    STEP_CLEAR(CTL_BLOCK_4000 + B4_CTRL_4EC, B4_CTRL_4EC_BIT25),
    STEP_CLEAR(CTL_BLOCK_4000 + B4_CTRL_000, B4_CTRL_000_BIT3),
    STEP_SET(CTL_BLOCK_CFG + CFG_SLOT_CONTROL, CFG_INDICATOR_CONTROLS),
    STEP_SET(CTL_BLOCK_CFG + CFG_ROOT_CONTROL, CFG_CRS_VISIBILITY),
    STEP_CLEAR(CTL_BLOCK_CFG + CFG_LINK_CAPABILITIES, CFG_ASPM_SUPPORT),
};
// clang-format on

// Phase F on chip variant 3: offsets in the global window.
// clang-format off
constexpr REGISTER_STEP GLOBAL_STEPS_VARIANT3[] = {
    STEP_SET(GLOBAL_008E0, GLOBAL_008E0_BIT5), // a second time on this variant
    STEP_SET(GLOBAL_13230, GLOBAL_13230_BIT11),
    STEP_CLEAR(GLOBAL_13238, GLOBAL_13238_BITS10_0),
    STEP_WRITE(GLOBAL_05814, 0x00000000),
    STEP_SET(GLOBAL_05808, GLOBAL_05808_BIT13),
    STEP_SET(GLOBAL_05820, GLOBAL_05820_BIT0),
    STEP_FIELD(GLOBAL_02008, GLOBAL_02008_BITS7_0, 0xC0),
    STEP_FIELD(GLOBAL_00320, GLOBAL_00320_BITS7_0, 0xC0),
    STEP_WRITE(GLOBAL_003A0, 0x00320200),
    STEP_FIELD(GLOBAL_02010, GLOBAL_02010_BITS15_8, 0xB0),
};
// clang-format on

// Phase F on the other variants, in the global window, around its three steps that are not
// fixed: the controller's own register first, a copy between two registers, and a value taken
// from the controller.
// clang-format off
constexpr REGISTER_STEP GLOBAL_STEPS_OTHER_BEFORE_COPY[] = {
    STEP_SET(GLOBAL_02000, GLOBAL_02000_BIT3),
    STEP_WRITE(GLOBAL_05F08, 0x00000200),
    STEP_WRITE(GLOBAL_05F00, 0x00000001),
    STEP_CLEAR(GLOBAL_05F10, GLOBAL_05F10_BIT12),
    STEP_WRITE(GLOBAL_05F00, 0x00000000),
    STEP_WRITE(GLOBAL_05F04, 0x00000001),
};
constexpr REGISTER_STEP GLOBAL_STEPS_OTHER_BEFORE_WIDTH[] = {
    STEP_WRITE(GLOBAL_05F04, 0x00000000),
    STEP_SET(GLOBAL_06100, GLOBAL_06100_BITS5_4),
    STEP_WRITE(GLOBAL_01800, 0x000FFFFF),
    STEP_SET(GLOBAL_13230, GLOBAL_13230_BIT11),
    STEP_CLEAR(GLOBAL_13238, GLOBAL_13238_BITS10_0),
    STEP_SET(GLOBAL_02000, GLOBAL_02000_BIT7),
    STEP_FIELD(GLOBAL_02008, GLOBAL_02008_BITS7_0, 0xC0),
    STEP_FIELD(GLOBAL_00320, GLOBAL_00320_BITS7_0, 0xC0),
};
constexpr REGISTER_STEP GLOBAL_STEPS_OTHER_LAST[] = {
    STEP_WRITE(GLOBAL_02010, 0x0000B00F),
    STEP_WRITE(GLOBAL_0200C, 0x00394100),
    STEP_WRITE(GLOBAL_00500, 0x00033450), // 210000
    STEP_WRITE(GLOBAL_00504, 0x00033450),
    STEP_WRITE(GLOBAL_00508, 0x00033450),
    STEP_WRITE(GLOBAL_0050C, 0x00033450),
};
// clang-format on

static_assert(CountStepAccesses(VARIANT3_BLOCK_STEPS).Writes == 9 &&
              CountStepAccesses(VARIANT3_BLOCK_STEPS).Reads == 6);
static_assert(CountStepAccesses(GLOBAL_STEPS_VARIANT3).Writes == 10 &&
              CountStepAccesses(GLOBAL_STEPS_VARIANT3).Reads == 8);
// With the three steps around them, 23 writes and 12 reads on these variants.
static_assert(CountStepAccesses(GLOBAL_STEPS_OTHER_BEFORE_COPY).Writes +
                      CountStepAccesses(GLOBAL_STEPS_OTHER_BEFORE_WIDTH).Writes +
                      CountStepAccesses(GLOBAL_STEPS_OTHER_LAST).Writes ==
                  20 &&
              CountStepAccesses(GLOBAL_STEPS_OTHER_BEFORE_COPY).Reads +
                      CountStepAccesses(GLOBAL_STEPS_OTHER_BEFORE_WIDTH).Reads +
                      CountStepAccesses(GLOBAL_STEPS_OTHER_LAST).Reads ==
                  8);

VOID ProgramGlobalsOther(UINT32 Index) {
  MmioAnd32(CtlReg(Index, CTL_BLOCK_CFG, CFG_CTRL_204), ~CFG_CTRL_204_BIT2);
  RunRegisterSteps(GLOBAL_WINDOW_BASE, GLOBAL_STEPS_OTHER_BEFORE_COPY);
  // Copied from one register into another, not a read-modify-write.
  MmioWrite32(GlobalReg(GLOBAL_05F0C), MmioRead32(GlobalReg(GLOBAL_05F1C)) & ~GLOBAL_05F1C_BIT12);
  RunRegisterSteps(GLOBAL_WINDOW_BASE, GLOBAL_STEPS_OTHER_BEFORE_WIDTH);
  // This controller's first width-class value, as its hardware holds it now, in both halves.
  const UINT32 Width = MmioReadField32(CtlReg(Index, CTL_BLOCK_4000, B4_WIDTH_B24), B4_WIDTH_LOW);
  MmioAndThenOr32(GlobalReg(GLOBAL_003A0), ~(GLOBAL_003A0_BITS27_16 | GLOBAL_003A0_BITS11_0),
                  FIELD_PREP32(GLOBAL_003A0_BITS27_16, Width) |
                      FIELD_PREP32(GLOBAL_003A0_BITS11_0, Width));
  RunRegisterSteps(GLOBAL_WINDOW_BASE, GLOBAL_STEPS_OTHER_LAST);
}

// Phase F: the root complex's global registers, written again for every controller.
VOID ProgramGlobals(UINT32 Index) {
  const UINT32 Variant = GetChipVariant();
  MmioOr32(GlobalReg(GLOBAL_008E0), GLOBAL_008E0_BIT5);
  if (Variant == CHIP_VARIANT_3) {
    RunRegisterSteps(GLOBAL_WINDOW_BASE, GLOBAL_STEPS_VARIANT3);
  } else {
    ProgramGlobalsOther(Index);
  }
}

// Phase G.
VOID FinishController(UINT32 Index) {
  MmioWrite32(GlobalReg(GLOBAL_0680C), 0x00013E51);
  MmioWrite32(GlobalReg(GLOBAL_0F2D8), 0x00000000);
  MmioWrite32(CtlReg(Index, CTL_BLOCK_7000, B7_CTRL_050), 0x00000003);
  if (ControllerParams.Shared08HighBit != 0) {
    MmioOr32(SharedReg(SHARED_CTRL_08), PortHighMask(Index));
  } else {
    MmioAnd32(SharedReg(SHARED_CTRL_08), ~PortHighMask(Index));
  }
  if (ControllerParams.Shared0CHighBit != 0) {
    MmioOr32(SharedReg(SHARED_CTRL_0C), PortHighMask(Index));
  } else {
    MmioAnd32(SharedReg(SHARED_CTRL_0C), ~PortHighMask(Index));
  }
  if (GetChipVariant() == CHIP_VARIANT_3) {
    // Lanes from 0 whatever the controller: on this variant only controller 8 is brought up.
    for (UINT32 Lane = 0; Lane < ControllerParams.LaneWinCount; ++Lane) {
      MmioOr32(LaneReg(LANE_CTRL_0 + Lane * LANE_STRIDE), LANE_CTRL_BIT5);
      MmioOr32(LaneReg(LANE_CTRL_0 + Lane * LANE_STRIDE), LANE_CTRL_BIT4);
    }
  }
}

} // namespace

VOID ConfigureController(UINT32 Index) {
  PulseSharedBits(Index);
  ProgramConfigSpace(Index);
  ProgramLinkAndMac(Index);
  // One reading of the variant governs the end of phase D and the whole of phase E.
  const UINT32 Variant = GetChipVariant();
  ProgramWidthClass(Index, Variant);
  if (Variant == CHIP_VARIANT_3) {
    RunRegisterSteps(CtlReg(Index, 0, 0), VARIANT3_BLOCK_STEPS);
  }
  ProgramGlobals(Index);
  FinishController(Index);
}
