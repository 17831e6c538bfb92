// Register access. The two primitives of each width come from the platform backend (hardware or
// simulation); everything here is built on them. Each read-modify-write helper is exactly one
// read followed by one write of the same register, and returns the value written.
#pragma once

#include <Platform/Access.h>
#include <Uefi.h>

inline UINT32 MmioOr32(UINT64 Address, UINT32 OrData) {
  return MmioWrite32(Address, MmioRead32(Address) | OrData);
}

inline UINT32 MmioAnd32(UINT64 Address, UINT32 AndData) {
  return MmioWrite32(Address, MmioRead32(Address) & AndData);
}

inline UINT32 MmioAndThenOr32(UINT64 Address, UINT32 AndData, UINT32 OrData) {
  return MmioWrite32(Address, (MmioRead32(Address) & AndData) | OrData);
}

// Mask of bits StartBit..EndBit inclusive (EndBit >= StartBit, both below 32).
constexpr UINT32 BitFieldMask32(UINTN StartBit, UINTN EndBit) {
  return static_cast<UINT32>((~0ULL << StartBit) & (~0ULL >> (63 - EndBit)));
}

// The value is given unshifted and is cut to the field's width: it never spills into
// neighbouring bits.
constexpr UINT32 BitFieldWrite32(UINT32 Operand, UINTN StartBit, UINTN EndBit, UINT32 Value) {
  const UINT32 Mask = BitFieldMask32(StartBit, EndBit);
  return (Operand & ~Mask) | ((Value << StartBit) & Mask);
}

constexpr UINT32 BitFieldRead32(UINT32 Operand, UINTN StartBit, UINTN EndBit) {
  return (Operand & BitFieldMask32(StartBit, EndBit)) >> StartBit;
}

inline UINT32 MmioBitFieldRead32(UINT64 Address, UINTN StartBit, UINTN EndBit) {
  return BitFieldRead32(MmioRead32(Address), StartBit, EndBit);
}

inline UINT32 MmioBitFieldWrite32(UINT64 Address, UINTN StartBit, UINTN EndBit, UINT32 Value) {
  return MmioWrite32(Address, BitFieldWrite32(MmioRead32(Address), StartBit, EndBit, Value));
}

inline UINT32 MmioBitFieldOr32(UINT64 Address, UINTN StartBit, UINTN EndBit, UINT32 OrData) {
  const UINT32 Mask = BitFieldMask32(StartBit, EndBit);
  return MmioWrite32(Address, MmioRead32(Address) | ((OrData << StartBit) & Mask));
}

inline UINT32 MmioBitFieldAnd32(UINT64 Address, UINTN StartBit, UINTN EndBit, UINT32 AndData) {
  const UINT32 Mask = BitFieldMask32(StartBit, EndBit);
  return MmioWrite32(Address, MmioRead32(Address) & (((AndData << StartBit) & Mask) | ~Mask));
}

inline UINT8 MmioOr8(UINT64 Address, UINT8 OrData) {
  return MmioWrite8(Address, static_cast<UINT8>(MmioRead8(Address) | OrData));
}

inline UINT8 MmioAnd8(UINT64 Address, UINT8 AndData) {
  return MmioWrite8(Address, static_cast<UINT8>(MmioRead8(Address) & AndData));
}
