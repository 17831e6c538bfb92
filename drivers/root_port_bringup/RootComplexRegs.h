// PCIe root-complex registers: the three register windows of the controllers, the root complex's
// global registers, and the fields that the bring-up programs. Each register is listed with its
// fields right beneath it.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

// Controller numbers of this SoC's root complex; only the low three bits select registers.
constexpr UINT32 CONTROLLER_INDEX_MASK = 7;
// Controllers whose port bit is p = 2 x (index & 7) own bits p and p + 16 of shared registers.
constexpr UINT32 PortBit(UINT32 Index) {
  return 2 * (Index & CONTROLLER_INDEX_MASK);
}

// A bit number beyond the register selects nothing rather than shifting out of range.
constexpr UINT32 RegisterBit(UINT32 Bit) {
  return Bit < 32 ? 1U << Bit : 0;
}

// Bits Low .. Low + Count - 1 of a register; those beyond bit 31 are dropped.
constexpr UINT32 RegisterBits(UINT32 Low, UINT32 Count) {
  if (Low > 31 || Count == 0) {
    return 0;
  }
  const UINT64 Ones = Count >= 64 ? ~0ULL : (1ULL << Count) - 1;
  return static_cast<UINT32>(Ones << Low);
}

// The value placed in the field Mask, cut to the field's width.
constexpr UINT32 FieldValue(UINT32 Mask, UINT32 Value) {
  return (Value << __builtin_ctz(Mask)) & Mask;
}

//
// Shared control window: one register for all controllers, told apart by bit positions.
//
constexpr UINT64 SHARED_WINDOW_BASE = 0xA2900000;
constexpr UINT64 SharedReg(UINT32 Offset) {
  return SHARED_WINDOW_BASE + Offset;
}

constexpr UINT32 SHARED_CTRL_00 = 0x00;     // bits p and p + 16, pulsed before configuration
constexpr UINT32 SHARED_PORT_ENABLE = 0x04; // bit p: port enabled
constexpr UINT32 SHARED_CTRL_08 = 0x08;     // bit p pulsed; bit p + 16 from the parameter set
constexpr UINT32 SHARED_CTRL_0C = 0x0C;     // bit p + 16 from the parameter set
constexpr UINT32 SHARED_PORT_MODE = 0x80;   // bit p: port mode 1
constexpr UINT32 SHARED_LANE_CTRL = 0xBC;   // lane bits p .. p + lane count - 1
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
constexpr UINT32 B4_CTRL_4EC = 0x4EC;
constexpr UINT32 B4_WIDTH_B1C = 0xB1C; // this and the next two: two width-class values each
constexpr UINT32 B4_WIDTH_B20 = 0xB20;
constexpr UINT32 B4_WIDTH_B24 = 0xB24;
constexpr UINT32 B4_WIDTH_LOW = GENMASK32(11, 0); // bits 15:12 belong to the register
constexpr UINT32 B4_WIDTH_HIGH = GENMASK32(31, 16);
constexpr UINT32 B4_WIDTH_B88 = 0xB88; // this and the next two: four width-class values each
constexpr UINT32 B4_WIDTH_B8C = 0xB8C;
constexpr UINT32 B4_WIDTH_B90 = 0xB90;
constexpr UINT32 B4_WIDTH_2BIT_HIGH = GENMASK32(15, 14);
constexpr UINT32 B4_WIDTH_2BIT_LOW = GENMASK32(13, 12);
constexpr UINT32 B4_CTRL_B28 = 0xB28;
constexpr UINT32 B4_CTRL_B94 = 0xB94;
constexpr UINT32 B4_CTRL_FFC = 0xFFC;

