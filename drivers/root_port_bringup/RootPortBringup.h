// RootPortBringup: chooses the board's PCIe root-complex controllers, configures and enables
// them, programs the root complex's global registers, waits for the boot SSD's link and hooks
// ExitBootServices to disable the root ports again.
#pragma once

#include <Uefi.h>

// The controllers this root complex brings up.
constexpr UINT32 CONTROLLER_8 = 8;
constexpr UINT32 CONTROLLER_9 = 9;
constexpr UINT32 CONTROLLER_10 = 10;
// The boot SSD sits behind controller 10; its link status is polled whichever path ran.
constexpr UINT32 SSD_CONTROLLER = CONTROLLER_10;

// Chip variants that change the register programs.
constexpr UINT32 CHIP_VARIANT_2 = 2;
constexpr UINT32 CHIP_VARIANT_3 = 3;

// Slot types.
constexpr UINT32 SLOT_TYPE_1P = 1; // the fallback, "TYPE_1P" in the log
constexpr UINT32 SLOT_TYPE_2 = 2;
constexpr UINT32 SLOT_TYPE_4 = 4;

constexpr UINT32 CTL_A0_FIELD_COUNT = 14;
constexpr UINT32 CTL_9C_FIELD_COUNT = 2;
constexpr UINT32 CTL_2EC_FIELD_COUNT = 6;

// Controller parameters, fixed at build time; chip variant 2 overrides three of them before
// controller 8 is configured. Every field is read at the moment the register program needs it.
struct CONTROLLER_PARAMS {
  UINT32 LaneCount;       // lanes pulsed in the shared lane register; Maximum Link Width
  UINT32 MaxLinkSpeed;    // Link Capabilities
  UINT32 TargetLinkSpeed; // Link Control 2
  UINT32 PortMode;        // 0 or 1: shared port-mode bit and half of WidthClassTable
  UINT32 WidthClass;      // 1 to 4: row 4 - WidthClass within the half
  UINT32 Shared08HighBit; // nonzero: bit p + 16 of shared register 0x08 set, else cleared
  UINT32 Shared0CHighBit; // nonzero: bit p + 16 of shared register 0x0C set, else cleared
  UINT32 SkipCtl18Setup;  // zero: block 0x7000 registers 0x18 and 0x1C are set up
  UINT32 CtlA0Fields[CTL_A0_FIELD_COUNT];   // block 0x7000 register 0xA0
  UINT32 Ctl9CFields[CTL_9C_FIELD_COUNT];   // block 0x7000 register 0x9C
  UINT32 Ctl2ECFields[CTL_2EC_FIELD_COUNT]; // block 0x7000 register 0x2EC
  UINT32 MacLaneCount;   // lanes given the MAC data width; iterations on register 0x304
  UINT32 MacDataWidth16; // nonzero: 16-bit MAC data width, else 8-bit
  UINT32 Ctl6DCEnable;   // nonzero: block 0x6000 register 0xDC receives Ctl6DCValue
  UINT32 Ctl6DCValue;
  UINT32 LaneWinCount; // chip variant 3: lane window lanes 0 .. LaneWinCount - 1 set up last
};

constexpr CONTROLLER_PARAMS DEFAULT_CONTROLLER_PARAMS = {
    .LaneCount = 2,
    .MaxLinkSpeed = 4,
    .TargetLinkSpeed = 4,
    .PortMode = 1,
    .WidthClass = 1,
    .Shared08HighBit = 0,
    .Shared0CHighBit = 0,
    .SkipCtl18Setup = 1,
    .CtlA0Fields = {29, 0, 0, 1, 0, 1, 0, 1, 1, 1, 0, 0, 29, 1},
    .Ctl9CFields = {9, 9},
    .Ctl2ECFields = {1, 1, 0, 0, 0, 1},
    .MacLaneCount = 1,
    .MacDataWidth16 = 0,
    .Ctl6DCEnable = 0,
    .Ctl6DCValue = 1,
    .LaneWinCount = 2,
};

// The chip-variant-2 board: eight lanes on controller 8 alone.
constexpr UINT32 VARIANT2_LANE_COUNT = 8;
constexpr UINT32 VARIANT2_WIDTH_CLASS = 3;
constexpr UINT32 VARIANT2_LANE_WIN_COUNT = 8;

extern CONTROLLER_PARAMS ControllerParams;

// Per-width values of block 0x4000, by row 4 x PortMode + (4 - WidthClass).
constexpr UINT32 WIDTH_CLASS_ROWS = 8;
constexpr UINT32 WIDTH_CLASS_COLUMNS = 18;
extern const UINT32 WidthClassTable[WIDTH_CLASS_ROWS][WIDTH_CLASS_COLUMNS];

// The whole bring-up; EFI_ABORTED when the ExitBootServices hook cannot be registered.
EFI_STATUS BringUpRootComplex();
// 1, 2 or 4, from the platform identification (FPGA) or the system configuration register.
UINT32 GetSlotType();
// Disables every root port at once.
VOID EFIAPI OnExitBootServices(EFI_EVENT Event, VOID* Context);

// Brings one controller to its configured state; EnablePort follows.
VOID ConfigureController(UINT32 Index);
// MAC data width 8 or 16 in the controller and in its lanes; other widths rewrite the registers
// unchanged.
VOID SetMacDataWidth(UINT32 Index, UINT32 Lanes, INT32 Width);
VOID EnablePort(UINT32 Index);
