// PCIe root-complex registers. Every register is an offset in one of four windows and is reached
// through the window's helper: SharedReg, CtlReg (controller window, by controller index and
// block), LaneReg and GlobalReg. Each register is listed with its fields and bits right beneath
// it, high bit first. A register or field is named for what it does where that is known, and by
// its offset and bits where it is not.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

// Only the low three bits of a controller index select registers.
constexpr UINT32 CONTROLLER_INDEX_MASK = GENMASK32(2, 0);

// The controller's port bit p = 2 x (index & 7). In the shared registers the controller owns bit p
// and, in some of them, bit p + 16; its lanes start at lane p.
constexpr UINT32 PortBit(UINT32 Index) {
  return 2 * (Index & CONTROLLER_INDEX_MASK);
}
constexpr UINT32 PortMask(UINT32 Index) {
  return BIT32(PortBit(Index));
}
constexpr UINT32 PortHighMask(UINT32 Index) {
  return BIT32(PortBit(Index) + 16);
}
// Bits p .. p + Lanes - 1; those beyond bit 31 are dropped.
constexpr UINT32 PortLaneMask(UINT32 Index, UINT32 Lanes) {
  return Lanes == 0 ? 0 : GENMASK32(PortBit(Index) + Lanes - 1, PortBit(Index));
}

//
// Shared control window: one register for all controllers, told apart by their port bits.
//
constexpr UINT64 SHARED_WINDOW_BASE = 0xA2900000;
constexpr UINT64 SharedReg(UINT32 Offset) {
  return SHARED_WINDOW_BASE + Offset;
}

constexpr UINT32 SHARED_CTRL_00 = 0x00;     // bits p and p + 16, pulsed before configuration
constexpr UINT32 SHARED_PORT_ENABLE = 0x04; // bit p
constexpr UINT32 SHARED_CTRL_08 = 0x08;     // bit p pulsed; bit p + 16 from the parameter set
constexpr UINT32 SHARED_CTRL_0C = 0x0C;     // bit p + 16 from the parameter set
constexpr UINT32 SHARED_PORT_MODE = 0x80;   // bit p: port mode 1
constexpr UINT32 SHARED_LANE_CTRL = 0xBC;   // lane bits p .. p + lane count - 1, and
constexpr UINT32 SHARED_LANE_CTRL_COMMON = BIT32(16);

//
// Controller window: 0x8000 bytes per controller, four blocks.
//
constexpr UINT64 CTL_WINDOW_BASE = 0xA2900000;
constexpr UINT32 CTL_WINDOW_STRIDE = 0x8000;
constexpr UINT32 CTL_BLOCK_4000 = 0x4000;
constexpr UINT32 CTL_BLOCK_CFG = 0x5000; // the root port's configuration-space image
constexpr UINT32 CTL_BLOCK_6000 = 0x6000;
constexpr UINT32 CTL_BLOCK_7000 = 0x7000;

constexpr UINT64 CtlReg(UINT32 Index, UINT32 Block, UINT32 Offset) {
  return CTL_WINDOW_BASE + (Index & CONTROLLER_INDEX_MASK) * CTL_WINDOW_STRIDE + Block + Offset;
}

// Block 0x4000.
constexpr UINT32 B4_CTRL_000 = 0x000;
constexpr UINT32 B4_CTRL_000_BIT3 = BIT32(3);
constexpr UINT32 B4_CTRL_000_BITS2_0 = GENMASK32(2, 0);
constexpr UINT32 B4_CTRL_4EC = 0x4EC;
constexpr UINT32 B4_CTRL_4EC_BIT25 = BIT32(25);
// Width-class values: registers 0xB1C to 0xB24 hold two each (bits 15:12 are the register's own),
// 0xB88 to 0xB90 four each, filling every bit.
constexpr UINT32 B4_WIDTH_B1C = 0xB1C;
constexpr UINT32 B4_WIDTH_B20 = 0xB20;
constexpr UINT32 B4_WIDTH_B24 = 0xB24;
constexpr UINT32 B4_WIDTH_B88 = 0xB88;
constexpr UINT32 B4_WIDTH_B8C = 0xB8C;
constexpr UINT32 B4_WIDTH_B90 = 0xB90;
constexpr UINT32 B4_WIDTH_HIGH = GENMASK32(31, 16);
constexpr UINT32 B4_WIDTH_2BIT_HIGH = GENMASK32(15, 14); // 0xB88 to 0xB90 only
constexpr UINT32 B4_WIDTH_2BIT_LOW = GENMASK32(13, 12);  // 0xB88 to 0xB90 only
constexpr UINT32 B4_WIDTH_LOW = GENMASK32(11, 0);
constexpr UINT32 B4_CTRL_B28 = 0xB28;
constexpr UINT32 B4_CTRL_B28_BIT0 = BIT32(0);
constexpr UINT32 B4_CTRL_B94 = 0xB94;
constexpr UINT32 B4_CTRL_B94_BIT8 = BIT32(8);
constexpr UINT32 B4_CTRL_B94_BIT0 = BIT32(0);
constexpr UINT32 B4_CTRL_FFC = 0xFFC;
constexpr UINT32 B4_CTRL_FFC_BIT1 = BIT32(1);

