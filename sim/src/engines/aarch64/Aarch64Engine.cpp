#include <Sim/Aarch64Engine.h>

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <new>
#include <type_traits>
#include <vector>

#include <Protocol/Pcd.h>
#include <Sim/PeImage.h>
#include <Sim/Trace.h>

namespace sim {

namespace {

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
constexpr uint64_t CONFIGURATION_TABLE_CAPACITY =
    (TABLE_SIZE - 0x1000) / sizeof(EFI_CONFIGURATION_TABLE);
constexpr uint64_t STACK_BASE = EMULATOR_WINDOW_BASE + 0x1000000;
constexpr uint64_t STACK_SIZE = 0x100000;
constexpr uint64_t STACK_TOP = STACK_BASE + STACK_SIZE;
constexpr uint64_t POOL_BASE = EMULATOR_WINDOW_BASE + 0x10000000;
constexpr uint64_t POOL_SIZE = 0x1000000;
constexpr uint64_t IMAGE_AREA_BASE = EMULATOR_WINDOW_BASE + 0x100000000;
constexpr uint64_t IMAGE_AREA_END = EMULATOR_WINDOW_END;
constexpr uint64_t IMAGE_SPACING = 0x100000;

// Each firmware member is a stub "svc #0; ret"; the supervisor call traps to the host, which
// serves the member named by the stub's position. Host calls into an image return to the
// return trap, where the emulation stops.
constexpr uint32_t A64_SVC_0 = 0xD4000001;
constexpr uint32_t A64_RET = 0xD65F03C0;
constexpr uint32_t A64_BRK_0 = 0xD4200000;
constexpr uint32_t A64_NOP = 0xD503201F;
constexpr uint32_t A64_DSB_SY = 0xD5033F9F;
constexpr uint64_t STUB_STRIDE = 8;

// Processor exceptions as the emulator numbers them.
constexpr uint32_t EXCEPTION_UNDEFINED = 1;
constexpr uint32_t EXCEPTION_SUPERVISOR_CALL = 2;
constexpr uint32_t EXCEPTION_INSTRUCTION_ABORT = 3;
constexpr uint32_t EXCEPTION_DATA_ABORT = 4;
constexpr uint32_t EXCEPTION_BREAKPOINT = 7;
constexpr uint32_t EXCEPTION_HYPERVISOR_CALL = 11;
constexpr uint32_t EXCEPTION_SECURE_MONITOR_CALL = 13;

// AAPCS64 lets a callee see anything in the upper half of a 32-bit argument and anything in the
// caller-saved registers after a call; the engine puts junk there so that an image relying on
// either shows up. Callee-saved registers get sentinels that must survive a call into an image.
constexpr uint64_t ARGUMENT_UPPER_JUNK = 0xA5A5A5A500000000ULL;
constexpr uint64_t CLOBBER_PATTERN = 0xDEAD00000000C100ULL;
constexpr uint64_t CALLEE_SAVED_SENTINEL = 0x5AFE000000001900ULL;

const int ARGUMENT_REGISTERS[8] = {UC_ARM64_REG_X0, UC_ARM64_REG_X1, UC_ARM64_REG_X2,
                                   UC_ARM64_REG_X3, UC_ARM64_REG_X4, UC_ARM64_REG_X5,
                                   UC_ARM64_REG_X6, UC_ARM64_REG_X7};

int XRegister(unsigned Index) {
  return Index <= 28 ? UC_ARM64_REG_X0 + static_cast<int>(Index) : UC_ARM64_REG_X29;
}

// What a firmware member does when called.
enum class Action {
  Unsupported,     // traced, returns EFI_UNSUPPORTED
  UnsupportedVoid, // traced, returns nothing
  UnsupportedZero, // traced, returns 0 (PCD getters)
  RaiseTpl,        // traced as unsupported, returns TPL_APPLICATION
  AllocatePool,
  FreePool,
  CreateEvent,
  InstallProtocolInterface,
  InstallConfigurationTable,
  LocateProtocol,
  CopyMem,
  SetMem,
  PcdSetPtr,
  None, // the Reserved slot: no function
};

struct Member {
  const char* Name;
  size_t Offset;
  Action Does;
};

#define BOOT_SERVICE(Name, Does)                                                                   \
  { #Name, offsetof(EFI_BOOT_SERVICES, Name), Action::Does }
constexpr Member BOOT_SERVICE_MEMBERS[] = {
    BOOT_SERVICE(RaiseTPL, RaiseTpl),
    BOOT_SERVICE(RestoreTPL, UnsupportedVoid),
    BOOT_SERVICE(AllocatePages, Unsupported),
    BOOT_SERVICE(FreePages, Unsupported),
    BOOT_SERVICE(GetMemoryMap, Unsupported),
    BOOT_SERVICE(AllocatePool, AllocatePool),
    BOOT_SERVICE(FreePool, FreePool),
    BOOT_SERVICE(CreateEvent, CreateEvent),
    BOOT_SERVICE(SetTimer, Unsupported),
    BOOT_SERVICE(WaitForEvent, Unsupported),
    BOOT_SERVICE(SignalEvent, Unsupported),
    BOOT_SERVICE(CloseEvent, Unsupported),
    BOOT_SERVICE(CheckEvent, Unsupported),
    BOOT_SERVICE(InstallProtocolInterface, InstallProtocolInterface),
    BOOT_SERVICE(ReinstallProtocolInterface, Unsupported),
    BOOT_SERVICE(UninstallProtocolInterface, Unsupported),
    BOOT_SERVICE(HandleProtocol, Unsupported),
    BOOT_SERVICE(Reserved, None),
    BOOT_SERVICE(RegisterProtocolNotify, Unsupported),
    BOOT_SERVICE(LocateHandle, Unsupported),
    BOOT_SERVICE(LocateDevicePath, Unsupported),
    BOOT_SERVICE(InstallConfigurationTable, InstallConfigurationTable),
    BOOT_SERVICE(LoadImage, Unsupported),
    BOOT_SERVICE(StartImage, Unsupported),
    BOOT_SERVICE(Exit, Unsupported),
    BOOT_SERVICE(UnloadImage, Unsupported),
    BOOT_SERVICE(ExitBootServices, Unsupported),
    BOOT_SERVICE(GetNextMonotonicCount, Unsupported),
    BOOT_SERVICE(Stall, Unsupported),
    BOOT_SERVICE(SetWatchdogTimer, Unsupported),
    BOOT_SERVICE(ConnectController, Unsupported),
    BOOT_SERVICE(DisconnectController, Unsupported),
    BOOT_SERVICE(OpenProtocol, Unsupported),
    BOOT_SERVICE(CloseProtocol, Unsupported),
    BOOT_SERVICE(OpenProtocolInformation, Unsupported),
    BOOT_SERVICE(ProtocolsPerHandle, Unsupported),
    BOOT_SERVICE(LocateHandleBuffer, Unsupported),
    BOOT_SERVICE(LocateProtocol, LocateProtocol),
    BOOT_SERVICE(InstallMultipleProtocolInterfaces, Unsupported),
    BOOT_SERVICE(UninstallMultipleProtocolInterfaces, Unsupported),
    BOOT_SERVICE(CalculateCrc32, Unsupported),
    BOOT_SERVICE(CopyMem, CopyMem),
    BOOT_SERVICE(SetMem, SetMem),
    BOOT_SERVICE(CreateEventEx, Unsupported),
};
#undef BOOT_SERVICE

#define PCD_MEMBER(Name, Does)                                                                     \
  { "Pcd." #Name, offsetof(PCD_PROTOCOL, Name), Action::Does }
constexpr Member PCD_MEMBERS[] = {
    PCD_MEMBER(SetSku, UnsupportedVoid),
    PCD_MEMBER(Get8, UnsupportedZero),
    PCD_MEMBER(Get16, UnsupportedZero),
    PCD_MEMBER(Get32, UnsupportedZero),
    PCD_MEMBER(Get64, UnsupportedZero),
    PCD_MEMBER(GetPtr, UnsupportedZero),
    PCD_MEMBER(GetBool, UnsupportedZero),
    PCD_MEMBER(GetSize, UnsupportedZero),
    PCD_MEMBER(Get8Ex, UnsupportedZero),
    PCD_MEMBER(Get16Ex, UnsupportedZero),
    PCD_MEMBER(Get32Ex, UnsupportedZero),
    PCD_MEMBER(Get64Ex, UnsupportedZero),
    PCD_MEMBER(GetPtrEx, UnsupportedZero),
    PCD_MEMBER(GetBoolEx, UnsupportedZero),
    PCD_MEMBER(GetSizeEx, UnsupportedZero),
    PCD_MEMBER(Set8, Unsupported),
    PCD_MEMBER(Set16, Unsupported),
    PCD_MEMBER(Set32, Unsupported),
    PCD_MEMBER(Set64, Unsupported),
    PCD_MEMBER(SetPtr, PcdSetPtr),
    PCD_MEMBER(SetBool, Unsupported),
    PCD_MEMBER(Set8Ex, Unsupported),
    PCD_MEMBER(Set16Ex, Unsupported),
    PCD_MEMBER(Set32Ex, Unsupported),
    PCD_MEMBER(Set64Ex, Unsupported),
    PCD_MEMBER(SetPtrEx, Unsupported),
    PCD_MEMBER(SetBoolEx, Unsupported),
    PCD_MEMBER(CallbackOnSet, Unsupported),
    PCD_MEMBER(CancelCallback, Unsupported),
    PCD_MEMBER(GetNextToken, Unsupported),
    PCD_MEMBER(GetNextTokenSpace, Unsupported),
};
#undef PCD_MEMBER

// Every slot of a table, one after the other: a member left out or out of order would shift
// the slots that a real firmware's callers use.
template <size_t N>
constexpr bool CoversEverySlot(const Member (&Members)[N], size_t First, size_t TableSize) {
  for (size_t I = 0; I < N; ++I) {
    if (Members[I].Offset != First + I * sizeof(uint64_t)) {
      return false;
    }
  }
  return First + N * sizeof(uint64_t) == TableSize;
}
static_assert(CoversEverySlot(BOOT_SERVICE_MEMBERS, sizeof(EFI_TABLE_HEADER),
                              sizeof(EFI_BOOT_SERVICES)));
static_assert(CoversEverySlot(PCD_MEMBERS, 0, sizeof(PCD_PROTOCOL)));

constexpr size_t BOOT_SERVICE_COUNT = std::size(BOOT_SERVICE_MEMBERS);
constexpr size_t MEMBER_COUNT = BOOT_SERVICE_COUNT + std::size(PCD_MEMBERS);
constexpr uint64_t RETURN_TRAP = STUB_BASE + MEMBER_COUNT * STUB_STRIDE;
static_assert(RETURN_TRAP + 4 <= STUB_BASE + STUB_SIZE);

const Member& MemberAt(size_t Index) {
  return Index < BOOT_SERVICE_COUNT ? BOOT_SERVICE_MEMBERS[Index]
                                    : PCD_MEMBERS[Index - BOOT_SERVICE_COUNT];
}

uint64_t AlignUp(uint64_t Value, uint64_t Alignment) {
  return (Value + Alignment - 1) / Alignment * Alignment;
}

// Anonymous host memory behind an emulated area: zero-filled, committed only where touched.
class HostMemory {
public:
  explicit HostMemory(size_t Length) : Length(Length) {
    void* Memory =
        mmap(nullptr, Length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Memory == MAP_FAILED) {
      throw std::bad_alloc();
    }
    Bytes = static_cast<uint8_t*>(Memory);
  }
  ~HostMemory() { munmap(Bytes, Length); }
  HostMemory(const HostMemory&) = delete;
  HostMemory& operator=(const HostMemory&) = delete;
  uint8_t* Data() const { return Bytes; }

private:
  uint8_t* Bytes;
  size_t Length;
};

struct Area {
  uint64_t Base;
  uint64_t Size;
  uint8_t* Host;
  std::string Name;
};

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

} // namespace

std::string DefaultEfiDirectory() {
  if (const char* Directory = std::getenv("DXESIM_EFI_DIR")) {
    return Directory;
  }
  return DXESIM_DEFAULT_EFI_DIR;
}

class Aarch64Engine::Impl final : public ImageMemory {
public:
  Impl(Machine& M, std::string Directory);
  ~Impl() override;

  std::string FindImage(const std::string& Name) const;
  const PeImage& Prepare(const std::string& Name);
  uint64_t LoadImage(const std::string& Name);
  bool Execute(uint64_t Function, const uint64_t* Arguments, size_t Count, uint64_t& Result);
  std::string Describe(uint64_t Address) const;

  void Read(uint64_t Address, void* Buffer, size_t Length) override;
  void Write(uint64_t Address, const void* Buffer, size_t Length) override;
  uint64_t AllocatePool(size_t Length) override;
  void FreePool(uint64_t Address) override;
  void PublishConfigurationTables() override;

  Machine& M;
  std::string Directory;
  Firmware Fw;

private:
  uint8_t* MapArea(uint64_t Base, uint64_t Size, uint32_t Protection, const std::string& Name);
  void BuildFirmwareTables();
  void MapMachineRam();
  void MapRegisterPage(uint64_t Page);
  void InstallCodeHooks(const PeImage& Image, const uint8_t* Host, uint64_t Base);
  uint8_t* HostPointer(uint64_t Address, uint64_t Length) const;
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
  void NoteBadPointer(uint64_t Address, uint64_t Length, const char* Use);

  void ServeMember(size_t Index);
  uint64_t RegisterRead(uint64_t Address, unsigned Size);
  void RegisterWrite(uint64_t Address, unsigned Size, uint64_t Value);

  static void OnInterrupt(uc_engine* Uc, uint32_t Number, void* User);
  static uint32_t OnSystemRegisterRead(uc_engine* Uc, uc_arm64_reg Register,
                                       const uc_arm64_cp_reg* System, void* User);
  static bool OnInvalidAccess(uc_engine* Uc, uc_mem_type Type, uint64_t Address, int Size,
                              int64_t Value, void* User);
  static void OnAccess(uc_engine* Uc, uc_mem_type Type, uint64_t Address, int Size, int64_t Value,
                       void* User);
  static void OnBarrier(uc_engine* Uc, uint64_t Address, uint32_t Size, void* User);
  static void OnPause(uc_engine* Uc, uint64_t Address, uint32_t Size, void* User);
  static uint64_t OnMmioRead(uc_engine* Uc, uint64_t Offset, unsigned Size, void* User);
  static void OnMmioWrite(uc_engine* Uc, uint64_t Offset, unsigned Size, uint64_t Value,
                          void* User);

  struct MmioPage {
    Impl* Owner;
    uint64_t Base;
  };

  uc_engine* Uc = nullptr;
  std::vector<std::unique_ptr<HostMemory>> Buffers;
  std::map<uint64_t, Area> Areas; // by base
  std::map<std::string, PeImage> Images;
  std::deque<MmioPage> MmioPages;
  std::map<uint64_t, uint64_t> PoolBlocks; // address -> size
  uint8_t* Tables = nullptr;
  uint64_t NextImageBase = IMAGE_AREA_BASE;
  uint64_t NextPool = POOL_BASE;
  bool Running = false;
  bool Halted = false;
  std::string FaultText;
};

Aarch64Engine::Impl::Impl(Machine& Machine_, std::string Directory_)
    : M(Machine_), Directory(std::move(Directory_)), Fw(Machine_, *this) {
  Check(uc_open(UC_ARCH_ARM64, UC_MODE_ARM, &Uc), "cannot start the AArch64 emulator");
  Check(uc_ctl_set_cpu_model(Uc, UC_CPU_ARM64_A72), "cannot select the processor model");

  uint8_t* Stubs = MapArea(STUB_BASE, STUB_SIZE, UC_PROT_READ | UC_PROT_EXEC, "service stubs");
  for (size_t I = 0; I < MEMBER_COUNT; ++I) {
    const uint32_t Stub[2] = {A64_SVC_0, A64_RET};
    std::memcpy(Stubs + I * STUB_STRIDE, Stub, sizeof(Stub));
  }
  std::memcpy(Stubs + (RETURN_TRAP - STUB_BASE), &A64_BRK_0, sizeof(A64_BRK_0));
  Tables = MapArea(TABLE_BASE, TABLE_SIZE, UC_PROT_READ, "firmware tables");
  MapArea(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE, "stack");
  MapArea(POOL_BASE, POOL_SIZE, UC_PROT_READ | UC_PROT_WRITE, "pool");
  MapMachineRam();
  BuildFirmwareTables();

  Fw.SetFailures(M.Profile().Fail);
  if (M.Profile().Pcd) {
    Fw.InstallPcdProtocol(PCD_PROTOCOL_ADDRESS);
  }

  uc_hook Hook;
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1, 0),
        "cannot hook exceptions");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void*>(OnSystemRegisterRead), this, 1,
                    0, UC_ARM64_INS_MRS),
        "cannot hook system-register reads");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(OnInvalidAccess), this,
                    1, 0),
        "cannot hook invalid accesses");
  // Outside the window everything is register space or SoC memory: each access is checked for
  // its width before it reaches the SoC.
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void*>(OnAccess), this, 0, EMULATOR_WINDOW_BASE - 1),
        "cannot hook register accesses");
  Check(uc_hook_add(Uc, &Hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void*>(OnAccess), this, EMULATOR_WINDOW_END, UINT64_MAX),
        "cannot hook register accesses");
}

