// What the emulation engine needs to know about A64 instructions: which loads and stores may
// reach a register, which instructions it must act on where they stand, how system registers
// are classed, and the text of an instruction for messages.
#pragma once

#include <cstdint>
#include <string>

namespace sim::a64 {

constexpr uint32_t SVC_0 = 0xD4000001;
constexpr uint32_t RET = 0xD65F03C0;
constexpr uint32_t BRK_0 = 0xD4200000;
constexpr uint32_t NOP = 0xD503201F;
constexpr uint32_t DSB_SY = 0xD5033F9F;
constexpr uint32_t WFI = 0xD503207F;

// The width in bytes (1 or 4) when Instruction is one load or store of one general register of
// 8 or 32 bits (LDRB, STRB, LDR Wt, STR Wt, with an unsigned, unscaled, pre- or post-indexed
// immediate or a register offset), else 0: pairs, exclusives, acquire/release, unprivileged,
// atomic, sign-extending, SIMD and every other width.
unsigned SingleRegisterAccessWidth(uint32_t Instruction);
// A load or store of one general register of any width in one of those forms.
bool IsSingleRegisterForm(uint32_t Instruction);

// The memory accesses of a load or store, as far as the engine needs them to find which
// instruction of a block made a given access: direction, size and number of the accesses, and
// how the address is formed from the registers.
struct MemoryOperation {
  enum Class {
    None,
    Known,
    Unknown
  } Kind = None; // Unknown: an access whose address is not
                 // worked out (structure loads, atomics)
  bool Store = false;
  unsigned Size = 0;  // bytes per access
  unsigned Count = 0; // accesses, at Size apart
  unsigned Rn = 0;    // base register; 31 is SP
  int64_t Offset = 0; // added to the base, unless post-indexed
  bool PostIndexed = false;
  bool PcRelative = false;
  bool RegisterOffset = false;
  unsigned Rm = 0, Option = 0, Shift = 0; // the register offset, extended and shifted
};
MemoryOperation DecodeMemory(uint32_t Instruction);

// Instructions the engine acts on where they stand in an image's code.
enum class Special : uint8_t {
  None,
  Barrier,       // DSB SY: the DSB event
  PauseLoop,     // first of five NOPs closing a short loop: the stack-check failure routine
  InterruptMask, // MSR DAIFSet / DAIFClr
  WaitForInterrupt,
};

// Code[Index] classified in its context (the pause sequence spans six instructions).
Special Classify(const uint32_t* Code, size_t Count, size_t Index);

// System registers as the MRS/MSR hooks see them.
struct SystemRegister {
  uint32_t Op0, Op1, CRn, CRm, Op2;
};

enum class RegisterRead {
  Frequency,  // CNTFRQ_EL0
  Counter,    // CNTPCT_EL0, CNTVCT_EL0
  Unprovided, // the rest of the generic timer and the performance counters, which the simulated
              // SoC does not have
  Processor,  // the processor's own state (NZCV, DAIF, CurrentEL, ID registers...): served
};
RegisterRead ClassifyRead(const SystemRegister& R);

// Null when the write may go ahead (flags, floating-point control, thread pointers), else what
// the register is: "system-control register", "interrupt-mask register"...
const char* RefusedWrite(const SystemRegister& R);

// A cache-maintenance instruction by address (DC ... / IC IVAU); ZeroBlock for DC ZVA.
enum class CacheOperation { None, ByAddress, ZeroBlock };
CacheOperation ClassifyCacheOperation(const SystemRegister& R);
constexpr uint64_t ZERO_BLOCK_SIZE = 64; // DCZID_EL0 of the emulated processor

// "ldp w2, w3, [x1]"; the encoding in hex when it does not disassemble.
std::string Disassemble(uint32_t Instruction, uint64_t Address);
// "ldp" (the mnemonic only).
std::string Mnemonic(uint32_t Instruction, uint64_t Address);

} // namespace sim::a64