// Block 0x5000: configuration-space image, PCI Express capability at 0x40.
constexpr UINT32 CFG_VENDOR_DEVICE_ID = 0x00;
constexpr UINT32 CFG_VENDOR_ID = GENMASK32(15, 0);
constexpr UINT32 CFG_DEVICE_CONTROL = 0x48;
constexpr UINT32 CFG_MAX_PAYLOAD_SIZE = GENMASK32(7, 5);
constexpr UINT32 CFG_LINK_CAPABILITIES = 0x4C;
constexpr UINT32 CFG_ASPM_SUPPORT = GENMASK32(11, 10);
constexpr UINT32 CFG_MAX_LINK_WIDTH = GENMASK32(9, 4);
constexpr UINT32 CFG_MAX_LINK_SPEED = GENMASK32(3, 0);
constexpr UINT32 CFG_SLOT_CONTROL = 0x58;
constexpr UINT32 CFG_INDICATOR_CONTROLS = GENMASK32(9, 6); // attention and power indicators
constexpr UINT32 CFG_ROOT_CONTROL = 0x5C;                  // Root Capabilities in bits 31:16
constexpr UINT32 CFG_CRS_VISIBILITY = BIT32(16);
constexpr UINT32 CFG_DEVICE_CAPABILITIES2 = 0x64;
constexpr UINT32 CFG_COMPLETION_TIMEOUT_RANGES = GENMASK32(3, 0);
constexpr UINT32 CFG_DEVICE_CONTROL2 = 0x68;
constexpr UINT32 CFG_COMPLETION_TIMEOUT_VALUE = GENMASK32(3, 0);
constexpr UINT32 CFG_LINK_CONTROL2 = 0x70;
constexpr UINT32 CFG_TARGET_LINK_SPEED = GENMASK32(3, 0);
constexpr UINT32 CFG_CTRL_204 = 0x204;
constexpr UINT32 CFG_CTRL_204_BIT2 = BIT32(2);
constexpr UINT32 CFG_CTRL_310 = 0x310;
constexpr UINT32 CFG_CTRL_310_BITS31_20 = GENMASK32(31, 20);
constexpr UINT32 CFG_CTRL_31C = 0x31C;
constexpr UINT32 CFG_CTRL_4E0 = 0x4E0;
constexpr UINT32 CFG_CTRL_4E4 = 0x4E4;
constexpr UINT32 CFG_CTRL_4E8 = 0x4E8;
constexpr UINT32 CFG_CTRL_704 = 0x704;
constexpr UINT32 CFG_CTRL_704_BIT31 = BIT32(31);
constexpr UINT32 CFG_CTRL_8A0 = 0x8A0;

// Block 0x6000.
constexpr UINT32 B6_LINK_STATUS = 0x088;
constexpr UINT32 B6_LINK_UP = BIT32(18);
constexpr UINT32 B6_CTRL_0DC = 0x0DC;
constexpr UINT32 B6_CTRL_0E8 = 0x0E8;

// Block 0x7000: link and MAC control.
constexpr UINT32 B7_CTRL_018 = 0x018;
constexpr UINT32 B7_CTRL_018_BIT0 = BIT32(0);
constexpr UINT32 B7_CTRL_01C = 0x01C;
constexpr UINT32 B7_CTRL_01C_BITS1_0 = GENMASK32(1, 0);
constexpr UINT32 B7_CTRL_050 = 0x050;
constexpr UINT32 B7_CTRL_09C = 0x09C;
// Fields in the order of Ctl9CFields.
constexpr UINT32 B7_CTRL_09C_FIELDS[] = {GENMASK32(3, 0), GENMASK32(7, 4)};
constexpr UINT32 B7_CTRL_0A0 = 0x0A0;
// Fields in the order of CtlA0Fields; bits 31 and 23 are the register's own.
constexpr UINT32 B7_CTRL_0A0_FIELDS[] = {GENMASK32(5, 0),   BIT32(6),  GENMASK32(10, 7), BIT32(11),
                                         GENMASK32(15, 12), BIT32(16), BIT32(17),        BIT32(18),
                                         BIT32(19),         BIT32(20), BIT32(21),        BIT32(22),
                                         GENMASK32(29, 24), BIT32(30)};
constexpr UINT32 B7_CTRL_2C4 = 0x2C4;
constexpr UINT32 B7_CTRL_2C4_BITS9_0 = GENMASK32(9, 0);
constexpr UINT32 B7_CTRL_2C8 = 0x2C8;
constexpr UINT32 B7_CTRL_2C8_BITS26_16 = GENMASK32(26, 16);
constexpr UINT32 B7_MAC_CONTROL = 0x2EC;
constexpr UINT32 B7_MAC_WIDTH_8BIT = BIT32(11);
// Fields in the order of Ctl2ECFields; bit 7 and bits 31:11 are the register's own.
constexpr UINT32 B7_MAC_CONTROL_FIELDS[] = {BIT32(9), BIT32(8),        GENMASK32(5, 3),
                                            BIT32(6), GENMASK32(2, 0), BIT32(10)};
