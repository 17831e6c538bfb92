// The processor as the engine watches it, block by block (a hook on every instruction would
// cost the engine a third of its speed): every block counted against the budget and checked
// against its pages, dead loops found, every access to register space judged at the instruction
// of the block that made it, system registers served or refused, exceptions turned into stops.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

namespace {

// Processor exceptions as the emulator numbers them.
constexpr uint32_t EXCEPTION_UNDEFINED = 1;
constexpr uint32_t EXCEPTION_SUPERVISOR_CALL = 2;
constexpr uint32_t EXCEPTION_INSTRUCTION_ABORT = 3;
constexpr uint32_t EXCEPTION_DATA_ABORT = 4;
constexpr uint32_t EXCEPTION_BREAKPOINT = 7;
constexpr uint32_t EXCEPTION_HYPERVISOR_CALL = 11;
constexpr uint32_t EXCEPTION_SECURE_MONITOR_CALL = 13;

// Backward branches with nothing observable (no store, register access, system-register read,
// barrier or service call) in between before the state is first checked for repeating, and the
// longest repeat (in backward branches) that is looked for.
constexpr uint64_t QUIET_TURNS_BEFORE_CHECK = 1024;
constexpr uint64_t LOOP_PERIOD_LIMIT = 64;

// Registers this low are more likely a member reached through a null pointer.
constexpr uint64_t NULL_PAGE_LIMIT = 0x10000;

std::string ExceptionName(uint32_t Number) {
  switch (Number) {
  case EXCEPTION_UNDEFINED:
    return "undefined instruction";
  case EXCEPTION_SUPERVISOR_CALL:
    return "supervisor call (SVC)";
  case EXCEPTION_INSTRUCTION_ABORT:
    return "instruction abort";
  case EXCEPTION_DATA_ABORT:
    return "data abort";
  case EXCEPTION_BREAKPOINT:
    return "breakpoint instruction (BRK)";
  case EXCEPTION_HYPERVISOR_CALL:
    return "hypervisor call (HVC)";
  case EXCEPTION_SECURE_MONITOR_CALL:
    return "secure monitor call (SMC)";
  default:
    return "processor exception " + std::to_string(Number);
  }
}

a64::SystemRegister RegisterOf(const uc_arm64_cp_reg* System) {
  return {System->op0, System->op1, System->crn, System->crm, System->op2};
}

// Everything a loop can carry from one turn to the next but memory, which a turn without a
// store leaves as it was.
std::vector<int> StateRegisters() {
  std::vector<int> Registers;
  for (int R = UC_ARM64_REG_X0; R <= UC_ARM64_REG_X28; ++R) {
    Registers.push_back(R);
  }
  for (int R : {UC_ARM64_REG_X29, UC_ARM64_REG_X30, UC_ARM64_REG_SP, UC_ARM64_REG_NZCV,
                UC_ARM64_REG_FPCR, UC_ARM64_REG_FPSR}) {
    Registers.push_back(R);
  }
  return Registers;
}

} // namespace

void Aarch64Engine::Impl::InstallHooks() {
  uc_hook Hook;
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), this,
                    EMULATOR_WINDOW_BASE, EMULATOR_WINDOW_END - 1),
        "cannot hook blocks");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1, 0),
        "cannot hook exceptions");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnSystemRegisterRead), this, 1,
                    0, UC_ARM64_INS_MRS),
        "cannot hook system-register reads");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnSystemRegisterWrite), this,
                    1, 0, UC_ARM64_INS_MSR),
        "cannot hook system-register writes");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnSystemInstruction), this, 1,
                    0, UC_ARM64_INS_SYS),
        "cannot hook system instructions");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(OnInvalidAccess), this,
                    1, 0),
        "cannot hook invalid accesses");
  // Outside the window everything is register space or SoC memory.
  for (const auto& [First, Last] : {std::pair<uint64_t, uint64_t>{0, EMULATOR_WINDOW_BASE - 1},
                                    {EMULATOR_WINDOW_END, UINT64_MAX}}) {
    Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                      reinterpret_cast<void*>(OnSocAccess), this, First, Last),
          "cannot hook register accesses");
  }
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnWindowAccess), this,
                    EMULATOR_WINDOW_BASE, EMULATOR_WINDOW_END - 1),
        "cannot hook stores");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_READ, reinterpret_cast<void*>(OnWindowAccess), this,
                    IMAGE_AREA_BASE, IMAGE_AREA_END - 1),
        "cannot hook loads from images");
}

