// The emulation engine's inside, shared by its five parts: the firmware's service stubs
// (ServiceStubs.cpp), the emulated memory (EmulatedMemory.cpp), image loading
// (ImageLoading.cpp), the calling convention (CallingConvention.cpp) and the processor hooks
// (CpuHooks.cpp).
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <Sim/Aarch64Engine.h>
#include <Sim/FirmwareServices.h>
#include <Sim/PeImage.h>

#include "A64Instructions.h"

namespace sim {

namespace engine {

constexpr uint64_t PAGE = 0x1000;

// The engine's window, laid out with unmapped gaps between the areas so that running off one
// (a stack overflow, say) faults instead of landing in another.
constexpr uint64_t STUB_BASE = EMULATOR_WINDOW_BASE;
constexpr uint64_t STUB_SIZE = 0x10000;
constexpr uint64_t TABLE_BASE = EMULATOR_WINDOW_BASE + 0x100000;
constexpr uint64_t TABLE_SIZE = 0x10000;
constexpr uint64_t SYSTEM_TABLE_ADDRESS = TABLE_BASE;
constexpr uint64_t VENDOR_ADDRESS = TABLE_BASE + 0x100;
constexpr uint64_t BOOT_SERVICES_ADDRESS = TABLE_BASE + 0x200;
constexpr uint64_t PCD_PROTOCOL_ADDRESS = TABLE_BASE + 0x400;
constexpr uint64_t CONFIGURATION_TABLE_ADDRESS = TABLE_BASE + 0x1000;
constexpr uint64_t STACK_BASE = EMULATOR_WINDOW_BASE + 0x1000000;
constexpr uint64_t STACK_SIZE = 0x100000;
constexpr uint64_t STACK_TOP = STACK_BASE + STACK_SIZE;
constexpr uint64_t POOL_BASE = EMULATOR_WINDOW_BASE + 0x10000000;
// Images are laid out one after the other in chunks of emulated memory, each image on its own
// 64 KiB boundary with at least one inaccessible page after it.
constexpr uint64_t IMAGE_AREA_BASE = EMULATOR_WINDOW_BASE + 0x100000000;
constexpr uint64_t IMAGE_AREA_END = EMULATOR_WINDOW_END;
constexpr uint64_t IMAGE_CHUNK_SIZE = 256ULL << 20;
constexpr uint64_t IMAGE_ALIGNMENT = 0x10000;

// Each firmware member is a stub "svc #0; ret"; the supervisor call traps to the host, which
// serves the member named by the stub's position. Host calls into an image return to the
// return trap, where the emulation stops.
constexpr uint64_t STUB_STRIDE = 8;
constexpr uint64_t MEMBER_COUNT = std::size(BOOT_SERVICE_MEMBERS) + std::size(PCD_MEMBERS);
constexpr uint64_t RETURN_TRAP = STUB_BASE + MEMBER_COUNT * STUB_STRIDE;
static_assert(RETURN_TRAP + 4 <= STUB_BASE + STUB_SIZE);

// A firmware service call counts as this many instructions against the budget (CopyMem and
// SetMem one more per 8 bytes), so that an image calling services in a loop is bounded too.
constexpr uint64_t SERVICE_CALL_COST = 256;

// Anonymous host memory behind an emulated area: zero-filled, committed only where touched.
class HostMemory {
public:
  explicit HostMemory(size_t Length);
  ~HostMemory();
  HostMemory(const HostMemory&) = delete;
  HostMemory& operator=(const HostMemory&) = delete;
  uint8_t* Data() const { return Bytes; }

private:
  uint8_t* Bytes;
  size_t Length;
};

// Memory the engine maps with the emulator's own protections: stubs, tables, stack, pool.
struct Area {
  uint64_t Base;
  uint64_t Size;
  uint8_t* Host;
  std::string Name;
};

// One loaded image. Its memory is mapped readable, writable and executable in a chunk, and its
// section permissions are enforced by the hooks, page by page, so that any number of images
// costs the emulator a handful of mappings.
struct LoadedImage {
  std::string Name;
  uint64_t Base = 0;
  uint64_t Size = 0; // whole pages
  uint8_t* Host = nullptr;
  std::vector<uint8_t> Pages;         // PE_PAGE_READ/WRITE/EXECUTE per page
  std::vector<a64::Special> Specials; // per instruction word of the executable pages
  std::vector<uint32_t> NextSpecial;  // per word: the first special word from there on
  std::vector<uint8_t> ChangedCode;   // pages of code written since they were classified
  bool Relocated = true;              // false: the image carries no relocations
  uint64_t LinkedBase = 0, LinkedEnd = 0;

