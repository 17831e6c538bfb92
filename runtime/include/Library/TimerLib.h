// Busy-wait on the Arm generic timer.
#pragma once

#include <Uefi.h>

// Waits at least Microseconds and returns it.
UINT64 MicroSecondDelay(UINT64 Microseconds);
