// Platform identification registers, the boot counter and the decoders over them. Every call
// reads its registers again; nothing is cached.
#pragma once

#include <Uefi.h>

constexpr UINT64 BOOT_COUNTER_REG = 0x80020008;
constexpr UINT32 BOOT_COUNTER_TICKS_PER_MS = 38400; // 38.4 MHz
constexpr UINT64 CHIP_VARIANT_REG = 0x8000FFF8;
constexpr UINT64 PLATFORM_ID_REG = 0x8000FFFC;
constexpr UINT64 BOARD_ID_REG = 0x8000F07C;
constexpr UINT64 SYS_CONFIG_REG = 0x8000E08C;

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