Aarch64Engine::Impl::~Impl() {
  if (Uc != nullptr) {
    uc_close(Uc);
  }
}

void Aarch64Engine::Impl::Check(uc_err Error, const char* What) const {
  if (Error != UC_ERR_OK) {
    throw std::runtime_error(std::string("dxesim: ") + What + ": " + uc_strerror(Error));
  }
}

uint8_t* Aarch64Engine::Impl::MapArea(uint64_t Base, uint64_t Size, uint32_t Protection,
                                      const std::string& Name) {
  Buffers.push_back(std::make_unique<HostMemory>(Size));
  uint8_t* Host = Buffers.back()->Data();
  Check(uc_mem_map_ptr(Uc, Base, Size, Protection, Host), "cannot map emulated memory");
  Areas[Base] = Area{Base, Size, Host, Name};
  return Host;
}

// The SoC's ordinary memory is shared with the machine, so that both engines and the host-side
// readers (dumps, the boot-log reader) see the same bytes. Pages only partly covered by it are
// left to the register-page path, which serves their memory bytes untraced.
void Aarch64Engine::Impl::MapMachineRam() {
  for (const AddressSpace::RamRange& Range : M.Memory().RamRanges()) {
    const uint64_t First = AlignUp(Range.Base, PAGE);
    const uint64_t End = (Range.Base + Range.Size) / PAGE * PAGE;
    if (End > First) {
      uint8_t* Host = M.Memory().RamPointer(First, End - First);
      Check(uc_mem_map_ptr(Uc, First, End - First, UC_PROT_READ | UC_PROT_WRITE, Host),
            "cannot map SoC memory");
    }
  }
}

