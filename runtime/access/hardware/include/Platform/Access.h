// Hardware backend of the access layer: single volatile accesses at physical addresses (the
// drivers run identity-mapped during boot services), the Arm barrier, the generic timer and the
// pause hint. No barrier is hidden in the register accessors.
#pragma once

#include <Uefi.h>

inline UINT32 MmioRead32(UINT64 Address) {
  return *reinterpret_cast<volatile UINT32*>(static_cast<UINTN>(Address));
}

inline UINT32 MmioWrite32(UINT64 Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32*>(static_cast<UINTN>(Address)) = Value;
  return Value;
}

inline UINT8 MmioRead8(UINT64 Address) {
  return *reinterpret_cast<volatile UINT8*>(static_cast<UINTN>(Address));
}

inline UINT8 MmioWrite8(UINT64 Address, UINT8 Value) {
  *reinterpret_cast<volatile UINT8*>(static_cast<UINTN>(Address)) = Value;
  return Value;
}

inline void ArmDataSynchronizationBarrier() {
  __asm__ volatile("dsb sy" ::: "memory");
}

inline UINT64 ArmReadCntFrq() {
  UINT64 Value;
  __asm__ volatile("mrs %0, cntfrq_el0" : "=r"(Value));
  return Value;
}

inline UINT64 ArmReadCntPct() {
  UINT64 Value;
  __asm__ volatile("mrs %0, cntpct_el0" : "=r"(Value));
  return Value;
}

// Five no-operation instructions: the pause sequence of the dead loop.
inline void CpuPause() {
  __asm__ volatile("nop\n\tnop\n\tnop\n\tnop\n\tnop" ::: "memory");
}

// Memory that the drivers reach with ordinary loads and stores (the boot-log ring, the ISP status
// record) is addressed directly.
inline VOID* PhysicalAddressToPointer(UINT64 Address, UINTN /*Length*/) {
  return reinterpret_cast<VOID*>(static_cast<UINTN>(Address));
}
