// Compile-time masks and field values for register definitions. A constant that does not fit its
// field, or a mask that is out of range, is refused by the compiler.
#pragma once

#include <Uefi.h>

namespace BitFieldDetail {
// Not constexpr: calling it during constant evaluation is the compile-time error.
inline void FieldValueDoesNotFit() {}
inline void BitIndexOutOfRange() {}
} // namespace BitFieldDetail

consteval UINT32 BIT32(UINTN Bit) {
  if (Bit > 31) {
    BitFieldDetail::BitIndexOutOfRange();
  }
  return 1U << Bit;
}

consteval UINT32 GENMASK32(UINTN High, UINTN Low) {
  if (High > 31 || Low > High) {
    BitFieldDetail::BitIndexOutOfRange();
  }
  return static_cast<UINT32>((~0ULL << Low) & (~0ULL >> (63 - High)));
}

// The value of field High..Low holding Value, refused when Value needs more bits than the field.
consteval UINT32 FIELD32(UINTN High, UINTN Low, UINT64 Value) {
  const UINT32 Mask = GENMASK32(High, Low);
  if (Value > (Mask >> Low)) {
    BitFieldDetail::FieldValueDoesNotFit();
  }
  return static_cast<UINT32>(Value << Low);
}
