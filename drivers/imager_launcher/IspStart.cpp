#include "IspStart.h"

#include <Library/DebugLogLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>

namespace {

VOID WriteIspCfgRange(UINT64 First, UINT64 Last, UINT32 Value) {
  for (UINT64 Offset = First; Offset <= Last; Offset += sizeof(UINT32)) {
    MmioWrite32(ISP_CFG_BASE + Offset, Value);
  }
}

VOID SetUpIspCore(UINT32 Index, UINT64 ImageAddress) {
  const ISP_CORE_PARAMS& Core = ISP_CORES[Index];
  MmioOr32(Core.G, BIT32(1));
  MmioAndThenOr32(Core.Cb + ISP_CORE_CTRL, ~ISP_CORE_CTRL_LOW, ISP_CORE_CTRL_INDEX);
  // Bits 23:0 take address bits 39:16; the caller keeps the address below 1 TiB, so nothing
  // spills into bits 31:24.
  MmioAndThenOr32(Core.Cb + ISP_CORE_IMAGE_ADDR, ISP_CORE_IMAGE_ADDR_KEEP,
                  ISP_CORE_IMAGE_ADDR_BIT24 |
                      static_cast<UINT32>(ImageAddress >> ISP_CORE_IMAGE_ADDR_SHIFT));
  ConfigureIspCore(Core.Cb, Index, Core.W);
  SetIspCoreAllOnes(Core.Cb, Core.Pb);
  MmioOr32(Core.S, BIT32(3));
}

} // namespace

VOID ConfigureIspCore(UINT64 Cb, UINT32 Index, UINT32 W) {
  const UINT32 Variant = GetChipVariant();
  MmioAndThenOr32(Cb + ISP_CORE_CTRL, ~ISP_CORE_CTRL_INDEX, Index << ISP_CORE_CTRL_INDEX_SHIFT);
  MmioAndThenOr32(Cb + ISP_CORE_58, ISP_CORE_58_KEEP, W);
  if (Variant == ISP_CHIP_VARIANT_3) {
    MmioWrite32(Cb + ISP_CORE_4C, ISP_CORE_4C_V3_VALUE);
  }
  MmioWrite32(Cb + ISP_CORE_68, ISP_ALL_ONES);
}

VOID SetIspCoreAllOnes(UINT64 Cb, UINT64 Pb) {
  const UINT32 Variant = GetChipVariant();
  MmioWrite32(Cb + ISP_CORE_6C, ISP_CORE_6C_VALUE);
  MmioWrite32(Variant == ISP_CHIP_VARIANT_3 ? ISP_V3_ALL_ONES_REG : Pb + ISP_PB_ALL_ONES,
              ISP_ALL_ONES);
}

VOID RunIspStartSequence(UINT64 Fw0Address, UINT64 Fw1Address, bool StartCore1) {
  const UINT32 Now = GetBootTimeMs();
  LogPrint(LOG_WARNING, "[%d.%03d] [BOOT_TRACE] Boot isp start...\n", Now / 1000, Now % 1000);

  if (GetChipVariant() == ISP_CHIP_VARIANT_3) {
    WriteIspCfgRange(ISP_CFG_V3_FIRST, ISP_CFG_V3_LAST, 0);
  } else {
    WriteIspCfgRange(ISP_CFG_FIRST, ISP_CFG_LAST, 0);
    WriteIspCfgRange(ISP_CFG_HIGH_FIRST, ISP_CFG_HIGH_LAST, ISP_CFG_HIGH_VALUE);
  }
  for (const UINT64 Register : ISP_ALL_ONES_REGISTERS) {
    MmioWrite32(Register, ISP_ALL_ONES);
  }

  SetUpIspCore(0, Fw0Address);
  if (StartCore1) {
    SetUpIspCore(1, Fw1Address);
  }

  // The whole set-up must have reached the ISP before the start bit is set, and the start bit
  // before the cores' final control writes.
  ArmDataSynchronizationBarrier();
  const UINT32 Variant = GetChipVariant();
  MmioOr32(ISP_START_REG, Variant == ISP_CHIP_VARIANT_3 ? ISP_START_V3 : ISP_START);
  ArmDataSynchronizationBarrier();

  MmioOr32(ISP_CORES[0].Cb + ISP_CORE_CTRL, ISP_CORE_CTRL_FINAL);
  if (StartCore1) {
    MmioOr32(ISP_CORES[1].Cb + ISP_CORE_CTRL, ISP_CORE_CTRL_FINAL);
  }

  LogPrint(LOG_WARNING, "Boot isp end!\n");
}