void Aarch64Engine::Impl::BuildFirmwareTables() {
  static const char16_t VENDOR[] = u"dxesim";
  std::memcpy(Tables + (VENDOR_ADDRESS - TABLE_BASE), VENDOR, sizeof(VENDOR));

  EFI_BOOT_SERVICES Services{};
  Services.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Services.Hdr.Revision = (2 << 16) | 70;
  Services.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  auto* ServiceSlots = reinterpret_cast<uint8_t*>(&Services);
  for (size_t I = 0; I < BOOT_SERVICE_COUNT; ++I) {
    const Member& Slot = BOOT_SERVICE_MEMBERS[I];
    const uint64_t Stub = Slot.Does == Action::None ? 0 : STUB_BASE + I * STUB_STRIDE;
    std::memcpy(ServiceSlots + Slot.Offset, &Stub, sizeof(Stub));
  }
  std::memcpy(Tables + (BOOT_SERVICES_ADDRESS - TABLE_BASE), &Services, sizeof(Services));

  for (size_t I = 0; I < std::size(PCD_MEMBERS); ++I) {
    const uint64_t Stub = STUB_BASE + (BOOT_SERVICE_COUNT + I) * STUB_STRIDE;
    std::memcpy(Tables + (PCD_PROTOCOL_ADDRESS - TABLE_BASE) + PCD_MEMBERS[I].Offset, &Stub,
                sizeof(Stub));
  }

  EFI_SYSTEM_TABLE System{};
  System.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  System.Hdr.Revision = (2 << 16) | 70;
  System.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  System.FirmwareVendor = reinterpret_cast<CHAR16*>(VENDOR_ADDRESS);
  System.BootServices = reinterpret_cast<EFI_BOOT_SERVICES*>(BOOT_SERVICES_ADDRESS);
  std::memcpy(Tables + (SYSTEM_TABLE_ADDRESS - TABLE_BASE), &System, sizeof(System));
}