  bool Contains(uint64_t Address) const { return Address - Base < Size; }
  uint8_t PageAt(uint64_t Address) const { return Pages[(Address - Base) / PAGE]; }
};

struct ImageChunk {
  uint64_t Base;
  uint64_t Size;
  std::unique_ptr<HostMemory> Memory;
};

struct MmioRegion {
  void* Owner; // the engine's inside
  uint64_t Base;
};

} // namespace engine

class Aarch64Engine::Impl final : public ImageMemory {
public:
  Impl(Machine& M, std::string Directory);
  ~Impl() override;

  // Image loading.
  std::string FindImage(const std::string& Name) const;
  const PeImage& Prepare(const std::string& Name);
  uint64_t LoadImage(const std::string& Name);

  // Calling convention: calls Function with up to eight register arguments; false when the run
  // stopped.
  bool Execute(uint64_t Function, const uint64_t* Arguments, size_t Count, uint64_t& Result);

  std::string Describe(uint64_t Address) const;

  // ImageMemory, for the firmware.
  void Read(uint64_t Address, void* Buffer, size_t Length) override;
  void Write(uint64_t Address, const void* Buffer, size_t Length) override;
  uint64_t AllocatePool(size_t Length) override;
  void FreePool(uint64_t Address) override;
  void PublishConfigurationTables() override;
  bool Reaches(const char* Service, uint64_t Address, uint64_t Length, bool Write) override;

  Machine& M;
  std::string Directory;
  Firmware Fw;

private:
  // Emulated memory.
  uint8_t* MapArea(uint64_t Base, uint64_t Size, uint32_t Protection, const std::string& Name);
  void MapMachineMemory();
  void MapRegisterSpace(uint64_t Base, uint64_t End);
  uint8_t* HostPointer(uint64_t Address, uint64_t Length) const;
  engine::LoadedImage* ImageAt(uint64_t Address);
  const engine::LoadedImage* ImageAt(uint64_t Address) const;
  uint64_t PlaceImage(uint64_t Size);
  // " (the image carries no relocations...)" when the running image needed them to reach
  // Address, else empty.
  std::string RelocationNote(uint64_t Address) const;
  uint64_t RegisterRead(uint64_t Address, unsigned Size);
  void RegisterWrite(uint64_t Address, unsigned Size, uint64_t Value);
  void TraceMemory(bool Write, uint64_t Address, unsigned Size, uint64_t Value,
                   const std::string& Note);

  // Service stubs.
  void BuildFirmwareTables();
  void ServeMember(size_t Index);

  // Image loading.
  void ClassifyCode(engine::LoadedImage& Image, uint64_t FirstPage, uint64_t EndPage);

  // Processor hooks.
  void InstallHooks();
  uint32_t InstructionAt(uint64_t Address) const;
  bool EnterBlock(uint64_t Address, uint64_t Size);
  // Acts on the special instructions of the current block before Address, in order: they ran
  // before whatever the engine observes next.
  void CatchUp(uint64_t Address);
  // The instruction of the current block that made an access, and whether it (and every other
  // that could have) is one naturally aligned single 8-bit or 32-bit access; 0 when none could.
  uint64_t IdentifyAccess(bool Store, uint64_t Address, int Size, bool& Single);
  void NoteTransfer(uint64_t Target, uint64_t From);
  std::vector<uint64_t> ProcessorState() const;
  // The system register an MRS or MSR at Pc names, as the architecture spells it.
  std::string SystemRegisterName() const;
  void Charge(uint64_t Instructions);
  void JudgeRegisterAccess(bool Write, uint64_t Address, int Size);
  std::string Here() const;

  uint64_t ReadRegister(int Register) const;
  void WriteRegister(int Register, uint64_t Value);
  uint64_t ProgramCounter() const { return ReadRegister(UC_ARM64_REG_PC); }
  void Check(uc_err Error, const char* What) const;

