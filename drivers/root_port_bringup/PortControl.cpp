// Per-controller operations on the register windows: the MAC data width and the port enable.
#include <Library/DebugLogLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/TimerLib.h>

#include "RootComplexRegs.h"
#include "RootPortBringup.h"

namespace {

// Width 8 sets the 8-bit flag, width 16 clears it; any other width leaves the value as it was.
UINT32 ApplyMacWidth(UINT32 Value, INT32 Width, UINT32 Flag8Bit) {
  if (Width == 8) {
    return Value | Flag8Bit;
  }
  if (Width == 16) {
    return Value & ~Flag8Bit;
  }
  return Value;
}

VOID WriteLaneMacWidth(UINT64 Address, INT32 Width) {
  MmioWrite32(Address, ApplyMacWidth(MmioRead32(Address), Width, LANE_MAC_WIDTH_8BIT));
}

} // namespace

VOID SetMacDataWidth(UINT32 Index, UINT32 Lanes, INT32 Width) {
  const UINT32 Variant = GetChipVariant();
  const UINT64 MacControl = CtlReg(Index, CTL_BLOCK_7000, B7_MAC_CONTROL);
  const UINT32 Value = ApplyMacWidth(MmioRead32(MacControl), Width, B7_MAC_WIDTH_8BIT);
  if (Width == 8) {
    LogPrint(LOG_INFO, "MAC set data width 8bit\n");
  } else if (Width == 16) {
    LogPrint(LOG_INFO, "MAC set data width 16bit\n");
  }
  MmioWrite32(MacControl, Value);

  if (Variant != CHIP_VARIANT_3) {
    WriteLaneMacWidth(LaneReg(LANE_MAC_WIDTH_COMMON), Width);
  }
  // The controller's lanes start at its port bit; counted so that no lanes means no access.
  const UINT32 FirstLane = PortBit(Index);
  for (UINT32 Lane = 0; Lane < Lanes; ++Lane) {
    WriteLaneMacWidth(LaneReg(LANE_MAC_WIDTH_0 + (FirstLane + Lane) * LANE_STRIDE), Width);
  }
}

VOID EnablePort(UINT32 Index) {
  MicroSecondDelay(1);
  LogPrint(LOG_INFO, "start enable pcie port.\n");
  MmioOr32(SharedReg(SHARED_PORT_ENABLE), PortMask(Index));
}