void Aarch64Engine::Impl::PublishConfigurationTables() {
  const auto& List = Fw.ConfigurationTables();
  if (List.size() > CONFIGURATION_TABLE_CAPACITY) {
    throw std::runtime_error("dxesim: more configuration tables than the engine has room for");
  }
  for (size_t I = 0; I < List.size(); ++I) {
    EFI_CONFIGURATION_TABLE Entry{List[I].Guid, reinterpret_cast<VOID*>(List[I].Table)};
    std::memcpy(Tables + (CONFIGURATION_TABLE_ADDRESS - TABLE_BASE) + I * sizeof(Entry), &Entry,
                sizeof(Entry));
  }
  const uint64_t Count = List.size();
  const uint64_t Array = List.empty() ? 0 : CONFIGURATION_TABLE_ADDRESS;
  uint8_t* System = Tables + (SYSTEM_TABLE_ADDRESS - TABLE_BASE);
  std::memcpy(System + offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries), &Count, sizeof(Count));
  std::memcpy(System + offsetof(EFI_SYSTEM_TABLE, ConfigurationTable), &Array, sizeof(Array));
}

uint8_t* Aarch64Engine::Impl::HostPointer(uint64_t Address, uint64_t Length) const {
  auto Next = Areas.upper_bound(Address);
  if (Next != Areas.begin()) {
    const Area& A = std::prev(Next)->second;
    if (Address - A.Base < A.Size && Length <= A.Size - (Address - A.Base)) {
      return A.Host + (Address - A.Base);
    }
  }
  return M.Memory().RamPointer(Address, Length);
}