uint32_t Aarch64Engine::Impl::InstructionAt(uint64_t Address) const {
  uint32_t Instruction = 0;
  if (BlockImage != nullptr && BlockImage->Contains(Address) && BlockImage->Contains(Address + 3)) {
    std::memcpy(&Instruction, BlockImage->Host + (Address - BlockImage->Base), sizeof(Instruction));
  } else if (const uint8_t* Host = HostPointer(Address, sizeof(Instruction))) {
    std::memcpy(&Instruction, Host, sizeof(Instruction));
  }
  return Instruction;
}

std::string Aarch64Engine::Impl::Here() const {
  return Describe(Pc);
}

std::string Aarch64Engine::Impl::SystemRegisterName() const {
  const std::string Text = a64::Disassemble(InstructionAt(Pc), Pc);
  // "mrs x0, cntp_ctl_el0" / "msr sctlr_el1, x0"
  const size_t Space = Text.find(' ');
  const size_t Comma = Text.find(", ");
  if (Space == std::string::npos || Comma == std::string::npos) {
    return Text;
  }
  std::string Name = Text.rfind("mrs", 0) == 0 ? Text.substr(Comma + 2)
                                               : Text.substr(Space + 1, Comma - Space - 1);
  std::transform(Name.begin(), Name.end(), Name.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  return Name;
}

std::vector<uint64_t> Aarch64Engine::Impl::ProcessorState() const {
  static const std::vector<int> REGISTERS = StateRegisters();
  std::vector<uint64_t> State(REGISTERS.size() + 64);
  for (size_t I = 0; I < REGISTERS.size(); ++I) {
    uc_reg_read(Uc, REGISTERS[I], &State[I]);
  }
  for (int Q = 0; Q < 32; ++Q) {
    uc_reg_read(Uc, UC_ARM64_REG_Q0 + Q, &State[REGISTERS.size() + 2 * Q]);
  }
  return State;
}

void Aarch64Engine::Impl::Charge(uint64_t Instructions) {
  Executed += Instructions;
  if (Executed > Budget) {
    Stop(StopKind::InstructionBudget, M.RunningImageName() + ": instruction budget of " +
                                          std::to_string(Budget) + " instructions spent at pc " +
                                          Here() + " (see --max-instructions)");
  }
}

// Every loop closes with a backward branch. Once a long run of them has passed with nothing
// observable done, the processor state at one of them is kept, and if the same state comes back
// within a few turns, the image takes the same path for ever. The checks back off, so that a
// long legitimate loop without stores pays a handful of them.
void Aarch64Engine::Impl::NoteTransfer(uint64_t Target, uint64_t From) {
  if (Target > From) {
    return;
  }
  if (Progress) {
    Progress = false;
    QuietTurns = 0;
    NextLoopCheck = QUIET_TURNS_BEFORE_CHECK;
    WatchingLoop = false;
    return;
  }
  ++QuietTurns;
  if (QuietTurns == NextLoopCheck) {
    LoopHead = Target;
    LoopState = ProcessorState();
    WatchingLoop = true;
  } else if (WatchingLoop) {
    if (Target == LoopHead && ProcessorState() == LoopState) {
      Stop(StopKind::DeadLoop,
           M.RunningImageName() + ": dead loop at pc " + Describe(Target) +
               ": the processor comes back there in the same state with nothing done in "
               "between, so the image never returns");
    } else if (QuietTurns >= NextLoopCheck + LOOP_PERIOD_LIMIT) {
      WatchingLoop = false;
      NextLoopCheck *= 2;
    }
  }
}

// The image (or the stubs) holding the block, and whether its pages may be executed.
bool Aarch64Engine::Impl::EnterBlock(uint64_t Address, uint64_t Size) {
  BlockStart = Cursor = Pc = Address;
  BlockEnd = Address + Size;
  const uint64_t Last = BlockEnd - 4;
  if ((Address & ~(PAGE - 1)) != CheckedPage || (Last & ~(PAGE - 1)) != CheckedPage) {
    CheckedPage = 0;
    if (Address - STUB_BASE < STUB_SIZE) {
      BlockImage = nullptr;
      BlockSpecial = BlockEnd;
      BlockHasSpecials = false;
      return true;
    }
    LoadedImage* Image =
        BlockImage != nullptr && BlockImage->Contains(Address) ? BlockImage : ImageAt(Address);
    BlockImage = Image;
    if (Image == nullptr || !Image->Contains(Last) ||
        (Image->PageAt(Address) & PE_PAGE_EXECUTE) == 0 ||
        (Image->PageAt(Last) & PE_PAGE_EXECUTE) == 0) {
      BlockImage = nullptr;
      NoteFault(M.RunningImageName() + ": jump to " +
                (Image == nullptr ? "memory outside any image" : "non-executable memory") + " at " +
                Describe(Address));
      RaiseFault();
      return false;
    }
    for (const uint64_t At : {Address, Last}) {
      const uint64_t Page = (At - Image->Base) / PAGE;
      if (Image->ChangedCode[Page] != 0) {
        ClassifyCode(*Image, Page == 0 ? 0 : Page - 1, Page + 1);
      }
    }
    if ((Address & ~(PAGE - 1)) == (Last & ~(PAGE - 1))) {
      CheckedPage = Address & ~(PAGE - 1);
    }
  }
  const LoadedImage& Image = *BlockImage;
  BlockSpecial = Image.Base + 4 * uint64_t{Image.NextSpecial[(Address - Image.Base) / 4]};
  BlockHasSpecials = BlockSpecial < BlockEnd;
  // The stack-check failure routine's pause loop is stopped before it runs.
  for (uint64_t At = BlockSpecial; At < BlockEnd;
       At = Image.Base + 4 * uint64_t{Image.NextSpecial[(At - Image.Base) / 4 + 1]}) {
    if (Image.Specials[(At - Image.Base) / 4] == a64::Special::PauseLoop) {
      Guarded([this] { M.DeadLoop(); });
      return false;
    }
  }
  return true;
}

void Aarch64Engine::Impl::CatchUp(uint64_t Address) {
  const uint64_t To = std::min(Address, BlockEnd);
  if (BlockSpecial >= To) {
    Cursor = std::max(Cursor, To);
    return;
  }
  const LoadedImage& Image = *BlockImage;
  for (; BlockSpecial < To;
       BlockSpecial =
           Image.Base + 4 * uint64_t{Image.NextSpecial[(BlockSpecial - Image.Base) / 4 + 1]}) {
    const uint64_t At = BlockSpecial;
    switch (Image.Specials[(At - Image.Base) / 4]) {
    case a64::Special::None:
    case a64::Special::PauseLoop:
      break;
    case a64::Special::Barrier:
      Progress = true;
      M.Barrier();
      break;
    case a64::Special::InterruptMask:
      Pc = At;
      NoteFault(M.RunningImageName() + ": write to the interrupt mask by " +
                a64::Disassemble(InstructionAt(At), At) + " at " + Describe(At));
      RaiseFault();
      return;
    case a64::Special::WaitForInterrupt:
      Pc = At;
      NoteFault(M.RunningImageName() + ": wfi at " + Describe(At) +
                " waits for an interrupt, which never comes");
      RaiseFault();
      return;
    }
  }
  Cursor = std::max(Cursor, To);
}

void Aarch64Engine::Impl::OnBlock(uc_engine*, uint64_t Address, uint32_t Size, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    uc_emu_stop(Self.Uc);
    return;
  }
  // The same block again (a loop of one block, a delay loop): its pages were checked and it holds
  // nothing the engine acts on.
  if (Address == Self.BlockStart && Address + Size == Self.BlockEnd && !Self.BlockHasSpecials &&
      Self.CheckedPage != 0) {
    Self.NoteTransfer(Address, Address + Size - 4);
    Self.Cursor = Address;
    Self.Executed += Size / 4;
    if (!Self.Halted && Self.Executed > Self.Budget) {
      Self.Charge(0);
    }
    return;
  }
  // The block before ran to its end.
  Self.CatchUp(Self.BlockEnd);
  const uint64_t Previous = Self.BlockEnd - 4;
  if (!Self.Halted && Address <= Previous) {
    Self.NoteTransfer(Address, Previous);
  }
  if (Self.Halted || !Self.EnterBlock(Address, Size)) {
    return;
  }
  Self.Executed += Size / 4;
  if (Self.Executed > Self.Budget) {
    Self.Charge(0);
  }
}

