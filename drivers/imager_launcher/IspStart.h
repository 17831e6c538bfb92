// The ISP start sequence: the register program that brings ISP core 0, and optionally core 1, out
// of reset on firmware images already placed in memory. The registers of a block are offsets in
// it, reached through the block's helper; a register that stands alone is named by its address.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

// Chip variant 3 has one ISP core in use and a different layout of the shared ISP blocks.
constexpr UINT32 ISP_CHIP_VARIANT_3 = 3;

constexpr UINT32 ISP_ALL_ONES = 0xFFFFFFFF;

// Configuration block, written once per start whatever the number of cores.
constexpr UINT64 ISP_CFG_BLOCK = 0xA80E0000;
constexpr UINT64 IspCfgReg(UINT32 Offset) {
  return ISP_CFG_BLOCK + Offset;
}
constexpr UINT32 ISP_CFG_V3_FIRST = 0x20; // chip variant 3: 0x20..0x44 cleared
constexpr UINT32 ISP_CFG_V3_LAST = 0x44;
constexpr UINT32 ISP_CFG_FIRST = 0x00; // other variants: 0x00..0x1C cleared,
constexpr UINT32 ISP_CFG_LAST = 0x1C;
constexpr UINT32 ISP_CFG_HIGH_FIRST = 0x800; // then 0x800..0x81C set to ISP_CFG_HIGH_VALUE
constexpr UINT32 ISP_CFG_HIGH_LAST = 0x81C;
constexpr UINT32 ISP_CFG_HIGH_VALUE = 0x00000048;

// Thirteen registers of this block take all ones, in the order the hardware expects them (not
// sorted by address).
constexpr UINT64 ISP_ALL_ONES_BLOCK = 0xA80C0000;
constexpr UINT64 IspAllOnesReg(UINT32 Offset) {
  return ISP_ALL_ONES_BLOCK + Offset;
}
constexpr UINT16 ISP_ALL_ONES_OFFSETS[] = {
    0x334, 0x344, 0x364, 0x37C, 0x38C, 0x350, 0x368, 0xC4C, 0x330, 0x340, 0x360, 0x378, 0x388,
};

// Start register shared by both cores; the bit moved on chip variant 3.
constexpr UINT64 ISP_START_REG = 0xA0780030;
constexpr UINT32 ISP_START = BIT32(8);
constexpr UINT32 ISP_START_V3 = BIT32(7);

// On chip variant 3 both cores take their second all-ones write at this fixed register instead of
// their second block's register 0x38.
constexpr UINT64 ISP_V3_ALL_ONES_REG = 0xA9122038;

// A register in one of a core's two blocks, its control block or its second block.
constexpr UINT64 IspCoreReg(UINT64 Block, UINT32 Offset) {
  return Block + Offset;
}

// Control block.
constexpr UINT32 ISP_CORE_CTRL = 0x48;
constexpr UINT32 ISP_CORE_CTRL_FINAL = GENMASK32(19, 16); // set last, after both barriers
constexpr UINT32 ISP_CORE_CTRL_INDEX = GENMASK32(11, 8);  // the core's own index once set up
constexpr UINT32 ISP_CORE_CTRL_BITS3_0 = GENMASK32(3, 0);
constexpr UINT32 ISP_CORE_4C = 0x4C;
constexpr UINT32 ISP_CORE_4C_V3_VALUE = 0x00037FFF;
constexpr UINT32 ISP_CORE_58 = 0x58;
constexpr UINT32 ISP_CORE_58_BITS31_13 = GENMASK32(31, 13);
constexpr UINT32 ISP_CORE_68 = 0x68;
constexpr UINT32 ISP_CORE_6C = 0x6C;
constexpr UINT32 ISP_CORE_6C_VALUE = 0x0000FFFF;
constexpr UINT32 ISP_CORE_IMAGE_ADDR = 0x1A4;
constexpr UINT32 ISP_CORE_IMAGE_ADDR_BIT24 = BIT32(24);
constexpr UINT32 ISP_CORE_IMAGE_ADDR_64K = GENMASK32(23, 0); // the address in 64 KiB units
// The register holds address bits 39:16, so an image must start below 1 TiB.
constexpr UINT64 ISP_IMAGE_ADDRESS_LIMIT = 1ULL << 40;

// Second block: register 0x38 takes all ones (except on chip variant 3).
constexpr UINT32 ISP_SECOND_ALL_ONES = 0x38;

// What differs between the two cores; the table index is the core index.
struct ISP_CORE_PARAMS {
  UINT64 SetUpStartReg; // bit 1 set as the core's set-up starts
  UINT64 ControlBlock;
  UINT32 Core58Value; // bits 31:13 of the control block's register 0x58
  UINT64 SecondBlock;
  UINT64 SetUpEndReg; // the control block - 0x2000: bit 3 set as the core's set-up ends
};
constexpr UINT32 ISP_SET_UP_START = BIT32(1);
constexpr UINT32 ISP_SET_UP_END = BIT32(3);

constexpr ISP_CORE_PARAMS ISP_CORES[2] = {
    {0xA80600D0, 0xA9303000, 0xA93E0000, 0xA9204000, 0xA9301000},
    {0xAA0600D0, 0xA9703000, 0xA97E0000, 0xA9604000, 0xA9701000},
};
static_assert(ISP_CORES[0].SetUpEndReg == ISP_CORES[0].ControlBlock - 0x2000 &&
              ISP_CORES[1].SetUpEndReg == ISP_CORES[1].ControlBlock - 0x2000);
static_assert((ISP_CORES[0].Core58Value & ~ISP_CORE_58_BITS31_13) == 0 &&
              (ISP_CORES[1].Core58Value & ~ISP_CORE_58_BITS31_13) == 0);

// Starts core 0 on Fw0Address and, when StartCore1 is true, core 1 on Fw1Address. Both addresses
// used must lie below ISP_IMAGE_ADDRESS_LIMIT; the caller checks them.
VOID RunIspStartSequence(UINT64 Fw0Address, UINT64 Fw1Address, bool StartCore1);

// The two per-core operations of a core's set-up; each reads the chip variant itself.
VOID ConfigureIspCore(UINT64 ControlBlock, UINT32 Index, UINT32 Core58Value);
VOID SetIspCoreAllOnes(UINT64 ControlBlock, UINT64 SecondBlock);
