#include <Sim/Machine.h>

#include <cstdio>
#include <cstdlib>

#include <Library/GenericTimer.h>

namespace sim {

namespace {
// Live machines, newest last: the newest is the one the images talk to.
std::vector<Machine*>& LiveMachines() {
  static std::vector<Machine*> Machines;
  return Machines;
}
} // namespace

Machine::Machine(const BoardProfile& Profile)
    : Board(Profile), CounterFrequency(Profile.TimerFrequency) {
  Space.AddRamRegion(RING_AREA_LOW, RING_AREA_SIZE);
  Space.AddRamRegion(RING_AREA_HIGH, RING_AREA_SIZE);
  Space.AddRamRegion(ISP_STATUS_RECORD, ISP_STATUS_RECORD_SIZE);
  Space.Poke32(DEFAULT_UARTFR_ADDRESS, DEFAULT_UARTFR_VALUE);
  for (const auto& [Address, Value] : Profile.Mem32) {
    Space.Poke32(Address, Value);
  }
  for (const auto& [Address, Value] : Profile.Mem8) {
    Space.Poke8(Address, Value);
  }
  for (const auto& [Address, Values] : Profile.Reads) {
    Space.ScriptReads(Address, Values);
  }
  LiveMachines().push_back(this);
}

Machine::~Machine() {
  std::erase(LiveMachines(), this);
}

Machine* Machine::Current() {
  return LiveMachines().empty() ? nullptr : LiveMachines().back();
}

void Machine::Record(Event E) {
  if (EventSink) {
    EventSink(E);
  }
  if (KeepEvents) {
    EventList.push_back(std::move(E));
  }
}

void Machine::CountAccess(uint64_t Address) {
  if (Accesses >= AccessBudget) {
    StopText = "access budget of " + std::to_string(AccessBudget) +
               " accesses spent; last access at " + Hex(Address);
    if (const char* Name = LookupRegisterName(Address)) {
      StopText += std::string(" (") + Name + ")";
    }
    Stop(StopKind::AccessBudget);
  }
  ++Accesses;
}

uint32_t Machine::Read32(uint64_t Address) {
  CountAccess(Address);
  uint32_t Value;
  if (Space.NextScriptedRead(Address, Value)) {
    Space.Poke32(Address, Value);
  } else {
    Value = Space.Peek32(Address);
  }
  Record({EventKind::Read32, Address, Value, {}});
  return Value;
}

void Machine::CheckRoomFor(uint64_t Address) {
  if (Space.RegisterPages() >= MAX_REGISTER_PAGES && Space.NeedsNewPage(Address)) {
    StopText = (RunningImage.empty() ? std::string() : RunningImage + ": ") + "store to " +
               Hex(Address) + ", a register page beyond the " + std::to_string(MAX_REGISTER_PAGES) +
               " (256 MiB) that the simulated SoC holds";
    Stop(StopKind::MemoryFault);
  }
}

void Machine::Write32(uint64_t Address, uint32_t Value) {
  CountAccess(Address);
  CheckRoomFor(Address);
  Space.Poke32(Address, Value);
  Record({EventKind::Write32, Address, Value, {}});
  if (Address == UART_DATA_REGISTER) {
    WriteConsole(static_cast<char>(Value & 0xFF));
  }
}

uint8_t Machine::Read8(uint64_t Address) {
  CountAccess(Address);
  const uint8_t Value = Space.Peek8(Address);
  Record({EventKind::Read8, Address, Value, {}});
  return Value;
}

void Machine::Write8(uint64_t Address, uint8_t Value) {
  CountAccess(Address);
  CheckRoomFor(Address);
  Space.Poke8(Address, Value);
  Record({EventKind::Write8, Address, Value, {}});
  if (Address == UART_DATA_REGISTER) {
    WriteConsole(static_cast<char>(Value));
  }
}

// The PL011 data register takes the byte in bits 7:0, whatever the width of the store.
void Machine::WriteConsole(char Byte) {
  ConsoleText += Byte;
  if (ConsoleSink) {
    ConsoleSink(Byte);
  }
}

void Machine::Barrier() {
  Record({EventKind::Barrier, 0, 0, {}});
}

uint64_t Machine::Delay(uint64_t Microseconds) {
  Record({EventKind::Delay, 0, Microseconds, {}});
  Counter += GenericTimerTicks(Microseconds, CounterFrequency);
  return Microseconds;
}

// Each reading advances the counter by one microsecond (at least one tick), so that a delay loop
// that polls the counter itself always ends.
uint64_t Machine::ReadCounter() {
  const uint64_t Step = CounterFrequency >= 1000000 ? CounterFrequency / 1000000 : 1;
  Counter += Step;
  return Counter;
}

uint8_t* Machine::MapRam(uint64_t Address, uint64_t Length) {
  uint8_t* Pointer = Space.RamPointer(Address, Length);
  if (Pointer == nullptr) {
    StopText = "ordinary memory access outside RAM: " + Hex(Address) + ", " +
               std::to_string(Length) + " bytes, by " + RunningImage;
    Stop(StopKind::MemoryFault);
  }
  return Pointer;
}

void Machine::DeadLoop() {
  StopText = "stack-check failure in " + (RunningImage.empty() ? "the image" : RunningImage) +
             ": the image is in its dead loop";
  Stop(StopKind::StackCheckFailure);
}

void Machine::Fault(const std::string& Message) {
  Halt(StopKind::ImageFault, Message);
}

void Machine::Halt(StopKind Kind, const std::string& Message) {
  StopText = Message;
  Stop(Kind);
}

void Machine::Stop(StopKind Kind) {
  StopReason = Kind;
  if (StopTarget == nullptr) {
    std::fprintf(stderr, "dxesim: %s (outside any run)\n", StopText.c_str());
    std::abort();
  }
  std::longjmp(*StopTarget, 1);
}

bool Machine::RunGuarded(void (*Body)(void*), void* Context) {
  std::jmp_buf Target;
  std::jmp_buf* Outer = StopTarget;
  StopTarget = &Target;
  if (setjmp(Target) != 0) {
    StopTarget = Outer;
    return false;
  }
  Body(Context);
  StopTarget = Outer;
  return true;
}

} // namespace sim