void Aarch64Engine::Impl::NoteBadPointer(uint64_t Address, uint64_t Length, const char* Use) {
  // Host-side lookups outside a run read zeros; what the image then does with them faults.
  if (!Running || !FaultText.empty()) {
    return;
  }
  FaultText = M.RunningImageName() + ": the firmware was handed memory it cannot " + Use + ": " +
              std::to_string(Length) + " bytes at " + Hex(Address);
}

void Aarch64Engine::Impl::Read(uint64_t Address, void* Buffer, size_t Length) {
  if (Length == 0) {
    return;
  }
  if (const uint8_t* Host = HostPointer(Address, Length)) {
    std::memcpy(Buffer, Host, Length);
    return;
  }
  std::memset(Buffer, 0, Length);
  NoteBadPointer(Address, Length, "read");
}

void Aarch64Engine::Impl::Write(uint64_t Address, const void* Buffer, size_t Length) {
  if (Length == 0) {
    return;
  }
  if (uint8_t* Host = HostPointer(Address, Length)) {
    std::memcpy(Host, Buffer, Length);
    return;
  }
  NoteBadPointer(Address, Length, "write");
}

// Pool contents are undefined on real firmware: fill them so that nothing relies on zeros, and
// poison freed blocks, which are never handed out again.
uint64_t Aarch64Engine::Impl::AllocatePool(size_t Length) {
  const uint64_t Size = AlignUp(Length == 0 ? 1 : Length, 16);
  if (Size > POOL_BASE + POOL_SIZE - NextPool) {
    throw std::bad_alloc();
  }
  const uint64_t Block = NextPool;
  NextPool += Size;
  std::memset(HostPointer(Block, Size), 0xAF, Size);
  PoolBlocks[Block] = Size;
  return Block;
}

void Aarch64Engine::Impl::FreePool(uint64_t Block) {
  const auto Found = PoolBlocks.find(Block);
  if (Found != PoolBlocks.end()) {
    std::memset(HostPointer(Block, Found->second), 0xFE, Found->second);
    PoolBlocks.erase(Found);
  }
}

uint64_t Aarch64Engine::Impl::ReadRegister(int Register) const {
  uint64_t Value = 0;
  uc_reg_read(Uc, Register, &Value);
  return Value;
}

void Aarch64Engine::Impl::WriteRegister(int Register, uint64_t Value) {
  uc_reg_write(Uc, Register, &Value);
}

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

void Aarch64Engine::Impl::RaiseFault() {
  Guarded([this] { M.Fault(FaultText); });
}

std::string Aarch64Engine::Impl::Describe(uint64_t Address) const {
  auto Next = Areas.upper_bound(Address);
  if (Next != Areas.begin()) {
    const Area& A = std::prev(Next)->second;
    if (Address - A.Base < A.Size) {
      return Hex(Address) + " (" + A.Name + "+" + Hex(Address - A.Base) + ")";
    }
  }
  return Hex(Address);
}