// Every load and store of the block from the cursor on that could have made this access: the
// one that did is among them, since none before it has run with the registers it had.
uint64_t Aarch64Engine::Impl::IdentifyAccess(bool Store, uint64_t Address, int Size, bool& Single) {
  Single = true;
  uint64_t First = 0;
  for (uint64_t At = Cursor; At + 4 <= BlockEnd; At += 4) {
    const uint32_t Instruction = InstructionAt(At);
    const a64::MemoryOperation Op = a64::DecodeMemory(Instruction);
    if (Op.Kind == a64::MemoryOperation::None) {
      continue;
    }
    bool Made = Op.Kind == a64::MemoryOperation::Unknown;
    if (!Made && Op.Store == Store && Op.Size == static_cast<unsigned>(Size)) {
      uint64_t Base = Op.PcRelative ? At
                      : Op.Rn == 31 ? ReadRegister(UC_ARM64_REG_SP)
                                    : ReadRegister(UC_ARM64_REG_X0 + static_cast<int>(Op.Rn));
      if (Op.RegisterOffset) {
        const uint64_t Index =
            Op.Rm == 31 ? 0 : ReadRegister(UC_ARM64_REG_X0 + static_cast<int>(Op.Rm));
        const uint64_t Extended =
            Op.Option == 2 ? static_cast<uint32_t>(Index)
            : Op.Option == 6
                ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Index)))
                : Index;
        Base += Extended << Op.Shift;
      }
      const uint64_t Start = Base + (Op.PostIndexed ? 0 : static_cast<uint64_t>(Op.Offset));
      for (unsigned I = 0; I < Op.Count; ++I) {
        Made |= Address == Start + uint64_t{I} * Op.Size;
      }
    }
    if (Made) {
      First = First == 0 ? At : First;
      const unsigned Width = a64::SingleRegisterAccessWidth(Instruction);
      Single &= Width == static_cast<unsigned>(Size) && Address % Width == 0;
    }
  }
  Single &= First != 0;
  return First;
}