  // Runs Body so that a stop of the machine ends the emulation instead of unwinding through
  // the emulator. Returns false when the machine stopped.
  template <typename F>
  bool Guarded(F&& Body);
  // Stops the run with FaultText as the message.
  void RaiseFault();
  // Records the first fault of a call; RaiseFault or the end of the service stops the run.
  void NoteFault(const std::string& Text);
  // Stops the run now (from a hook: the emulation ends before the next instruction).
  void Stop(StopKind Kind, const std::string& Text);

  static void OnBlock(uc_engine* Uc, uint64_t Address, uint32_t Size, void* User);
  static void OnInterrupt(uc_engine* Uc, uint32_t Number, void* User);
  static uint32_t OnSystemRegisterRead(uc_engine* Uc, uc_arm64_reg Register,
                                       const uc_arm64_cp_reg* System, void* User);
  static uint32_t OnSystemRegisterWrite(uc_engine* Uc, uc_arm64_reg Register,
                                        const uc_arm64_cp_reg* System, void* User);
  static uint32_t OnSystemInstruction(uc_engine* Uc, uc_arm64_reg Register,
                                      const uc_arm64_cp_reg* System, void* User);
  static bool OnInvalidAccess(uc_engine* Uc, uc_mem_type Type, uint64_t Address, int Size,
                              int64_t Value, void* User);
  static void OnSocAccess(uc_engine* Uc, uc_mem_type Type, uint64_t Address, int Size,
                          int64_t Value, void* User);
  static void OnWindowAccess(uc_engine* Uc, uc_mem_type Type, uint64_t Address, int Size,
                             int64_t Value, void* User);
  static uint64_t OnMmioRead(uc_engine* Uc, uint64_t Offset, unsigned Size, void* User);
  static void OnMmioWrite(uc_engine* Uc, uint64_t Offset, unsigned Size, uint64_t Value,
                          void* User);

  uc_engine* Uc = nullptr;
  std::vector<std::unique_ptr<engine::HostMemory>> Buffers;
  std::map<uint64_t, engine::Area> Areas; // by base
  std::map<std::string, PeImage> Files;
  std::map<uint64_t, std::unique_ptr<engine::LoadedImage>> Images; // by base
  std::vector<engine::ImageChunk> Chunks;
  std::deque<engine::MmioRegion> MmioRegions;
  std::map<uint64_t, uint64_t> PoolBlocks; // address -> size
  uint8_t* Tables = nullptr;
  uint64_t NextImageBase = engine::IMAGE_AREA_BASE;
  uint64_t NextPool = engine::POOL_BASE;

  // The call in progress.
  bool Running = false;
  bool Halted = false;
  std::string FaultText;
  std::string StopText;                  // outlives the stop, which skips the frames that made it
  engine::LoadedImage* Caller = nullptr; // the image whose code was called
  uint64_t Pc = 0; // the block being executed, or the instruction where it is known
  uint64_t Executed = 0;
  uint64_t Budget = 0;
  // The block being executed, in the image BlockImage (null: the stubs), and the first of its
  // instructions that has not been accounted for yet.
  uint64_t BlockStart = 0, BlockEnd = 0, Cursor = 0;
  engine::LoadedImage* BlockImage = nullptr;
  uint64_t BlockSpecial = 0; // the first special instruction of the block from the cursor on
  bool BlockHasSpecials = false;
  // The last page found executable (and its code unchanged) in BlockImage.
  uint64_t CheckedPage = 0;
  // Dead-loop detection: backward branches since something observable was done, when the
  // state is next kept, and the branch target and state kept.
  bool Progress = false;
  uint64_t QuietTurns = 0;
  uint64_t NextLoopCheck = 0;
  bool WatchingLoop = false;
  uint64_t LoopHead = 0;
  std::vector<uint64_t> LoopState;
};

template <typename F>
bool Aarch64Engine::Impl::Guarded(F&& Body) {
  const bool Completed = M.RunGuarded(
      [](void* Context) { (*static_cast<std::remove_reference_t<F>*>(Context))(); }, &Body);
  if (!Completed) {
    Halted = true;
    uc_emu_stop(Uc);
  }
  return Completed;
}

} // namespace sim
