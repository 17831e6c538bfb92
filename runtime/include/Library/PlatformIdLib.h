// Platform identification registers, the boot counter and the decoders over them. Every call
// reads its registers again; nothing is cached.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

constexpr UINT64 BOOT_COUNTER_REG = 0x80020008;
constexpr UINT32 BOOT_COUNTER_TICKS_PER_MS = 38400; // 38.4 MHz

constexpr UINT64 CHIP_VARIANT_REG = 0x8000FFF8;
constexpr UINT32 CHIP_VARIANT_ID = GENMASK32(3, 0);

constexpr UINT64 PLATFORM_ID_REG = 0x8000FFFC; // zero on silicon
constexpr UINT32 PLATFORM_ID_CODE = GENMASK32(31, 16);
constexpr UINT32 PLATFORM_ID_VERSION = GENMASK32(15, 0);
constexpr UINT32 PLATFORM_ID_FPGA_SLOT_TYPE_2 = BIT32(9);
constexpr UINT32 PLATFORM_ID_FPGA_FLAG = BIT32(8);

constexpr UINT64 BOARD_ID_REG = 0x8000F07C;
constexpr UINT32 BOARD_ID_WIDE = GENMASK32(23, 0);
constexpr UINT32 BOARD_ID_NARROW = GENMASK32(15, 0);

constexpr UINT64 SYS_CONFIG_REG = 0x8000E08C;
constexpr UINT32 SYS_CONFIG_SLOT = GENMASK32(28, 26);
constexpr UINT32 SYS_CONFIG_WIDE_BOARD_ID = BIT32(15);
constexpr UINT32 SYS_CONFIG_FLAG = BIT32(13);
constexpr UINT32 SYS_CONFIG_MODE = GENMASK32(10, 9);
constexpr UINT32 SYS_CONFIG_SECOND_CHIP = BIT32(5); // silicon: a second chip is strapped in

enum PLATFORM_KIND : UINT32 {
  PLATFORM_KIND_FPGA = 0,
  PLATFORM_KIND_SILICON = 1,
  PLATFORM_KIND_OTHER = 2,
  PLATFORM_KIND_EMULATOR = 3,
};

UINT32 GetPlatformKind();
UINT32 GetChipVariant();
UINT32 GetBoardId();
UINT32 IsWideBoardId();
UINT32 GetSysConfigMode();
UINT32 GetSysConfigFlag();
UINT32 GetBootTimeMs();