void Aarch64Engine::Impl::OnInterrupt(uc_engine*, uint32_t Number, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    uc_emu_stop(Self.Uc);
    return;
  }
  const uint64_t Pc = Self.ProgramCounter();
  if (Number == EXCEPTION_SUPERVISOR_CALL && Pc >= STUB_BASE + 4 &&
      (Pc - 4 - STUB_BASE) % STUB_STRIDE == 0 &&
      (Pc - 4 - STUB_BASE) / STUB_STRIDE < MEMBER_COUNT) {
    Self.ServeMember((Pc - 4 - STUB_BASE) / STUB_STRIDE);
    return;
  }
  // A supervisor call reports the address after the instruction, the others the instruction.
  const uint64_t At = Number == EXCEPTION_SUPERVISOR_CALL ? Pc - 4 : Pc;
  Self.NoteFault(Self.M.RunningImageName() + ": " + ExceptionName(Number) + " at " +
                 Self.Describe(At));
  Self.RaiseFault();
}

uint32_t Aarch64Engine::Impl::OnSystemRegisterRead(uc_engine*, uc_arm64_reg Register,
                                                   const uc_arm64_cp_reg* System, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return 1;
  }
  // The counter is read in every turn of a delay loop: the position in the block is only needed
  // when it holds special instructions.
  if (Self.BlockSpecial < Self.BlockEnd) {
    Self.Pc = Self.ProgramCounter();
    Self.CatchUp(Self.Pc);
    if (Self.Halted) {
      return 1;
    }
  }
  uint64_t Value = 0;
  switch (a64::ClassifyRead(RegisterOf(System))) {
  case a64::RegisterRead::Processor:
    return 0;
  case a64::RegisterRead::Frequency:
    Value = Self.M.TimerFrequency();
    Self.M.Record({EventKind::SystemRegister, 0, Value, "CNTFRQ_EL0"});
    break;
  case a64::RegisterRead::Counter:
    Value = Self.M.ReadCounter();
    Self.M.Record(
        {EventKind::SystemRegister, 0, Value, System->op2 == 1 ? "CNTPCT_EL0" : "CNTVCT_EL0"});
    break;
  case a64::RegisterRead::Unprovided:
    Self.Pc = Self.ProgramCounter();
    Self.NoteFault(Self.M.RunningImageName() + ": read of " + Self.SystemRegisterName() + " by " +
                   a64::Disassemble(Self.InstructionAt(Self.Pc), Self.Pc) + " at " + Self.Here() +
                   ", which the simulated SoC does not provide");
    Self.RaiseFault();
    return 1;
  }
  Self.Progress = true;
  Self.WriteRegister(Register, Value);
  return 1;
}

