#include "A64Instructions.h"

#include <capstone/capstone.h>

#include <cstdio>

namespace sim::a64 {

namespace {

// Load/store register forms of the A64 "loads and stores" group, general registers (V = 0).
constexpr uint32_t UNSIGNED_IMMEDIATE_MASK = 0x3F000000;
constexpr uint32_t UNSIGNED_IMMEDIATE = 0x39000000;
constexpr uint32_t OTHER_FORMS_MASK = 0x3F200C00;
constexpr uint32_t UNSCALED_IMMEDIATE = 0x38000000;
constexpr uint32_t POST_INDEXED = 0x38000400;
constexpr uint32_t PRE_INDEXED = 0x38000C00;
constexpr uint32_t REGISTER_OFFSET = 0x38200800;

// A branch back to at most MaxBack bytes before the instruction: the end of a short loop.
bool BranchesBackWithin(uint32_t Instruction, uint64_t MaxBack, int64_t Distance) {
  int64_t Offset;
  if ((Instruction & 0xFC000000) == 0x14000000) { // B
    Offset = static_cast<int64_t>(static_cast<int32_t>(Instruction << 6) >> 6) * 4;
  } else if ((Instruction & 0xFF000010) == 0x54000000 || // B.cond
             (Instruction & 0x7E000000) == 0x34000000) { // CBZ, CBNZ
    Offset = static_cast<int64_t>(static_cast<int32_t>((Instruction >> 5) << 13) >> 13) * 4;
  } else {
    return false;
  }
  return Offset <= -Distance && Offset >= -static_cast<int64_t>(MaxBack);
}

bool Is(const SystemRegister& R, uint32_t Op0, uint32_t Op1, uint32_t CRn, uint32_t CRm,
        uint32_t Op2) {
  return R.Op0 == Op0 && R.Op1 == Op1 && R.CRn == CRn && R.CRm == CRm && R.Op2 == Op2;
}

// One disassembler for the process: it is only used to word stop messages.
csh Disassembler() {
  static csh Handle = [] {
    csh H = 0;
    if (cs_open(CS_ARCH_ARM64, CS_MODE_ARM, &H) != CS_ERR_OK) {
      H = 0;
    }
    return H;
  }();
  return Handle;
}

} // namespace

bool IsSingleRegisterForm(uint32_t Instruction) {
  return (Instruction & UNSIGNED_IMMEDIATE_MASK) == UNSIGNED_IMMEDIATE ||
         (Instruction & OTHER_FORMS_MASK) == UNSCALED_IMMEDIATE ||
         (Instruction & OTHER_FORMS_MASK) == POST_INDEXED ||
         (Instruction & OTHER_FORMS_MASK) == PRE_INDEXED ||
         (Instruction & OTHER_FORMS_MASK) == REGISTER_OFFSET;
}

unsigned SingleRegisterAccessWidth(uint32_t Instruction) {
  if (!IsSingleRegisterForm(Instruction)) {
    return 0;
  }
  const uint32_t Size = Instruction >> 30;
  const uint32_t Opc = (Instruction >> 22) & 3;
  if (Opc > 1 || (Size != 0 && Size != 2)) {
    return 0; // sign-extending loads, prefetches, 16- and 64-bit widths
  }
  return 1u << Size;
}

MemoryOperation DecodeMemory(uint32_t I) {
  MemoryOperation Op;
  if ((I & 0x0A000000) != 0x08000000) {
    return Op; // not in the loads-and-stores group
  }
  const bool Simd = (I >> 26) & 1;
  const uint32_t Size = I >> 30;
  const uint32_t Opc = (I >> 22) & 3;
  Op.Rn = (I >> 5) & 31;
  Op.Kind = MemoryOperation::Known;
  if (IsSingleRegisterForm(I)) {
    unsigned Scale = Size;
    if (Simd) {
      Scale = (Opc & 2) != 0 && Size == 0 ? 4 : Size;
      Op.Store = (Opc & 1) == 0;
    } else if (Size == 3 && Opc == 2) {
      return MemoryOperation{}; // PRFM: no access
    } else {
      Op.Store = Opc == 0;
    }
    // The emulator makes a 128-bit access as two 64-bit ones.
    Op.Size = Scale == 4 ? 8 : 1u << Scale;
    Op.Count = Scale == 4 ? 2 : 1;
    if ((I & UNSIGNED_IMMEDIATE_MASK) == UNSIGNED_IMMEDIATE) {
      Op.Offset = static_cast<int64_t>((I >> 10) & 0xFFF) << Scale;
    } else if ((I & OTHER_FORMS_MASK) == REGISTER_OFFSET) {
      Op.RegisterOffset = true;
      Op.Rm = (I >> 16) & 31;
      Op.Option = (I >> 13) & 7;
      Op.Shift = (I >> 12) & 1 ? Scale : 0;
    } else {
      Op.Offset = static_cast<int32_t>(I << 11) >> 23; // imm9
      Op.PostIndexed = (I & OTHER_FORMS_MASK) == POST_INDEXED;
    }
    return Op;
  }
  if ((I & 0x3B200C00) == 0x38000800 || (I & 0x3B200C00) == 0x38200000) {
    // Unprivileged forms (base + imm9) and atomic memory operations (base).
    Op.Store = Opc == 0;
    Op.Size = 1u << Size;
    Op.Count = 1;
    Op.Offset = (I & 0x00200000) == 0 ? static_cast<int32_t>(I << 11) >> 23 : 0;
    if ((I & 0x00200000) != 0) {
      Op.Kind = MemoryOperation::Unknown;
    }
    return Op;
  }
  if ((I & 0x3A000000) == 0x28000000) { // load/store pair
    const unsigned Scale = Simd ? 2 + (I >> 30) : 2 + (I >> 31);
    Op.Store = ((I >> 22) & 1) == 0;
    Op.Size = Scale == 4 ? 8 : 1u << Scale;
    Op.Count = Scale == 4 ? 4 : 2;
    Op.Offset = static_cast<int64_t>(static_cast<int32_t>(I << 10) >> 25) << Scale; // imm7
    Op.PostIndexed = ((I >> 23) & 3) == 1;
    return Op;
  }
  if ((I & 0x3F000000) == 0x08000000) { // exclusive and ordered
    Op.Store = ((I >> 22) & 1) == 0;
    Op.Size = 1u << Size;
    Op.Count = (I >> 21) & 1 ? 2 : 1;
    return Op;
  }
  if ((I & 0x3B000000) == 0x18000000) { // load literal
    if (!Simd && Opc == 3) {
      return MemoryOperation{}; // PRFM
    }
    Op.PcRelative = true;
    Op.Size = Simd ? 4u << (I >> 30) : (I >> 30) == 1 ? 8 : 4;
    Op.Count = Op.Size == 16 ? 2 : 1;
    Op.Size = Op.Size == 16 ? 8 : Op.Size;
    Op.Offset = static_cast<int64_t>(static_cast<int32_t>(I << 8) >> 13) * 4; // imm19
    return Op;
  }
  Op.Kind = MemoryOperation::Unknown; // structure loads and stores, tags...
  Op.Store = ((I >> 22) & 1) == 0;
  return Op;
}

Special Classify(const uint32_t* Code, size_t Count, size_t Index) {
  const uint32_t I = Code[Index];
  if (I == DSB_SY) {
    return Special::Barrier;
  }
  if (I == WFI) {
    return Special::WaitForInterrupt;
  }
  // MSR (immediate) to DAIFSet (op1 3, op2 6) or DAIFClr (op1 3, op2 7).
  if ((I & 0xFFF8F01F) == 0xD500401F && ((I >> 16) & 7) == 3 && ((I >> 5) & 6) == 6) {
    return Special::InterruptMask;
  }
  const bool RunOfFive = I == NOP && Index + 5 < Count && (Index == 0 || Code[Index - 1] != NOP) &&
                         Code[Index + 1] == NOP && Code[Index + 2] == NOP &&
                         Code[Index + 3] == NOP && Code[Index + 4] == NOP;
  if (RunOfFive && BranchesBackWithin(Code[Index + 5], 64, 20)) {
    return Special::PauseLoop;
  }
  return Special::None;
}

RegisterRead ClassifyRead(const SystemRegister& R) {
  if (Is(R, 3, 3, 14, 0, 1)) {
    return RegisterRead::Counter;
  }
  if (Is(R, 3, 3, 14, 0, 0)) {
    return RegisterRead::Frequency;
  }
  if (Is(R, 3, 3, 14, 0, 1) || Is(R, 3, 3, 14, 0, 2)) {
    return RegisterRead::Counter;
  }
  const bool Timer = R.Op0 == 3 && R.CRn == 14;
  const bool PerformanceMonitor = R.Op0 == 3 && R.CRn == 9 && R.CRm >= 12;
  const bool RandomNumber = R.Op0 == 3 && R.Op1 == 3 && R.CRn == 2 && R.CRm == 4;
  return Timer || PerformanceMonitor || RandomNumber ? RegisterRead::Unprovided
                                                     : RegisterRead::Processor;
}

const char* RefusedWrite(const SystemRegister& R) {
  if (Is(R, 3, 3, 4, 2, 0) ||                           // NZCV
      Is(R, 3, 3, 4, 4, 0) || Is(R, 3, 3, 4, 4, 1) ||   // FPCR, FPSR
      Is(R, 3, 3, 13, 0, 2) || Is(R, 3, 3, 13, 0, 3) || // TPIDR_EL0, TPIDRRO_EL0
      Is(R, 3, 0, 13, 0, 4) || Is(R, 3, 0, 4, 1, 0)) {  // TPIDR_EL1, SP_EL0
    return nullptr;
  }
  if (R.Op0 == 3 && R.Op1 == 0 && R.CRn == 1) {
    return "system-control register";
  }
  if (Is(R, 3, 3, 4, 2, 1) || Is(R, 3, 0, 4, 6, 0)) { // DAIF, ICC_PMR_EL1
    return "interrupt-mask register";
  }
  if (R.Op0 == 3 && R.Op1 == 0 && R.CRn == 12 && R.CRm >= 8) {
    return "interrupt-controller register";
  }
  if (R.Op0 == 3 && R.CRn == 14) {
    return "timer-control register";
  }
  if (R.Op0 == 3 && (R.CRn == 2 || R.CRn == 10)) {
    return "memory-management register";
  }
  return "system register";
}

CacheOperation ClassifyCacheOperation(const SystemRegister& R) {
  if (R.Op0 != 1 || R.CRn != 7 || R.Op2 != 1) {
    return CacheOperation::None;
  }
  if (R.Op1 == 3 && R.CRm == 4) {
    return CacheOperation::ZeroBlock;
  }
  const bool ByAddress = (R.Op1 == 0 && R.CRm == 6) ||                   // DC IVAC
                         (R.Op1 == 3 && (R.CRm == 5 ||                   // IC IVAU
                                         (R.CRm >= 10 && R.CRm <= 14))); // DC CVAC...CIVAC
  return ByAddress ? CacheOperation::ByAddress : CacheOperation::None;
}

std::string Disassemble(uint32_t Instruction, uint64_t Address) {
  cs_insn* Decoded = nullptr;
  const csh Handle = Disassembler();
  if (Handle != 0 && cs_disasm(Handle, reinterpret_cast<const uint8_t*>(&Instruction),
                               sizeof(Instruction), Address, 1, &Decoded) == 1) {
    std::string Text = Decoded->mnemonic;
    if (Decoded->op_str[0] != '\0') {
      Text += std::string(" ") + Decoded->op_str;
    }
    cs_free(Decoded, 1);
    return Text;
  }
  char Text[32];
  std::snprintf(Text, sizeof(Text), ".inst 0x%08x", Instruction);
  return Text;
}

std::string Mnemonic(uint32_t Instruction, uint64_t Address) {
  const std::string Text = Disassemble(Instruction, Address);
  return Text.substr(0, Text.find(' '));
}

} // namespace sim::a64
