// Simulation backend of the access layer: every operation goes to the simulated SoC, which
// records it in the event trace.
#pragma once

#include <Sim/Bus.h>
#include <Uefi.h>

inline UINT32 MmioRead32(UINT64 Address) {
  return SimMmioRead32(Address);
}

inline UINT32 MmioWrite32(UINT64 Address, UINT32 Value) {
  SimMmioWrite32(Address, Value);
  return Value;
}

inline UINT8 MmioRead8(UINT64 Address) {
  return SimMmioRead8(Address);
}

inline UINT8 MmioWrite8(UINT64 Address, UINT8 Value) {
  SimMmioWrite8(Address, Value);
  return Value;
}

inline void ArmDataSynchronizationBarrier() {
  SimDataSynchronizationBarrier();
}
inline UINT64 ArmReadCntFrq() {
  return SimReadCntFrq();
}
inline UINT64 ArmReadCntPct() {
  return SimReadCntPct();
}
inline void CpuPause() {
  SimCpuPause();
}

inline VOID* PhysicalAddressToPointer(UINT64 Address, UINTN Length) {
  return SimPhysicalAddressToPointer(Address, Length);
}