constexpr UINT32 B7_CTRL_304 = 0x304;
constexpr UINT32 B7_CTRL_368 = 0x368;
constexpr UINT32 B7_CTRL_36C = 0x36C;
constexpr UINT32 B7_CTRL_36C_BIT7 = BIT32(7);
constexpr UINT32 B7_CTRL_3A0 = 0x3A0;
constexpr UINT32 B7_CTRL_3A0_BIT0 = BIT32(0);

//
// Lane window: common registers and lane-indexed registers 0x80 apart.
//
constexpr UINT64 LANE_WINDOW_BASE = 0xA29D0000;
constexpr UINT32 LANE_STRIDE = 0x80;
constexpr UINT64 LaneReg(UINT32 Offset) {
  return LANE_WINDOW_BASE + Offset;
}

constexpr UINT32 LANE_MAC_WIDTH_COMMON = 0x378;
constexpr UINT32 LANE_MAC_WIDTH_0 = 0x100C; // lane j at + j x 0x80
constexpr UINT32 LANE_MAC_WIDTH_8BIT = BIT32(20);
constexpr UINT32 LANE_CTRL_0 = 0x1010; // lane i at + i x 0x80
constexpr UINT32 LANE_CTRL_BIT5 = BIT32(5);
constexpr UINT32 LANE_CTRL_BIT4 = BIT32(4);

//
// Global window: the root complex's global registers.
//
constexpr UINT64 GLOBAL_WINDOW_BASE = 0xA2800000;
constexpr UINT64 GlobalReg(UINT32 Offset) {
  return GLOBAL_WINDOW_BASE + Offset;
}

constexpr UINT32 GLOBAL_00320 = 0x00320;
constexpr UINT32 GLOBAL_00320_BITS7_0 = GENMASK32(7, 0);
constexpr UINT32 GLOBAL_003A0 = 0x003A0;
constexpr UINT32 GLOBAL_003A0_BITS27_16 = GENMASK32(27, 16);
constexpr UINT32 GLOBAL_003A0_BITS11_0 = GENMASK32(11, 0);
constexpr UINT32 GLOBAL_00500 = 0x00500;
constexpr UINT32 GLOBAL_00504 = 0x00504;
constexpr UINT32 GLOBAL_00508 = 0x00508;
constexpr UINT32 GLOBAL_0050C = 0x0050C;
constexpr UINT32 GLOBAL_008E0 = 0x008E0;
constexpr UINT32 GLOBAL_008E0_BIT5 = BIT32(5);
constexpr UINT32 GLOBAL_01800 = 0x01800;
constexpr UINT32 GLOBAL_02000 = 0x02000;
constexpr UINT32 GLOBAL_02000_BIT7 = BIT32(7);
constexpr UINT32 GLOBAL_02000_BIT3 = BIT32(3);
constexpr UINT32 GLOBAL_02008 = 0x02008;
constexpr UINT32 GLOBAL_02008_BITS7_0 = GENMASK32(7, 0);
constexpr UINT32 GLOBAL_0200C = 0x0200C;
constexpr UINT32 GLOBAL_02010 = 0x02010;
constexpr UINT32 GLOBAL_02010_BITS15_8 = GENMASK32(15, 8);
constexpr UINT32 GLOBAL_05808 = 0x05808;
constexpr UINT32 GLOBAL_05808_BIT13 = BIT32(13);
constexpr UINT32 GLOBAL_05814 = 0x05814;
constexpr UINT32 GLOBAL_05820 = 0x05820;
constexpr UINT32 GLOBAL_05820_BIT0 = BIT32(0);
constexpr UINT32 GLOBAL_05F00 = 0x05F00;
constexpr UINT32 GLOBAL_05F04 = 0x05F04;
constexpr UINT32 GLOBAL_05F08 = 0x05F08;
constexpr UINT32 GLOBAL_05F0C = 0x05F0C;
constexpr UINT32 GLOBAL_05F10 = 0x05F10;
constexpr UINT32 GLOBAL_05F10_BIT12 = BIT32(12);
constexpr UINT32 GLOBAL_05F1C = 0x05F1C;
constexpr UINT32 GLOBAL_05F1C_BIT12 = BIT32(12);
constexpr UINT32 GLOBAL_06100 = 0x06100;
constexpr UINT32 GLOBAL_06100_BITS5_4 = GENMASK32(5, 4);
constexpr UINT32 GLOBAL_0680C = 0x0680C;
constexpr UINT32 GLOBAL_0F2D8 = 0x0F2D8;
constexpr UINT32 GLOBAL_13230 = 0x13230;
constexpr UINT32 GLOBAL_13230_BIT11 = BIT32(11);
constexpr UINT32 GLOBAL_13238 = 0x13238;
constexpr UINT32 GLOBAL_13238_BITS10_0 = GENMASK32(10, 0);
constexpr UINT32 GLOBAL_PORT_SELECT = 0x20048; // bit number = controller index

// Outside the root complex's windows; written once before the controllers are configured.
constexpr UINT64 PCIE_SUBSYSTEM_CTRL = 0xA20C0328;
