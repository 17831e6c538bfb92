// Compiled, not run: CMake's bitfield.* tests compile it once per BITFIELD_CASE. Case 0 must
// compile; every other case must be refused with its own message.
#include <Library/IoLib.h>

constexpr UINT64 REG = 0x1000;
constexpr UINT32 REG_HIGH = GENMASK32(31, 28);
constexpr UINT32 REG_MODE = GENMASK32(6, 4);
constexpr UINT32 REG_ENABLE = BIT32(0);

// Values known only at run time are cut to their field and bit ranges to the register.
constexpr UINT32 PrepareMode(UINT32 Mode) {
  return FIELD_PREP32(REG_MODE, Mode);
}
constexpr UINT32 MaskFrom30(UINT32 High) {
  return GENMASK32(High, 30);
}
static_assert(PrepareMode(0xF) == 0x70 && MaskFrom30(40) == 0xC0000000 && MaskFrom30(29) == 0);

UINT32 Program(UINT32 Mode) {
#if BITFIELD_CASE == 0
  MmioWriteField32(REG, REG_HIGH, 0xF);
  MmioWriteField32(REG, REG_MODE, Mode);
  return MmioReadField32(REG, REG_MODE) | FIELD_PREP32(REG_MODE, 7) | REG_ENABLE;
#elif BITFIELD_CASE == 1
  return MmioWriteField32(REG, REG_MODE, 8); // value does not fit its field
#elif BITFIELD_CASE == 2
  constexpr UINT32 Value = FIELD_PREP32(REG_HIGH, 0x10); // value does not fit its field
  return Value + Mode;
#elif BITFIELD_CASE == 3
  return MmioReadField32(REG, REG_HIGH | REG_MODE); // field mask is not one run of bits
#elif BITFIELD_CASE == 4
  return MmioWriteField32(REG, 0, Mode); // field mask is not one run of bits
#elif BITFIELD_CASE == 5
  return Mode & GENMASK32(4, 6); // bit range High:Low must have 31 >= High >= Low
#elif BITFIELD_CASE == 6
  return Mode | BIT32(32); // bit number beyond a 32-bit register
#endif
}