// Block 0x5000: configuration-space image, PCI Express capability at 0x40.
constexpr UINT32 CFG_VENDOR_DEVICE_ID = 0x00;
constexpr UINT32 CFG_VENDOR_ID = GENMASK32(15, 0);
constexpr UINT32 CFG_DEVICE_CONTROL = 0x48;
constexpr UINT32 CFG_MAX_PAYLOAD_SIZE = GENMASK32(7, 5);
constexpr UINT32 CFG_LINK_CAPABILITIES = 0x4C;
constexpr UINT32 CFG_MAX_LINK_SPEED = GENMASK32(3, 0);
constexpr UINT32 CFG_MAX_LINK_WIDTH = GENMASK32(9, 4);
constexpr UINT32 CFG_ASPM_SUPPORT = GENMASK32(11, 10);
constexpr UINT32 CFG_SLOT_CONTROL = 0x58;
constexpr UINT32 CFG_INDICATOR_CONTROLS = GENMASK32(9, 6);
constexpr UINT32 CFG_ROOT_CONTROL = 0x5C; // Root Capabilities in bits 31:16
constexpr UINT32 CFG_CRS_VISIBILITY = BIT32(16);
constexpr UINT32 CFG_DEVICE_CAPABILITIES2 = 0x64;
constexpr UINT32 CFG_DEVICE_CONTROL2 = 0x68;
constexpr UINT32 CFG_LINK_CONTROL2 = 0x70;
constexpr UINT32 CFG_CTRL_204 = 0x204;
constexpr UINT32 CFG_CTRL_310 = 0x310;
constexpr UINT32 CFG_CTRL_31C = 0x31C;
constexpr UINT32 CFG_CTRL_4E0 = 0x4E0;
constexpr UINT32 CFG_CTRL_4E4 = 0x4E4;
constexpr UINT32 CFG_CTRL_4E8 = 0x4E8;
constexpr UINT32 CFG_CTRL_704 = 0x704;
constexpr UINT32 CFG_CTRL_8A0 = 0x8A0;

// Block 0x6000.
constexpr UINT32 B6_LINK_STATUS = 0x088;
constexpr UINT32 B6_LINK_UP = BIT32(18);
constexpr UINT32 B6_CTRL_0DC = 0x0DC;
constexpr UINT32 B6_CTRL_0E8 = 0x0E8;

// Block 0x7000: link and MAC control.
constexpr UINT32 B7_CTRL_018 = 0x018;
constexpr UINT32 B7_CTRL_01C = 0x01C;
constexpr UINT32 B7_CTRL_050 = 0x050;
constexpr UINT32 B7_CTRL_09C = 0x09C;
constexpr UINT32 B7_CTRL_0A0 = 0x0A0;
constexpr UINT32 B7_CTRL_2C4 = 0x2C4;
constexpr UINT32 B7_CTRL_2C8 = 0x2C8;
constexpr UINT32 B7_CTRL_2EC = 0x2EC;
constexpr UINT32 B7_MAC_WIDTH_8BIT = BIT32(11);
constexpr UINT32 B7_CTRL_304 = 0x304;
constexpr UINT32 B7_CTRL_368 = 0x368;
constexpr UINT32 B7_CTRL_36C = 0x36C;
constexpr UINT32 B7_CTRL_3A0 = 0x3A0;

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
// Root-complex global registers.
//
constexpr UINT64 RC_PORT_SELECT = 0xA2820048; // bit number = controller index
constexpr UINT64 RC_08E0 = 0xA28008E0;
constexpr UINT64 RC_13230 = 0xA2813230;
constexpr UINT64 RC_13238 = 0xA2813238;
constexpr UINT64 RC_05814 = 0xA2805814;
constexpr UINT64 RC_05808 = 0xA2805808;
constexpr UINT64 RC_05820 = 0xA2805820;
constexpr UINT64 RC_02000 = 0xA2802000;
constexpr UINT64 RC_02008 = 0xA2802008;
constexpr UINT64 RC_0200C = 0xA280200C;
constexpr UINT64 RC_02010 = 0xA2802010;
constexpr UINT64 RC_00320 = 0xA2800320;
constexpr UINT64 RC_003A0 = 0xA28003A0;
constexpr UINT32 RC_003A0_LOW = GENMASK32(11, 0);
constexpr UINT32 RC_003A0_HIGH = GENMASK32(27, 16);
constexpr UINT64 RC_05F00 = 0xA2805F00;
constexpr UINT64 RC_05F04 = 0xA2805F04;
constexpr UINT64 RC_05F08 = 0xA2805F08;
constexpr UINT64 RC_05F0C = 0xA2805F0C;
constexpr UINT64 RC_05F10 = 0xA2805F10;
constexpr UINT64 RC_05F1C = 0xA2805F1C;
constexpr UINT64 RC_06100 = 0xA2806100;
constexpr UINT64 RC_01800 = 0xA2801800;
constexpr UINT64 RC_00500 = 0xA2800500;
constexpr UINT64 RC_00504 = 0xA2800504;
constexpr UINT64 RC_00508 = 0xA2800508;
constexpr UINT64 RC_0050C = 0xA280050C;
constexpr UINT64 RC_0680C = 0xA280680C;
constexpr UINT64 RC_0F2D8 = 0xA280F2D8;

// Outside the root complex's own range; written once before the controllers are configured.
constexpr UINT64 PCIE_SUBSYSTEM_CTRL = 0xA20C0328;