uint32_t Aarch64Engine::Impl::OnSystemRegisterWrite(uc_engine*, uc_arm64_reg,
                                                    const uc_arm64_cp_reg* System, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return 1;
  }
  Self.Pc = Self.ProgramCounter();
  Self.CatchUp(Self.Pc);
  if (Self.Halted) {
    return 1;
  }
  const char* What = a64::RefusedWrite(RegisterOf(System));
  if (What == nullptr) {
    return 0;
  }
  Self.NoteFault(Self.M.RunningImageName() + ": write to the " + What + " " +
                 Self.SystemRegisterName() + " by " +
                 a64::Disassemble(Self.InstructionAt(Self.Pc), Self.Pc) + " at " + Self.Here());
  Self.RaiseFault();
  return 1;
}

// Cache maintenance by address is an access like any other where it reaches register space.
// DC ZVA on the SoC's memory is made here, as one zeroing of the block, rather than by the
// emulator's byte stores.
uint32_t Aarch64Engine::Impl::OnSystemInstruction(uc_engine*, uc_arm64_reg,
                                                  const uc_arm64_cp_reg* System, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return 1;
  }
  const a64::CacheOperation Operation = a64::ClassifyCacheOperation(RegisterOf(System));
  if (Operation == a64::CacheOperation::None) {
    return 0;
  }
  Self.Pc = Self.ProgramCounter();
  Self.CatchUp(Self.Pc);
  if (Self.Halted) {
    return 1;
  }
  const uint64_t Length = Operation == a64::CacheOperation::ZeroBlock ? a64::ZERO_BLOCK_SIZE : 1;
  const uint64_t Block = System->val & ~(Length - 1);
  if (Block >= EMULATOR_WINDOW_BASE && Block + Length <= EMULATOR_WINDOW_END) {
    return 0;
  }
  if (uint8_t* Memory = Self.M.Memory().RamPointer(Block, Length)) {
    if (Operation == a64::CacheOperation::ZeroBlock) {
      Self.Progress = true;
      std::memset(Memory, 0, Length);
      for (uint64_t Offset = 0; Self.M.TraceMemory() && Offset < Length; Offset += 8) {
        Self.TraceMemory(true, Block + Offset, 8, 0, "dc zva");
      }
      return 1;
    }
    return 0;
  }
  Self.NoteFault(Self.M.RunningImageName() + ": " +
                 a64::Disassemble(Self.InstructionAt(Self.Pc), Self.Pc) + " at " + Self.Here() +
                 " on " + Hex(Block) + Self.RelocationNote(Block) +
                 ": registers take one naturally aligned 8-bit or 32-bit load or store of one "
                 "register");
  Self.RaiseFault();
  return 1;
}

bool Aarch64Engine::Impl::OnInvalidAccess(uc_engine*, uc_mem_type Type, uint64_t Address, int,
                                          int64_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return false;
  }
  const bool InWindow = Address >= EMULATOR_WINDOW_BASE && Address < EMULATOR_WINDOW_END;
  std::string What;
  switch (Type) {
  case UC_MEM_READ_UNMAPPED:
    What = "read of unmapped memory";
    break;
  case UC_MEM_WRITE_UNMAPPED:
    What = "write to unmapped memory";
    break;
  case UC_MEM_FETCH_UNMAPPED:
    What = "jump to unmapped memory";
    break;
  case UC_MEM_WRITE_PROT:
    What = "write to read-only memory";
    break;
  case UC_MEM_READ_PROT:
    What = "read of unreadable memory";
    break;
  case UC_MEM_FETCH_PROT:
    What = InWindow || Self.M.Memory().IsRam(Address) ? "jump to non-executable memory"
                                                      : "jump into register space";
    break;
  default:
    What = "invalid access";
    break;
  }
  Self.NoteFault(Self.M.RunningImageName() + ": " + What + " at " + Self.Describe(Address) +
                 Self.RelocationNote(Address));
  return false;
}

