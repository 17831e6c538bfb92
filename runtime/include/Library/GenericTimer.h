// The delay arithmetic of the generic timer: ticks from microseconds, and the loop that consumes
// them from successive counter readings. The counter is architecturally at least 56 bits wide, so
// each step's advance is taken modulo 2^56; a wrap of the counter then costs nothing.
#pragma once

#include <Uefi.h>

constexpr UINT64 GENERIC_TIMER_COUNT_MASK = 0x00FFFFFFFFFFFFFFULL;

constexpr UINT64 GenericTimerTicks(UINT64 Microseconds, UINT64 Frequency) {
  return Microseconds * Frequency / 1000000;
}

// ReadCounter() returns the current CNTPCT_EL0. A zero tick count returns after the first read.
template <typename CounterReader>
inline void GenericTimerWait(UINT64 Ticks, CounterReader ReadCounter) {
  UINT64 Previous = ReadCounter();
  while (Ticks != 0) {
    const UINT64 Now = ReadCounter();
    const UINT64 Advance = (Now - Previous) & GENERIC_TIMER_COUNT_MASK;
    Previous = Now;
    Ticks = Advance >= Ticks ? 0 : Ticks - Advance;
  }
}