// The directory may be a list, "drivers:probes", searched in order; a name found nowhere is
// looked for in the first folder.
std::string Aarch64Engine::Impl::FindImage(const std::string& Name) const {
  std::string First;
  for (size_t Start = 0; Start <= Directory.size();) {
    const size_t End = std::min(Directory.find(':', Start), Directory.size());
    const std::string Candidate = Directory.substr(Start, End - Start) + "/" + Name + ".efi";
    std::error_code Error;
    if (std::filesystem::is_regular_file(Candidate, Error)) {
      return Candidate;
    }
    First = First.empty() ? Candidate : First;
    Start = End + 1;
  }
  return First;
}

const PeImage& Aarch64Engine::Impl::Prepare(const std::string& Name) {
  auto Found = Images.find(Name);
  if (Found == Images.end()) {
    const std::string Path = FindImage(Name);
    std::error_code Error;
    if (!std::filesystem::is_regular_file(Path, Error)) {
      throw ImageError(Name + ".efi: no such AArch64 image in " + Directory +
                       " (build the aarch64-uefi preset, or point DXESIM_EFI_DIR at the folder "
                       "that holds the .efi images)");
    }
    Found = Images.emplace(Name, ReadPeImage(Path)).first;
  }
  return Found->second;
}

// A fresh copy at a fresh address for every load: each dispatch has its own globals, and the
// images loaded before stay in place for the calls into them that come later.
uint64_t Aarch64Engine::Impl::LoadImage(const std::string& Name) {
  const PeImage& Image = Prepare(Name);
  const uint64_t Size = AlignUp(Image.SizeOfImage, PAGE);
  if (Size > IMAGE_AREA_END - NextImageBase) {
    throw std::runtime_error("dxesim: no room left to load " + Name);
  }
  const uint64_t Base = NextImageBase;
  NextImageBase += AlignUp(Size, IMAGE_SPACING) + IMAGE_SPACING;

  Buffers.push_back(std::make_unique<HostMemory>(Size));
  uint8_t* Host = Buffers.back()->Data();
  Image.LayOut(Host, Base);

  // Section permissions as the loader of a protecting firmware sets them; headers and gaps
  // read-only.
  std::vector<uint32_t> Protection(Size / PAGE, UC_PROT_READ);
  for (const PeSection& S : Image.Sections) {
    uint32_t Granted = UC_PROT_READ;
    Granted |= (S.Characteristics & PE_SECTION_EXECUTE) != 0 ? UC_PROT_EXEC : 0;
    Granted |= (S.Characteristics & PE_SECTION_WRITE) != 0 ? UC_PROT_WRITE : 0;
    const uint64_t Last = AlignUp(uint64_t{S.VirtualAddress} + S.VirtualSize, PAGE) / PAGE;
    for (uint64_t P = S.VirtualAddress / PAGE; P < Last; ++P) {
      Protection[P] = Image.SectionAlignment % PAGE == 0 ? Granted | Protection[P] : UC_PROT_ALL;
    }
  }
  for (size_t Start = 0; Start < Protection.size();) {
    size_t End = Start + 1;
    while (End < Protection.size() && Protection[End] == Protection[Start]) {
      ++End;
    }
    Check(uc_mem_map_ptr(Uc, Base + Start * PAGE, (End - Start) * PAGE, Protection[Start],
                         Host + Start * PAGE),
          "cannot map an image");
    Start = End;
  }
  Areas[Base] = Area{Base, Size, Host, Name};
  InstallCodeHooks(Image, Host, Base);
  return Base + Image.EntryPoint;
}

// DSB SY is recorded where it executes; the pause sequence of the stack-check failure routine
// (five NOPs closing a short loop) stops the run as the dead loop.
void Aarch64Engine::Impl::InstallCodeHooks(const PeImage& Image, const uint8_t* Host,
                                           uint64_t Base) {
  for (const PeSection& S : Image.Sections) {
    if ((S.Characteristics & PE_SECTION_EXECUTE) == 0) {
      continue;
    }
    const size_t Count = S.VirtualSize / 4;
    std::vector<uint32_t> Code(Count);
    std::memcpy(Code.data(), Host + S.VirtualAddress, Count * 4);
    for (size_t I = 0; I < Count; ++I) {
      const uint64_t Address = Base + S.VirtualAddress + I * 4;
      uc_hook Hook;
      if (Code[I] == A64_DSB_SY) {
        Check(uc_hook_add(Uc, &Hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnBarrier), this,
                          Address, Address),
              "cannot hook a barrier");
      }
      const bool RunOfFive = I + 5 < Count && (I == 0 || Code[I - 1] != A64_NOP) &&
                             Code[I] == A64_NOP && Code[I + 1] == A64_NOP &&
                             Code[I + 2] == A64_NOP && Code[I + 3] == A64_NOP &&
                             Code[I + 4] == A64_NOP;
      if (RunOfFive && BranchesBackWithin(Code[I + 5], 64, 20)) {
        Check(uc_hook_add(Uc, &Hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnPause), this, Address,
                          Address),
              "cannot hook the dead loop");
      }
    }
  }
}

void Aarch64Engine::Impl::MapRegisterPage(uint64_t Page) {
  MmioPages.push_back(MmioPage{this, Page});
  MmioPage* Context = &MmioPages.back();
  Check(uc_mmio_map(Uc, Page, PAGE, OnMmioRead, Context, OnMmioWrite, Context),
        "cannot map a register page");
}

