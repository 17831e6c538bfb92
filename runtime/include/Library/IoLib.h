// Register access. The two primitives of each width come from the platform backend (hardware or
// simulation); everything here is built on them. Each read-modify-write helper is exactly one
// read followed by one write of the same register, and returns the value written. Fields are
// named by their masks (Library/BitField.h).
#pragma once

#include <Library/BitField.h>
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

// The field Mask of the register, shifted down to bit 0.
inline UINT32 MmioReadField32(UINT64 Address, UINT32 Mask)
    __attribute__((diagnose_if(!BitFieldDetail::IsFieldMask32(Mask),
                               "field mask is not one run of bits", "error"))) {
  return FIELD_GET32(Mask, MmioRead32(Address));
}

// The field Mask replaced by Value, every other bit kept.
inline UINT32 MmioWriteField32(UINT64 Address, UINT32 Mask, UINT64 Value)
    __attribute__((diagnose_if(!BitFieldDetail::IsFieldMask32(Mask),
                               "field mask is not one run of bits", "error")))
    __attribute__((diagnose_if(BitFieldDetail::IsFieldMask32(Mask) && !FIELD_FITS32(Mask, Value),
                               "value does not fit its field", "error"))) {
  return MmioAndThenOr32(Address, ~Mask, FIELD_PREP32(Mask, Value));
}

// Several fields replaced in one read and one write, Values[i] into the field Masks[i], every
// other bit kept. Out of line, so that a register of many fields costs one call where it is
// written.
__attribute__((noinline)) inline UINT32 MmioWriteFields32(UINT64 Address, const UINT32* Masks,
                                                          const UINT32* Values, UINTN Count) {
  UINT32 Value = MmioRead32(Address);
  for (UINTN Field = 0; Field < Count; ++Field) {
    Value = (Value & ~Masks[Field]) | FIELD_PREP32(Masks[Field], Values[Field]);
  }
  return MmioWrite32(Address, Value);
}

template <UINTN Count>
inline UINT32 MmioWriteFields32(UINT64 Address, const UINT32 (&Masks)[Count],
                                const UINT32 (&Values)[Count]) {
  return MmioWriteFields32(Address, Masks, Values, Count);
}