void Aarch64Engine::Impl::OnSocAccess(uc_engine*, uc_mem_type Type, uint64_t Address, int Size,
                                      int64_t Value, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return;
  }
  Self.Progress = true;
  const bool Store = Type == UC_MEM_WRITE;
  if (const uint8_t* Memory = Self.M.Memory().RamPointer(Address, Size)) {
    if (Self.M.TraceMemory()) {
      bool Single = false;
      const uint64_t At = Self.IdentifyAccess(Store, Address, Size, Single);
      if (At != 0) {
        Self.CatchUp(At);
      }
      uint64_t Bits = 0;
      if (Store) {
        Bits = Size >= 8 ? static_cast<uint64_t>(Value)
                         : static_cast<uint64_t>(Value) & ((1ULL << (8 * Size)) - 1);
      } else {
        std::memcpy(&Bits, Memory, std::min<size_t>(Size, sizeof(Bits)));
      }
      const uint32_t Instruction = Self.InstructionAt(At);
      Self.TraceMemory(Store, Address, static_cast<unsigned>(Size), Bits,
                       At != 0 && a64::IsSingleRegisterForm(Instruction) ? std::string()
                       : At == 0                                         ? std::string("?")
                                 : a64::Mnemonic(Instruction, At));
    }
    return;
  }
  Self.JudgeRegisterAccess(Store, Address, Size);
}

// Registers take one naturally aligned 8-bit or 32-bit load or store of one register: anything
// else is a merged, split or repeated access that the hardware would see as such.
void Aarch64Engine::Impl::JudgeRegisterAccess(bool Store, uint64_t Address, int Size) {
  const AddressSpace& Space = M.Memory();
  bool Single = false;
  const uint64_t At = IdentifyAccess(Store, Address, Size, Single);
  if (At != 0) {
    CatchUp(At);
    if (Halted) {
      return;
    }
    Pc = At;
  }
  const bool AcrossMemory = Space.IsRam(Address) || Space.IsRam(Address + Size - 1);
  std::string Note = RelocationNote(Address);
  if (Single && !AcrossMemory && Note.empty()) {
    Cursor = At + 4;
    return;
  }
  if (Note.empty()) {
    Note = AcrossMemory
               ? ", across the edge of SoC memory"
               : std::string(Address < NULL_PAGE_LIMIT ? " (so near 0, a null pointer?)" : "") +
                     ": registers take one naturally aligned 8-bit or 32-bit load or store of one "
                     "register";
  }
  NoteFault(M.RunningImageName() + ": " + std::to_string(Size * 8) + "-bit " +
            (Store ? "store to " : "load from ") + Hex(Address) +
            (At != 0 ? " by " + a64::Disassemble(InstructionAt(At), At) + " at " + Describe(At)
                     : " by an instruction of the block at " + Describe(BlockStart)) +
            Note);
  RaiseFault();
}

// Stores anywhere in the window count as something done; loads and stores of images are held
// to the images' page permissions, and a store into code has the code classified again.
void Aarch64Engine::Impl::OnWindowAccess(uc_engine*, uc_mem_type Type, uint64_t Address, int Size,
                                         int64_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  const bool Store = Type == UC_MEM_WRITE;
  if (Self.Halted) {
    return;
  }
  Self.Progress |= Store;
  if (Address < IMAGE_AREA_BASE) {
    return;
  }
  const uint64_t Last = Address + static_cast<uint64_t>(Size) - 1;
  LoadedImage* Image = Self.ImageAt(Address);
  const uint8_t Needed = Store ? PE_PAGE_WRITE : PE_PAGE_READ;
  if (Image == nullptr || !Image->Contains(Last) || (Image->PageAt(Address) & Needed) == 0 ||
      (Image->PageAt(Last) & Needed) == 0) {
    const bool Inside = Image != nullptr && Image->Contains(Last);
    Self.NoteFault(Self.M.RunningImageName() + ": " +
                   (Store ? Inside ? "write to read-only memory" : "write to unmapped memory"
                          : "read of unmapped memory") +
                   " at " + Self.Describe(Address) + " in the block at " + Self.Here());
    Self.RaiseFault();
    return;
  }
  if (Store) {
    for (const uint64_t At : {Address, Last}) {
      if ((Image->PageAt(At) & PE_PAGE_EXECUTE) != 0) {
        Image->ChangedCode[(At - Image->Base) / PAGE] = 1;
        Self.CheckedPage = 0;
      }
    }
  }
}

} // namespace sim
