// Compiled, not run: CMake's register_steps.* tests compile it once per STEP_CASE. Case 0 must
// compile; every other case must be refused with its own message.
#include <Library/RegisterSteps.h>

constexpr UINT32 REG_MODE = GENMASK32(15, 8);

// Rows as the walker reads them: offset, operation, the field's bits, the value in place.
constexpr REGISTER_STEP FIELD_ROW = STEP_FIELD(0x3FFFC, REG_MODE, 0xB0);
static_assert(FIELD_ROW.Offset == 0x3FFFC && FIELD_ROW.Op == STEP_OP_FIELD &&
              FIELD_ROW.FieldLow == 8 && FIELD_ROW.FieldHigh == 15 && FIELD_ROW.Value == 0xB000);
constexpr REGISTER_STEP STEPS[] = {
    STEP_WRITE(0x13238, 0xFFFFFFFF),
    STEP_SET(0x0, BIT32(31)),
    STEP_CLEAR(0x4, GENMASK32(10, 0)),
    FIELD_ROW,
};
static_assert(STEPS[0].Offset == 0x13238 && STEPS[0].Value == 0xFFFFFFFF &&
              STEPS[2].Op == STEP_OP_CLEAR && STEPS[2].Value == 0x7FF);
static_assert(CountStepAccesses(STEPS).Writes == 4 && CountStepAccesses(STEPS).Reads == 3);

#if STEP_CASE == 1
constexpr REGISTER_STEP BAD = STEP_WRITE(0x40000, 0); // beyond a step's window
#elif STEP_CASE == 2
constexpr REGISTER_STEP BAD = STEP_SET(0x1002, BIT32(0)); // not word-aligned
#elif STEP_CASE == 3
constexpr REGISTER_STEP BAD = STEP_FIELD(0x10, REG_MODE, 0x100); // value does not fit its field
#elif STEP_CASE == 4
constexpr REGISTER_STEP BAD = STEP_FIELD(0x10, REG_MODE | BIT32(0), 1); // mask with a gap
#endif
