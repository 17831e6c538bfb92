// The simulated SoC as the driver images see it: the entry points behind the simulation backend
// of the access layer. Plain C linkage so that every image, however it was loaded, reaches the
// one simulator of the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t SimMmioRead32(uint64_t Address);
void SimMmioWrite32(uint64_t Address, uint32_t Value);
uint8_t SimMmioRead8(uint64_t Address);
void SimMmioWrite8(uint64_t Address, uint8_t Value);
void SimDataSynchronizationBarrier(void);
uint64_t SimReadCntFrq(void);
uint64_t SimReadCntPct(void);
// Records one DELAY event and advances the simulated counter by the delay.
uint64_t SimMicroSecondDelay(uint64_t Microseconds);
// Only the stack-check dead loop pauses: the simulator stops the run there.
void SimCpuPause(void);
// Host pointer for a range of ordinary (untraced) memory; the whole range must lie in one region.
void* SimPhysicalAddressToPointer(uint64_t Address, size_t Length);

#ifdef __cplusplus
}
#endif
