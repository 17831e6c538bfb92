#include <Library/BitField.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>

namespace {

// Chip variant 3 always has wide board ids.
constexpr UINT32 WIDE_BOARD_ID_VARIANT = 3;
constexpr UINT32 PLATFORM_CODE_EMULATOR = 1;
constexpr UINT32 PLATFORM_CODE_OTHER = 2;

} // namespace

UINT32 GetBootTimeMs() {
  return MmioRead32(BOOT_COUNTER_REG) / BOOT_COUNTER_TICKS_PER_MS;
}

UINT32 GetChipVariant() {
  return MmioReadField32(CHIP_VARIANT_REG, CHIP_VARIANT_ID);
}

UINT32 GetSysConfigMode() {
  return MmioReadField32(SYS_CONFIG_REG, SYS_CONFIG_MODE);
}

UINT32 IsWideBoardId() {
  if (GetChipVariant() == WIDE_BOARD_ID_VARIANT) {
    return 1;
  }
  return MmioReadField32(SYS_CONFIG_REG, SYS_CONFIG_WIDE_BOARD_ID);
}

UINT32 GetBoardId() {
  const UINT32 Field = IsWideBoardId() != 0 ? BOARD_ID_WIDE : BOARD_ID_NARROW;
  return MmioReadField32(BOARD_ID_REG, Field);
}

UINT32 GetPlatformKind() {
  const UINT32 Id = MmioRead32(PLATFORM_ID_REG);
  if (Id == 0) {
    return PLATFORM_KIND_SILICON;
  }
  const UINT32 Code = FIELD_GET32(PLATFORM_ID_CODE, Id);
  if (Code == PLATFORM_CODE_EMULATOR) {
    return PLATFORM_KIND_EMULATOR;
  }
  if (Code == PLATFORM_CODE_OTHER) {
    return PLATFORM_KIND_OTHER;
  }
  return PLATFORM_KIND_FPGA;
}

UINT32 GetSysConfigFlag() {
  if (GetPlatformKind() != PLATFORM_KIND_FPGA) {
    return MmioReadField32(SYS_CONFIG_REG, SYS_CONFIG_FLAG);
  }
  return MmioReadField32(PLATFORM_ID_REG, PLATFORM_ID_FPGA_FLAG);
}
