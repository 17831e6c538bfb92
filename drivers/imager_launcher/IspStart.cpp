#include "IspStart.h"

#include <Library/DebugLogLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>

namespace {

VOID WriteIspCfgRange(UINT32 First, UINT32 Last, UINT32 Value) {
  for (UINT32 Offset = First; Offset <= Last; Offset += sizeof(UINT32)) {
    MmioWrite32(IspCfgReg(Offset), Value);
  }
}

VOID SetUpIspCore(UINT32 Index, UINT64 ImageAddress) {
  const ISP_CORE_PARAMS& Core = ISP_CORES[Index];
  MmioOr32(Core.SetUpStartReg, ISP_SET_UP_START);
  MmioAndThenOr32(IspCoreReg(Core.ControlBlock, ISP_CORE_CTRL), ~ISP_CORE_CTRL_BITS3_0,
                  ISP_CORE_CTRL_INDEX);
  MmioAndThenOr32(IspCoreReg(Core.ControlBlock, ISP_CORE_IMAGE_ADDR),
                  ~(ISP_CORE_IMAGE_ADDR_BIT24 | ISP_CORE_IMAGE_ADDR_64K),
                  ISP_CORE_IMAGE_ADDR_BIT24 |
                      FIELD_PREP32(ISP_CORE_IMAGE_ADDR_64K, ImageAddress >> 16));
  ConfigureIspCore(Core.ControlBlock, Index, Core.Core58Value);
  SetIspCoreAllOnes(Core.ControlBlock, Core.SecondBlock);
  MmioOr32(Core.SetUpEndReg, ISP_SET_UP_END);
}

} // namespace

VOID ConfigureIspCore(UINT64 ControlBlock, UINT32 Index, UINT32 Core58Value) {
  const UINT32 Variant = GetChipVariant();
  MmioWriteField32(IspCoreReg(ControlBlock, ISP_CORE_CTRL), ISP_CORE_CTRL_INDEX, Index);
  MmioAndThenOr32(IspCoreReg(ControlBlock, ISP_CORE_58), ~ISP_CORE_58_BITS31_13, Core58Value);
  if (Variant == ISP_CHIP_VARIANT_3) {
    MmioWrite32(IspCoreReg(ControlBlock, ISP_CORE_4C), ISP_CORE_4C_V3_VALUE);
  }
  MmioWrite32(IspCoreReg(ControlBlock, ISP_CORE_68), ISP_ALL_ONES);
}

VOID SetIspCoreAllOnes(UINT64 ControlBlock, UINT64 SecondBlock) {
  const UINT32 Variant = GetChipVariant();
  MmioWrite32(IspCoreReg(ControlBlock, ISP_CORE_6C), ISP_CORE_6C_VALUE);
  MmioWrite32(Variant == ISP_CHIP_VARIANT_3 ? ISP_V3_ALL_ONES_REG
                                            : IspCoreReg(SecondBlock, ISP_SECOND_ALL_ONES),
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
  for (const UINT16 Offset : ISP_ALL_ONES_OFFSETS) {
    MmioWrite32(IspAllOnesReg(Offset), ISP_ALL_ONES);
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

  MmioOr32(IspCoreReg(ISP_CORES[0].ControlBlock, ISP_CORE_CTRL), ISP_CORE_CTRL_FINAL);
  if (StartCore1) {
    MmioOr32(IspCoreReg(ISP_CORES[1].ControlBlock, ISP_CORE_CTRL), ISP_CORE_CTRL_FINAL);
  }

  LogPrint(LOG_WARNING, "Boot isp end!\n");
}