bool Aarch64Engine::Impl::Execute(uint64_t Function, const uint64_t* Arguments, size_t Count,
                                  uint64_t& Result) {
  if (Running) {
    throw std::logic_error("dxesim: a call into an image while another one runs");
  }
  Halted = false;
  FaultText.clear();
  for (size_t I = 0; I < 8; ++I) {
    WriteRegister(ARGUMENT_REGISTERS[I], I < Count ? Arguments[I] : 0);
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
  if (Halted) {
    return false;
  }
  if (Error != UC_ERR_OK) {
    if (FaultText.empty()) {
      FaultText =
          M.RunningImageName() + ": " + uc_strerror(Error) + " at pc " + Describe(ProgramCounter());
    }
    RaiseFault();
    return false;
  }
  for (unsigned R = 19; R <= 28; ++R) {
    if (ReadRegister(XRegister(R)) != CALLEE_SAVED_SENTINEL + R) {
      FaultText = M.RunningImageName() + ": x" + std::to_string(R) +
                  " was not preserved across a call into the image";
      RaiseFault();
      return false;
    }
  }
  if (ReadRegister(UC_ARM64_REG_SP) != STACK_TOP) {
    FaultText = M.RunningImageName() + ": the stack pointer was not restored on return";
    RaiseFault();
    return false;
  }
  Result = ReadRegister(UC_ARM64_REG_X0);
  return true;
}

void Aarch64Engine::Impl::ServeMember(size_t Index) {
  const Member& Called = MemberAt(Index);
  uint64_t X[8];
  for (size_t I = 0; I < 8; ++I) {
    X[I] = ReadRegister(ARGUMENT_REGISTERS[I]);
  }
  auto Low32 = [](uint64_t Value) { return static_cast<uint32_t>(Value); };
  uint64_t Result = 0;
  bool Returns = true;
  switch (Called.Does) {
  case Action::Unsupported:
    Result = Fw.Unsupported(Called.Name);
    break;
  case Action::UnsupportedVoid:
    Fw.Unsupported(Called.Name);
    Returns = false;
    break;
  case Action::UnsupportedZero:
    Fw.Unsupported(Called.Name);
    break;
  case Action::RaiseTpl:
    Fw.Unsupported(Called.Name);
    Result = TPL_APPLICATION;
    break;
  case Action::AllocatePool:
    Result = Fw.AllocatePool(Low32(X[0]), X[1], X[2]);
    break;
  case Action::FreePool:
    Result = Fw.FreePool(X[0]);
    break;
  case Action::CreateEvent:
    Result = Fw.CreateEvent(Low32(X[0]), X[1], X[2], X[3], X[4]);
    break;
  case Action::InstallProtocolInterface:
    Result = Fw.InstallProtocolInterface(X[0], X[1], Low32(X[2]), X[3]);
    break;
  case Action::InstallConfigurationTable:
    Result = Fw.InstallConfigurationTable(X[0], X[1]);
    break;
  case Action::LocateProtocol:
    Result = Fw.LocateProtocol(X[0], X[1], X[2]);
    break;
  case Action::CopyMem:
  case Action::SetMem: {
    constexpr uint64_t MAX_LENGTH = 64u << 20;
    const uint64_t Length = Called.Does == Action::CopyMem ? X[2] : X[1];
    if (Length > MAX_LENGTH) {
      NoteBadPointer(X[0], Length, "fill or copy");
      break;
    }
    std::vector<uint8_t> Bytes(Length, static_cast<uint8_t>(X[2]));
    if (Called.Does == Action::CopyMem) {
      Read(X[1], Bytes.data(), Bytes.size());
    }
    Write(X[0], Bytes.data(), Bytes.size());
    Returns = false;
    break;
  }
  case Action::PcdSetPtr:
    Result = Fw.PcdSetPtr(X[0], X[1], X[2]);
    break;
  case Action::None:
    break;
  }
  if (!FaultText.empty()) {
    RaiseFault();
    return;
  }
  if (Returns) {
    WriteRegister(UC_ARM64_REG_X0, Result);
  }
  for (unsigned R = Returns ? 1 : 0; R <= 17; ++R) {
    WriteRegister(XRegister(R), CLOBBER_PATTERN + R);
  }
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
  Self.FaultText =
      Self.M.RunningImageName() + ": " + ExceptionName(Number) + " at " + Self.Describe(At);
  Self.RaiseFault();
}

uint32_t Aarch64Engine::Impl::OnSystemRegisterRead(uc_engine*, uc_arm64_reg Register,
                                                   const uc_arm64_cp_reg* System, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return 1;
  }
  uint64_t Value = 0;
  const bool GenericTimer =
      System->op0 == 3 && System->op1 == 3 && System->crn == 14 && System->crm == 0;
  if (GenericTimer && System->op2 == 0) {
    Value = Self.M.TimerFrequency();
    Self.M.Record({EventKind::SystemRegister, 0, Value, "CNTFRQ_EL0"});
  } else if (GenericTimer && System->op2 == 1) {
    Value = Self.M.ReadCounter();
    Self.M.Record({EventKind::SystemRegister, 0, Value, "CNTPCT_EL0"});
  } else {
    Self.FaultText = Self.M.RunningImageName() + ": read of system register S" +
                     std::to_string(System->op0) + "_" + std::to_string(System->op1) + "_C" +
                     std::to_string(System->crn) + "_C" + std::to_string(System->crm) + "_" +
                     std::to_string(System->op2) + ", which the simulated SoC does not provide";
    Self.RaiseFault();
  }
  Self.WriteRegister(Register, Value);
  return 1;
}

