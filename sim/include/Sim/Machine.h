// One simulated system: the SoC's address space with its console and timer, the firmware, the
// event trace and the run control (access budget, stops). The access layer of every image in the
// process talks to the current machine.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Sim/AddressSpace.h>
#include <Sim/BoardProfile.h>
#include <Sim/Trace.h>

namespace sim {

constexpr uint64_t DEFAULT_ACCESS_BUDGET = 10000000;
// Instructions that one call into an image (an entry point, a protocol member, a notify
// function) may execute on the emulation engine; every legitimate run needs a few million.
constexpr uint64_t DEFAULT_INSTRUCTION_BUDGET = 100000000;
constexpr uint64_t MAX_INSTRUCTION_BUDGET = 10000000000;
// 4 KiB pages of register space that may hold written values (256 MiB): a driver touches a few
// dozen, and an image that writes all over the address space stops instead of exhausting the
// host's memory.
constexpr size_t MAX_REGISTER_PAGES = 65536;

// Ordinary memory of the SoC: the two boot-log ring areas and the ISP status record.
constexpr uint64_t RING_AREA_LOW = 0x31280000;
constexpr uint64_t RING_AREA_HIGH = 0xC5280000;
constexpr uint64_t RING_AREA_SIZE = 4ULL << 20;
constexpr uint64_t ISP_STATUS_RECORD = 0xC6F36500;
constexpr uint64_t ISP_STATUS_RECORD_SIZE = 16;

constexpr uint64_t UART_DATA_REGISTER = 0x840C0000;

// ImageFault: the image did something the simulator cannot serve (a jump to unmapped memory, a
// processor exception, a register access of the wrong width). InstructionBudget and DeadLoop:
// an image that never returns, on the emulation engine.
enum class StopKind {
  None,
  AccessBudget,
  StackCheckFailure,
  MemoryFault,
  ImageFault,
  InstructionBudget,
  DeadLoop
};

class Machine {
public:
  explicit Machine(const BoardProfile& Profile);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the access layer of the images talks to: the newest one alive.
  static Machine* Current();

  AddressSpace& Memory() { return Space; }
  std::vector<Event>& Events() { return EventList; }
  const std::string& Console() const { return ConsoleText; }
  // Receives each console byte as it is written (dxesim streams them to standard output).
  void SetConsoleSink(std::function<void(char)> Sink) { ConsoleSink = std::move(Sink); }
  // Receives each event as it is recorded (dxesim streams the trace to its file), and whether
  // Events() keeps them too: a long run with nobody reading them back need not hold them all.
  void SetEventSink(std::function<void(const Event&)> Sink) { EventSink = std::move(Sink); }
  void SetKeepEvents(bool Keep) { KeepEvents = Keep; }
  void SetAccessBudget(uint64_t Budget) { AccessBudget = Budget; }
  void SetInstructionBudget(uint64_t Budget) { InstructionBudget_ = Budget; }
  uint64_t InstructionBudget() const { return InstructionBudget_; }
  // Whether loads and stores of the SoC's ordinary memory are traced (emulation engine).
  void SetTraceMemory(bool Trace) { TraceMemory_ = Trace; }
  bool TraceMemory() const { return TraceMemory_; }
  uint64_t AccessCount() const { return Accesses; }
  uint64_t TimerFrequency() const { return CounterFrequency; }
  const BoardProfile& Profile() const { return Board; }

  // Traced operations behind the access layer.
  uint32_t Read32(uint64_t Address);
  void Write32(uint64_t Address, uint32_t Value);
  uint8_t Read8(uint64_t Address);
  void Write8(uint64_t Address, uint8_t Value);
  void Barrier();
  uint64_t Delay(uint64_t Microseconds);
  uint64_t ReadCounter();
  uint8_t* MapRam(uint64_t Address, uint64_t Length);
  [[noreturn]] void DeadLoop();
  // Stops the run with an ImageFault. Message is copied before the stop: pass a string that
  // outlives the call (a temporary would be skipped by the stop and leak).
  [[noreturn]] void Fault(const std::string& Message);
  // The same, with another kind of stop.
  [[noreturn]] void Halt(StopKind Kind, const std::string& Message);

  void Record(Event E);

  // Runs Body(Context) so that a stop (access budget, stack-check failure, memory fault) returns
  // here instead of continuing in the image. Returns false when the run was stopped.
  bool RunGuarded(void (*Body)(void*), void* Context);
  StopKind Stopped() const { return StopReason; }
  const std::string& StopMessage() const { return StopText; }
  // Name of the image whose code is running, for stop messages.
  void SetRunningImage(const std::string& Name) { RunningImage = Name; }
  const std::string& RunningImageName() const { return RunningImage; }

private:
  [[noreturn]] void Stop(StopKind Kind);
  void CountAccess(uint64_t Address);
  void CheckRoomFor(uint64_t Address);
  void WriteConsole(char Byte);

  BoardProfile Board;
  AddressSpace Space;
  std::vector<Event> EventList;
  std::string ConsoleText;
  std::function<void(char)> ConsoleSink;
  std::function<void(const Event&)> EventSink;
  bool KeepEvents = true;
  uint64_t AccessBudget = DEFAULT_ACCESS_BUDGET;
  uint64_t InstructionBudget_ = DEFAULT_INSTRUCTION_BUDGET;
  bool TraceMemory_ = false;
  uint64_t Accesses = 0;
  uint64_t CounterFrequency;
  uint64_t Counter = 0;
  StopKind StopReason = StopKind::None;
  std::string StopText;
  std::string RunningImage;
  std::jmp_buf* StopTarget = nullptr;
};

} // namespace sim
