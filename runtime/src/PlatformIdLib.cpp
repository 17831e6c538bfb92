#include <Library/BitField.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>

namespace {

constexpr UINT32 CHIP_VARIANT_MASK = GENMASK32(3, 0);
constexpr UINT32 CHIP_VARIANT_WIDE_ID = 3;
constexpr UINT32 PLATFORM_CODE_SHIFT = 16;
constexpr UINT32 PLATFORM_CODE_EMULATOR = 1;
constexpr UINT32 PLATFORM_CODE_OTHER = 2;
constexpr UINT32 PLATFORM_ID_FPGA_FLAG = BIT32(8);
constexpr UINT32 SYS_CONFIG_MODE_MASK = GENMASK32(10, 9);
constexpr UINT32 SYS_CONFIG_MODE_SHIFT = 9;
constexpr UINT32 SYS_CONFIG_FLAG = BIT32(13);
constexpr UINT32 SYS_CONFIG_WIDE_BOARD_ID = BIT32(15);
constexpr UINT32 BOARD_ID_WIDE_MASK = GENMASK32(23, 0);
constexpr UINT32 BOARD_ID_NARROW_MASK = GENMASK32(15, 0);

} // namespace

UINT32 GetBootTimeMs() {
  return MmioRead32(BOOT_COUNTER_REG) / BOOT_COUNTER_TICKS_PER_MS;
}

UINT32 GetChipVariant() {
  return MmioRead32(CHIP_VARIANT_REG) & CHIP_VARIANT_MASK;
}

UINT32 GetSysConfigMode() {
  return (MmioRead32(SYS_CONFIG_REG) & SYS_CONFIG_MODE_MASK) >> SYS_CONFIG_MODE_SHIFT;
}

UINT32 IsWideBoardId() {
  if (GetChipVariant() == CHIP_VARIANT_WIDE_ID) {
    return 1;
  }
  return (MmioRead32(SYS_CONFIG_REG) & SYS_CONFIG_WIDE_BOARD_ID) != 0 ? 1 : 0;
}

UINT32 GetBoardId() {
  const UINT32 Mask = IsWideBoardId() != 0 ? BOARD_ID_WIDE_MASK : BOARD_ID_NARROW_MASK;
  return MmioRead32(BOARD_ID_REG) & Mask;
}

UINT32 GetPlatformKind() {
  const UINT32 Id = MmioRead32(PLATFORM_ID_REG);
  if (Id == 0) {
    return PLATFORM_KIND_SILICON;
  }
  const UINT32 Code = Id >> PLATFORM_CODE_SHIFT;
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
    return (MmioRead32(SYS_CONFIG_REG) & SYS_CONFIG_FLAG) != 0 ? 1 : 0;
  }
  return (MmioRead32(PLATFORM_ID_REG) & PLATFORM_ID_FPGA_FLAG) != 0 ? 1 : 0;
}