bool Aarch64Engine::Impl::OnInvalidAccess(uc_engine*, uc_mem_type Type, uint64_t Address, int,
                                          int64_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (Self.Halted) {
    return false;
  }
  const bool InWindow = Address >= EMULATOR_WINDOW_BASE && Address < EMULATOR_WINDOW_END;
  if ((Type == UC_MEM_READ_UNMAPPED || Type == UC_MEM_WRITE_UNMAPPED) && !InWindow) {
    Self.MapRegisterPage(Address / PAGE * PAGE);
    return true;
  }
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
    What = "jump to non-executable memory";
    break;
  default:
    What = "invalid access";
    break;
  }
  if (Self.FaultText.empty()) {
    Self.FaultText = Self.M.RunningImageName() + ": " + What + " at " + Self.Describe(Address);
  }
  return false;
}

// Registers take single 8-bit and 32-bit accesses: a wider or narrower one is a merged or split
// access in the image, which the hardware would see as such.
void Aarch64Engine::Impl::OnAccess(uc_engine*, uc_mem_type Type, uint64_t Address, int Size,
                                   int64_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  AddressSpace& Space = Self.M.Memory();
  if (Self.Halted || Space.RamPointer(Address, Size) != nullptr) {
    return;
  }
  const bool TouchesRam = Space.IsRam(Address) || Space.IsRam(Address + Size - 1);
  if ((Size == 1 || Size == 4) && !TouchesRam) {
    return;
  }
  Self.FaultText = Self.M.RunningImageName() + ": " + std::to_string(Size * 8) + "-bit " +
                   (Type == UC_MEM_WRITE ? "store to " : "load from ") + Hex(Address) +
                   (TouchesRam ? ", across the edge of SoC memory"
                               : ": registers take single 8-bit or 32-bit accesses");
  Self.RaiseFault();
}

void Aarch64Engine::Impl::OnBarrier(uc_engine*, uint64_t, uint32_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (!Self.Halted) {
    Self.M.Barrier();
  }
}

void Aarch64Engine::Impl::OnPause(uc_engine*, uint64_t, uint32_t, void* User) {
  auto& Self = *static_cast<Impl*>(User);
  if (!Self.Halted) {
    Self.Guarded([&Self] { Self.M.DeadLoop(); });
  }
}

uint64_t Aarch64Engine::Impl::RegisterRead(uint64_t Address, unsigned Size) {
  if (Halted) {
    return 0;
  }
  if (const uint8_t* Ram = M.Memory().RamPointer(Address, Size)) {
    uint64_t Value = 0;
    std::memcpy(&Value, Ram, Size);
    return Value;
  }
  uint64_t Value = 0;
  if (Size == 4) {
    Guarded([&] { Value = M.Read32(Address); });
  } else if (Size == 1) {
    Guarded([&] { Value = M.Read8(Address); });
  }
  return Value;
}

void Aarch64Engine::Impl::RegisterWrite(uint64_t Address, unsigned Size, uint64_t Value) {
  if (Halted) {
    return;
  }
  if (uint8_t* Ram = M.Memory().RamPointer(Address, Size)) {
    std::memcpy(Ram, &Value, Size);
    return;
  }
  if (Size == 4) {
    Guarded([&] { M.Write32(Address, static_cast<uint32_t>(Value)); });
  } else if (Size == 1) {
    Guarded([&] { M.Write8(Address, static_cast<uint8_t>(Value)); });
  }
}

uint64_t Aarch64Engine::Impl::OnMmioRead(uc_engine*, uint64_t Offset, unsigned Size, void* User) {
  const auto& Page = *static_cast<MmioPage*>(User);
  return Page.Owner->RegisterRead(Page.Base + Offset, Size);
}

void Aarch64Engine::Impl::OnMmioWrite(uc_engine*, uint64_t Offset, unsigned Size, uint64_t Value,
                                      void* User) {
  const auto& Page = *static_cast<MmioPage*>(User);
  Page.Owner->RegisterWrite(Page.Base + Offset, Size, Value);
}

Aarch64Engine::Aarch64Engine(Machine& M, std::string ImageDirectory)
    : P(std::make_unique<Impl>(M, std::move(ImageDirectory))) {}

Aarch64Engine::~Aarch64Engine() = default;

Firmware& Aarch64Engine::Fw() {
  return P->Fw;
}

ImageMemory& Aarch64Engine::Memory() {
  return *P;
}

std::string Aarch64Engine::ImageFile(const std::string& Name) const {
  return P->FindImage(Name);
}

void Aarch64Engine::PrepareDriver(const std::string& Name) {
  P->Prepare(Name);
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

uint64_t Aarch64Engine::SystemTableAddress() const {
  return SYSTEM_TABLE_ADDRESS;
}

std::string Aarch64Engine::Describe(uint64_t Address) const {
  return P->Describe(Address);
}

} // namespace sim
