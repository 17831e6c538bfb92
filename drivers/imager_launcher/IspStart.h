// The ISP start sequence: the register program that brings ISP core 0, and optionally core 1, out
// of reset on firmware images already placed in memory.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

// Chip variant 3 has one ISP core in use and a different layout of the shared ISP blocks.
constexpr UINT32 ISP_CHIP_VARIANT_3 = 3;

// Shared configuration block, written once per start whatever the number of cores.
constexpr UINT64 ISP_CFG_BASE = 0xA80E0000;
constexpr UINT64 ISP_CFG_V3_FIRST = 0x20; // chip variant 3: 0x20..0x44 cleared
constexpr UINT64 ISP_CFG_V3_LAST = 0x44;
constexpr UINT64 ISP_CFG_FIRST = 0x00; // other variants: 0x00..0x1C cleared,
constexpr UINT64 ISP_CFG_LAST = 0x1C;
constexpr UINT64 ISP_CFG_HIGH_FIRST = 0x800; // then 0x800..0x81C set to ISP_CFG_HIGH_VALUE
constexpr UINT64 ISP_CFG_HIGH_LAST = 0x81C;
constexpr UINT32 ISP_CFG_HIGH_VALUE = 0x00000048;

// Thirteen registers of the block at 0xA80C0000 that take all ones, in the order the hardware
// expects them (not sorted by address).
constexpr UINT64 ISP_ALL_ONES_REGISTERS[] = {
    0xA80C0334, 0xA80C0344, 0xA80C0364, 0xA80C037C, 0xA80C038C, 0xA80C0350, 0xA80C0368,
    0xA80C0C4C, 0xA80C0330, 0xA80C0340, 0xA80C0360, 0xA80C0378, 0xA80C0388,
};

// Start register shared by both cores; the bit moved on chip variant 3.
constexpr UINT64 ISP_START_REG = 0xA0780030;
constexpr UINT32 ISP_START_V3 = BIT32(7);
constexpr UINT32 ISP_START = BIT32(8);

// On chip variant 3 both cores take their second all-ones write at this fixed register instead of
// PB + 0x38.
constexpr UINT64 ISP_V3_ALL_ONES_REG = 0xA9122038;

// Per-core registers, as offsets in the core control block CB.
constexpr UINT64 ISP_CORE_CTRL = 0x48;
constexpr UINT32 ISP_CORE_CTRL_LOW = GENMASK32(3, 0);
constexpr UINT32 ISP_CORE_CTRL_INDEX = GENMASK32(11, 8); // the core's own index once set up
constexpr UINT32 ISP_CORE_CTRL_INDEX_SHIFT = 8;
constexpr UINT32 ISP_CORE_CTRL_FINAL = GENMASK32(19, 16); // set last, after both barriers
constexpr UINT64 ISP_CORE_4C = 0x4C;
constexpr UINT32 ISP_CORE_4C_V3_VALUE = 0x00037FFF;
constexpr UINT64 ISP_CORE_58 = 0x58;
constexpr UINT32 ISP_CORE_58_KEEP = GENMASK32(12, 0); // bits 31:13 take W
constexpr UINT64 ISP_CORE_68 = 0x68;
constexpr UINT64 ISP_CORE_6C = 0x6C;
constexpr UINT32 ISP_CORE_6C_VALUE = 0x0000FFFF;
constexpr UINT64 ISP_CORE_IMAGE_ADDR = 0x1A4;
constexpr UINT32 ISP_CORE_IMAGE_ADDR_KEEP = GENMASK32(31, 24);
constexpr UINT32 ISP_CORE_IMAGE_ADDR_BIT24 = BIT32(24);
constexpr UINT32 ISP_CORE_IMAGE_ADDR_SHIFT = 16; // bits 23:0 hold the address in 64 KiB units
// The register holds address bits 39:16, so an image must start below 1 TiB.
constexpr UINT64 ISP_IMAGE_ADDRESS_LIMIT = 1ULL << 40;
// Offset of the second block PB that takes all ones (except on chip variant 3).
constexpr UINT64 ISP_PB_ALL_ONES = 0x38;

constexpr UINT32 ISP_ALL_ONES = 0xFFFFFFFF;

// What differs between the two cores; the table index is the core index.
struct ISP_CORE_PARAMS {
  UINT64 G;  // bit 1 set at the start of the core's set-up
  UINT64 Cb; // core control block
  UINT32 W;  // bits 31:13 of CB + 0x58
  UINT64 Pb; // second block
  UINT64 S;  // CB - 0x2000: bit 3 set at the end of the core's set-up
};

constexpr ISP_CORE_PARAMS ISP_CORES[2] = {
    {0xA80600D0, 0xA9303000, 0xA93E0000, 0xA9204000, 0xA9301000},
    {0xAA0600D0, 0xA9703000, 0xA97E0000, 0xA9604000, 0xA9701000},
};
static_assert(ISP_CORES[0].S == ISP_CORES[0].Cb - 0x2000 &&
              ISP_CORES[1].S == ISP_CORES[1].Cb - 0x2000);

// Starts core 0 on Fw0Address and, when StartCore1 is true, core 1 on Fw1Address. Both addresses
// used must lie below ISP_IMAGE_ADDRESS_LIMIT; the caller checks them.
VOID RunIspStartSequence(UINT64 Fw0Address, UINT64 Fw1Address, bool StartCore1);

// The two per-core operations of a core's set-up; each reads the chip variant itself.
VOID ConfigureIspCore(UINT64 Cb, UINT32 Index, UINT32 W);
VOID SetIspCoreAllOnes(UINT64 Cb, UINT64 Pb);
