// The simulated delay is one traced event that advances the simulated counter.
#include <Library/TimerLib.h>
#include <Platform/Access.h>

UINT64 MicroSecondDelay(UINT64 Microseconds) {
  return SimMicroSecondDelay(Microseconds);
}
