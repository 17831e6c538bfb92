// The generic-timer delay as the simulated machine sees it, for comparing the engines: natively a
// delay is one DELAY event, while an image run as machine code reads CNTFRQ_EL0 once and then
// polls CNTPCT_EL0, which the machine advances by one microsecond (at least one tick) per read.
#pragma once

#include <cstdint>

namespace timertest {

// Reads of CNTPCT_EL0 in MicroSecondDelay(Microseconds): one to start, then until the advances
// cover ticks = Microseconds * Frequency / 1000000 (truncating).
inline uint64_t CounterReadsForDelay(uint64_t Microseconds, uint64_t Frequency) {
  const uint64_t Ticks = Microseconds * Frequency / 1000000;
  const uint64_t Step = Frequency >= 1000000 ? Frequency / 1000000 : 1;
  return 1 + (Ticks + Step - 1) / Step;
}

} // namespace timertest
