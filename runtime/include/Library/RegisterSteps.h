// Fixed register programs as constant tables: one row per step, a register by its offset in a
// window and what is done to it, in the program's order. RunRegisterSteps walks a table at the
// window's base; each read-modify-write is one read and one write of the register.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

enum REGISTER_STEP_OP : UINT32 {
  STEP_OP_WRITE, // write Value, no read
  STEP_OP_SET,   // read, set the bits of Value, write back
  STEP_OP_CLEAR, // read, clear the bits of Value, write back
  STEP_OP_FIELD, // read, replace bits FieldHigh:FieldLow by Value (already in place), write back
};

// Eight bytes a step: offsets within a window stay below 256 KiB.
struct REGISTER_STEP {
  UINT32 Offset : 18;
  UINT32 Op : 2;
  UINT32 FieldLow : 5;
  UINT32 FieldHigh : 5;
  UINT32 Value;
};
static_assert(sizeof(REGISTER_STEP) == 8);

namespace RegisterStepDetail {

constexpr bool FitsWindow(UINT32 Offset) {
  return Offset < (1U << 18) && Offset % sizeof(UINT32) == 0;
}

constexpr REGISTER_STEP MakeStep(UINT32 Offset, REGISTER_STEP_OP Op, UINT32 Value,
                                 UINT32 FieldLow = 0, UINT32 FieldHigh = 0) {
  return {Offset, Op, FieldLow, FieldHigh, Value};
}

} // namespace RegisterStepDetail

constexpr REGISTER_STEP STEP_WRITE(UINT32 Offset, UINT32 Value)
    __attribute__((diagnose_if(!RegisterStepDetail::FitsWindow(Offset),
                               "register offset beyond a step's window or not word-aligned",
                               "error"))) {
  return RegisterStepDetail::MakeStep(Offset, STEP_OP_WRITE, Value);
}

constexpr REGISTER_STEP STEP_SET(UINT32 Offset, UINT32 Bits)
    __attribute__((diagnose_if(!RegisterStepDetail::FitsWindow(Offset),
                               "register offset beyond a step's window or not word-aligned",
                               "error"))) {
  return RegisterStepDetail::MakeStep(Offset, STEP_OP_SET, Bits);
}

constexpr REGISTER_STEP STEP_CLEAR(UINT32 Offset, UINT32 Bits)
    __attribute__((diagnose_if(!RegisterStepDetail::FitsWindow(Offset),
                               "register offset beyond a step's window or not word-aligned",
                               "error"))) {
  return RegisterStepDetail::MakeStep(Offset, STEP_OP_CLEAR, Bits);
}

// The field Mask of the register takes Value; every other bit is kept.
constexpr REGISTER_STEP STEP_FIELD(UINT32 Offset, UINT32 Mask, UINT32 Value)
    __attribute__((diagnose_if(!RegisterStepDetail::FitsWindow(Offset),
                               "register offset beyond a step's window or not word-aligned",
                               "error")))
    __attribute__((diagnose_if(!BitFieldDetail::IsFieldMask32(Mask),
                               "field mask is not one run of bits", "error")))
    __attribute__((diagnose_if(BitFieldDetail::IsFieldMask32(Mask) && !FIELD_FITS32(Mask, Value),
                               "value does not fit its field", "error"))) {
  return RegisterStepDetail::MakeStep(Offset, STEP_OP_FIELD, FIELD_PREP32(Mask, Value),
                                      BitFieldDetail::FieldShift32(Mask),
                                      31 - static_cast<UINT32>(__builtin_clz(Mask)));
}

// Accesses of a table: a write for every step, a read for every step but a plain write.
struct REGISTER_STEP_ACCESSES {
  UINT32 Reads;
  UINT32 Writes;
};

template <UINTN Count>
consteval REGISTER_STEP_ACCESSES CountStepAccesses(const REGISTER_STEP (&Steps)[Count]) {
  REGISTER_STEP_ACCESSES Total = {0, 0};
  for (const REGISTER_STEP& Step : Steps) {
    Total.Reads += Step.Op == STEP_OP_WRITE ? 0 : 1;
    Total.Writes += 1;
  }
  return Total;
}

// The steps in table order, each at Window + its offset.
VOID RunRegisterSteps(UINT64 Window, const REGISTER_STEP* Steps, UINTN Count);

template <UINTN Count>
inline VOID RunRegisterSteps(UINT64 Window, const REGISTER_STEP (&Steps)[Count]) {
  RunRegisterSteps(Window, Steps, Count);
}
