// Bits and fields of 32-bit registers. A field is a mask of one run of bits, written once under
// its register, high bit first as the register tables give it (GENMASK32(9, 4)); every value put
// into a field or taken out of one goes through that mask. The compiler refuses a constant that
// does not fit its field, a field mask that is not one run of bits, and a bit number beyond the
// register. A value known only at run time is cut to its field and never reaches the bits beside
// it; a run-time bit range is cut to the register.
#pragma once

#include <Uefi.h>

namespace BitFieldDetail {

constexpr bool IsBitRange32(UINT64 High, UINT64 Low) {
  return High <= 31 && Low <= High;
}

// Non-zero, and one run of bits: adding its lowest set bit clears every bit of the mask.
constexpr bool IsFieldMask32(UINT32 Mask) {
  return Mask != 0 && ((Mask + (Mask & (~Mask + 1))) & Mask) == 0;
}

constexpr UINT32 FieldShift32(UINT32 Mask) {
  return static_cast<UINT32>(__builtin_ctz(Mask));
}

} // namespace BitFieldDetail

// Whether Value fits the field Mask; the compile-time checks below go by it.
constexpr bool FIELD_FITS32(UINT32 Mask, UINT64 Value) {
  return BitFieldDetail::IsFieldMask32(Mask) &&
         Value <= (Mask >> BitFieldDetail::FieldShift32(Mask));
}

constexpr UINT32 BIT32(UINT32 Bit)
    __attribute__((diagnose_if(Bit > 31, "bit number beyond a 32-bit register", "error"))) {
  return Bit < 32 ? 1U << Bit : 0;
}

// Bits High down to Low.
constexpr UINT32 GENMASK32(UINT32 High, UINT32 Low)
    __attribute__((diagnose_if(!BitFieldDetail::IsBitRange32(High, Low),
                               "bit range High:Low must have 31 >= High >= Low", "error"))) {
  if (Low > High || Low > 31) {
    return 0;
  }
  return static_cast<UINT32>((~0ULL << Low) & (~0ULL >> (63 - (High > 31 ? 31 : High))));
}

// Value placed in the field Mask (Linux's FIELD_PREP).
constexpr UINT32 FIELD_PREP32(UINT32 Mask, UINT64 Value)
    __attribute__((diagnose_if(!BitFieldDetail::IsFieldMask32(Mask),
                               "field mask is not one run of bits", "error")))
    __attribute__((diagnose_if(BitFieldDetail::IsFieldMask32(Mask) && !FIELD_FITS32(Mask, Value),
                               "value does not fit its field", "error"))) {
  return static_cast<UINT32>(Value << BitFieldDetail::FieldShift32(Mask)) & Mask;
}

// The field Mask of a register value, shifted down to bit 0 (Linux's FIELD_GET).
constexpr UINT32 FIELD_GET32(UINT32 Mask, UINT32 Register)
    __attribute__((diagnose_if(!BitFieldDetail::IsFieldMask32(Mask),
                               "field mask is not one run of bits", "error"))) {
  return (Register & Mask) >> BitFieldDetail::FieldShift32(Mask);
}
