// Calls from the host into an image, per AAPCS64: arguments in x0 to x7, the return address at
// the return trap, and on return the callee-saved registers and the stack pointer checked.
#include <Sim/Aarch64Engine.h>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

namespace {

// AAPCS64 lets a callee see anything in the upper half of a 32-bit argument; the engine puts
// junk there so that an image relying on it shows up. Callee-saved registers get sentinels that
// must survive a call into an image.
constexpr uint64_t ARGUMENT_UPPER_JUNK = 0xA5A5A5A500000000ULL;
constexpr uint64_t CALLEE_SAVED_SENTINEL = 0x5AFE000000001900ULL;

int XRegister(unsigned Index) {
  return Index <= 28 ? UC_ARM64_REG_X0 + static_cast<int>(Index) : UC_ARM64_REG_X29;
}

} // namespace

bool Aarch64Engine::Impl::Execute(uint64_t Function, const uint64_t* Arguments, size_t Count,
                                  uint64_t& Result) {
  if (Running) {
    throw std::logic_error("dxesim: a call into an image while another one runs");
  }
  Halted = false;
  FaultText.clear();
  Caller = ImageAt(Function);
  Pc = 0;
  Executed = 0;
  Budget = M.InstructionBudget();
  BlockStart = BlockEnd = Cursor = BlockSpecial = CheckedPage = 0;
  BlockImage = nullptr;
  Progress = true;
  for (size_t I = 0; I < 8; ++I) {
    WriteRegister(XRegister(static_cast<unsigned>(I)), I < Count ? Arguments[I] : 0);
  }
  for (unsigned R = 19; R <= 28; ++R) {
    WriteRegister(XRegister(R), CALLEE_SAVED_SENTINEL + R);
  }
  WriteRegister(UC_ARM64_REG_X29, 0);
  WriteRegister(UC_ARM64_REG_X30, RETURN_TRAP);
  WriteRegister(UC_ARM64_REG_SP, STACK_TOP);

  Running = true;
  const uc_err Error = uc_emu_start(Uc, Function, RETURN_TRAP, 0, 0);
  Running = false;
  if (!Halted) {
    CatchUp(Error == UC_ERR_OK && ProgramCounter() != RETURN_TRAP ? ProgramCounter() : BlockEnd);
  }
  if (Halted) {
    return false;
  }
  if (Error != UC_ERR_OK) {
    NoteFault(M.RunningImageName() + ": " + uc_strerror(Error) + " at pc " + Describe(Pc));
    RaiseFault();
    return false;
  }
  // The emulator also ends a run quietly where the processor would wait for an event.
  if (ProgramCounter() != RETURN_TRAP) {
    NoteFault(M.RunningImageName() + ": the processor stopped at " + Describe(ProgramCounter()) +
              " without returning from the image");
    RaiseFault();
    return false;
  }
  for (unsigned R = 19; R <= 28; ++R) {
    if (ReadRegister(XRegister(R)) != CALLEE_SAVED_SENTINEL + R) {
      NoteFault(M.RunningImageName() + ": x" + std::to_string(R) +
                " was not preserved across a call into the image");
      RaiseFault();
      return false;
    }
  }
  if (ReadRegister(UC_ARM64_REG_SP) != STACK_TOP) {
    NoteFault(M.RunningImageName() + ": the stack pointer was not restored on return");
    RaiseFault();
    return false;
  }
  Result = ReadRegister(UC_ARM64_REG_X0);
  return true;
}

bool Aarch64Engine::RunDriver(const std::string& Name, uint64_t& Status) {
  const uint64_t Entry = P->LoadImage(Name);
  const uint64_t Arguments[2] = {P->Fw.NewImageHandle(), SYSTEM_TABLE_ADDRESS};
  P->M.SetRunningImage(Name);
  Status = 0;
  return P->Execute(Entry, Arguments, 2, Status);
}

bool Aarch64Engine::CallFunction(uint64_t Function, CallShape Shape, const uint64_t* Arguments,
                                 uint64_t& Result) {
  uint64_t Registers[4] = {};
  size_t Count = 0;
  switch (Shape) {
  case CallShape::Notify:
    Registers[0] = Arguments[0];
    Registers[1] = Arguments[1];
    Count = 2;
    break;
  case CallShape::StartIsp:
    Registers[0] = Arguments[0];
    Registers[1] = Arguments[1];
    Registers[2] = ARGUMENT_UPPER_JUNK | static_cast<uint32_t>(Arguments[2]);
    Registers[3] = ARGUMENT_UPPER_JUNK | static_cast<uint32_t>(Arguments[3]);
    Count = 4;
    break;
  case CallShape::SetIspStatus:
    Registers[0] = ARGUMENT_UPPER_JUNK | static_cast<uint32_t>(Arguments[0]);
    Registers[1] = ARGUMENT_UPPER_JUNK | static_cast<uint32_t>(Arguments[1]);
    Count = 2;
    break;
  case CallShape::NoArguments:
    break;
  }
  Result = 0;
  const bool Completed = P->Execute(Function, Registers, Count, Result);
  if (Shape == CallShape::Notify) {
    Result = 0;
  }
  return Completed;
}

} // namespace sim
