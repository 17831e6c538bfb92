#include <Library/GenericTimer.h>
#include <Library/TimerLib.h>
#include <Platform/Access.h>

UINT64 MicroSecondDelay(UINT64 Microseconds) {
  GenericTimerWait(GenericTimerTicks(Microseconds, ArmReadCntFrq()), ArmReadCntPct);
  return Microseconds;
}
