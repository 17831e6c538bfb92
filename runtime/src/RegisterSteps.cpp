#include <Library/IoLib.h>
#include <Library/RegisterSteps.h>

VOID RunRegisterSteps(UINT64 Window, const REGISTER_STEP* Steps, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    const REGISTER_STEP& Step = Steps[Index];
    const UINT64 Address = Window + Step.Offset;
    if (Step.Op == STEP_OP_WRITE) {
      MmioWrite32(Address, Step.Value);
      continue;
    }
    UINT32 Clear = 0;
    UINT32 Set = 0;
    if (Step.Op == STEP_OP_SET) {
      Set = Step.Value;
    } else if (Step.Op == STEP_OP_CLEAR) {
      Clear = Step.Value;
    } else {
      Clear = GENMASK32(Step.FieldHigh, Step.FieldLow);
      Set = Step.Value;
    }
    MmioAndThenOr32(Address, ~Clear, Set);
  }
}
