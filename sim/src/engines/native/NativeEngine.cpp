#include <Sim/NativeEngine.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <type_traits>

#include <Sim/FirmwareServices.h>
#include <Sim/Status.h>
#include <Sim/UserInput.h>

namespace sim {

namespace {

#if defined(__x86_64__)
constexpr uint16_t HOST_MACHINE = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t HOST_MACHINE = EM_AARCH64;
#else
#error "the native engine knows no ELF machine for this host"
#endif

// A host build of a driver is a few hundred KiB.
constexpr uint64_t MAX_HOST_IMAGE_BYTES = 64ULL << 20;

// Live engines, newest last: the newest one serves the firmware calls.
std::vector<NativeEngine*>& LiveEngines() {
  static std::vector<NativeEngine*> Engines;
  return Engines;
}

uint64_t Address(const void* Pointer) {
  return reinterpret_cast<uintptr_t>(Pointer);
}

Firmware& ActiveFirmware() {
  return NativeEngine::Active().Fw();
}

// Boot services that the firmware implements.
EFI_STATUS EFIAPI AllocatePoolService(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer) {
  return ActiveFirmware().AllocatePool(PoolType, Size, Address(Buffer));
}
EFI_STATUS EFIAPI FreePoolService(VOID* Buffer) {
  return ActiveFirmware().FreePool(Address(Buffer));
}
EFI_STATUS EFIAPI CreateEventService(UINT32 Type, EFI_TPL NotifyTpl,
                                     EFI_EVENT_NOTIFY NotifyFunction, VOID* NotifyContext,
                                     EFI_EVENT* Event) {
  return ActiveFirmware().CreateEvent(Type, NotifyTpl, reinterpret_cast<uintptr_t>(NotifyFunction),
                                      Address(NotifyContext), Address(Event));
}
EFI_STATUS EFIAPI InstallProtocolInterfaceService(EFI_HANDLE* Handle, EFI_GUID* Protocol,
                                                  EFI_INTERFACE_TYPE InterfaceType,
                                                  VOID* Interface) {
  return ActiveFirmware().InstallProtocolInterface(Address(Handle), Address(Protocol),
                                                   InterfaceType, Address(Interface));
}
EFI_STATUS EFIAPI InstallConfigurationTableService(EFI_GUID* Guid, VOID* Table) {
  return ActiveFirmware().InstallConfigurationTable(Address(Guid), Address(Table));
}
EFI_STATUS EFIAPI LocateProtocolService(EFI_GUID* Protocol, VOID* Registration, VOID** Interface) {
  return ActiveFirmware().LocateProtocol(Address(Protocol), Address(Registration),
                                         Address(Interface));
}
VOID EFIAPI CopyMemService(VOID* Destination, VOID* Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}
VOID EFIAPI SetMemService(VOID* Buffer, UINTN Size, UINT8 Value) {
  std::memset(Buffer, Value, Size);
}
EFI_STATUS EFIAPI PcdSetPtrService(UINTN TokenNumber, UINTN* SizeOfBuffer, VOID* Buffer) {
  return ActiveFirmware().PcdSetPtr(TokenNumber, Address(SizeOfBuffer), Address(Buffer));
}

// A member's name as a template argument, so that each unsupported member gets a function of
// its own signature that traces its name.
template <size_t N>
struct MemberName {
  constexpr MemberName(const char (&Name)[N]) { std::copy_n(Name, N, Text); }
  char Text[N];
};

template <ServiceAction Does, typename R>
R UnsupportedResult() {
  if constexpr (Does == ServiceAction::RaiseTpl) {
    return TPL_APPLICATION;
  } else if constexpr (Does == ServiceAction::Unsupported) {
    return EFI_UNSUPPORTED;
  } else if constexpr (!std::is_void_v<R>) {
    return R{};
  }
}

template <ServiceAction Does, MemberName Name, typename R, typename... A>
R EFIAPI UnsupportedMember(A...) {
  ActiveFirmware().Unsupported(Name.Text);
  return UnsupportedResult<Does, R>();
}

template <ServiceAction Does, MemberName Name, typename R, typename... A>
R EFIAPI UnsupportedVariadicMember(A..., ...) {
  ActiveFirmware().Unsupported(Name.Text);
  return UnsupportedResult<Does, R>();
}

// Fills one slot of a table as the list in FirmwareServices.h says.
template <ServiceAction Does, MemberName Name, typename R, typename... A>
void Bind(R(EFIAPI*& Slot)(A...)) {
  if constexpr (Does == ServiceAction::AllocatePool) {
    Slot = AllocatePoolService;
  } else if constexpr (Does == ServiceAction::FreePool) {
    Slot = FreePoolService;
  } else if constexpr (Does == ServiceAction::CreateEvent) {
    Slot = CreateEventService;
  } else if constexpr (Does == ServiceAction::InstallProtocolInterface) {
    Slot = InstallProtocolInterfaceService;
  } else if constexpr (Does == ServiceAction::InstallConfigurationTable) {
    Slot = InstallConfigurationTableService;
  } else if constexpr (Does == ServiceAction::LocateProtocol) {
    Slot = LocateProtocolService;
  } else if constexpr (Does == ServiceAction::CopyMem) {
    Slot = CopyMemService;
  } else if constexpr (Does == ServiceAction::SetMem) {
    Slot = SetMemService;
  } else if constexpr (Does == ServiceAction::PcdSetPtr) {
    Slot = PcdSetPtrService;
  } else {
    Slot = UnsupportedMember<Does, Name, R, A...>;
  }
}

template <ServiceAction Does, MemberName Name, typename R, typename... A>
void Bind(R(EFIAPI*& Slot)(A..., ...)) {
  static_assert(Does == ServiceAction::Unsupported);
  Slot = UnsupportedVariadicMember<Does, Name, R, A...>;
}

template <ServiceAction Does, MemberName Name>
void Bind(VOID*& Slot) {
  static_assert(Does == ServiceAction::None);
  Slot = nullptr;
}

// A copy of the image file per load: the dynamic loader maps a path once per process, and every
// dispatch must get fresh globals, as a newly loaded image does.
void* LoadFreshCopy(const std::string& Path) {
  static std::atomic<unsigned> Serial{0};
  const std::string Copy =
      (std::filesystem::temp_directory_path() /
       ("dxesim-" + std::to_string(getpid()) + "-" + std::to_string(Serial++) + ".so"))
          .string();
  std::error_code Error;
  if (!std::filesystem::copy_file(Path, Copy, std::filesystem::copy_options::overwrite_existing,
                                  Error)) {
    throw std::runtime_error("cannot copy image " + Path + ": " + Error.message());
  }
  void* Library = dlopen(Copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::filesystem::remove(Copy, Error);
  if (Library == nullptr) {
    throw std::runtime_error("cannot load image " + Path + ": " + dlerror());
  }
  return Library;
}

struct EntryCall {
  EFI_STATUS(EFIAPI* Entry)(EFI_HANDLE, EFI_SYSTEM_TABLE*);
  EFI_HANDLE Handle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_STATUS Status;
};

struct FunctionCall {
  uint64_t Function;
  CallShape Shape;
  const uint64_t* Arguments;
  uint64_t Result;
};

void CallImage(void* Context) {
  auto& Call = *static_cast<FunctionCall*>(Context);
  const uint64_t* A = Call.Arguments;
  switch (Call.Shape) {
  case CallShape::Notify:
    reinterpret_cast<EFI_EVENT_NOTIFY>(Call.Function)(reinterpret_cast<EFI_EVENT>(A[0]),
                                                      reinterpret_cast<VOID*>(A[1]));
    Call.Result = 0;
    break;
  case CallShape::StartIsp:
    Call.Result = reinterpret_cast<EFI_STATUS(EFIAPI*)(UINT64, UINT64, UINT32, UINT32)>(
        Call.Function)(A[0], A[1], static_cast<UINT32>(A[2]), static_cast<UINT32>(A[3]));
    break;
  case CallShape::SetIspStatus:
    Call.Result = reinterpret_cast<EFI_STATUS(EFIAPI*)(UINT32, UINT32)>(Call.Function)(
        static_cast<UINT32>(A[0]), static_cast<UINT32>(A[1]));
    break;
  case CallShape::NoArguments:
    Call.Result = reinterpret_cast<EFI_STATUS(EFIAPI*)()>(Call.Function)();
    break;
  }
}

} // namespace

void CheckHostImage(const std::string& Path) {
  const FileContents File = ReadUserFile(Path, MAX_HOST_IMAGE_BYTES);
  if (File.Problem != ReadProblem::None) {
    throw ImageError("cannot load image " + Path + ": " +
                     (File.Problem == ReadProblem::TooLarge ? "it is larger than 64 MiB"
                      : File.Problem == ReadProblem::Folder ? "it is a folder"
                                                            : File.Reason));
  }
  const std::string& Bytes = File.Bytes;
  const uint64_t Size = Bytes.size();
  Elf64_Ehdr Header{};
  if (Size < sizeof(Header) || std::memcmp(Bytes.data(), ELFMAG, SELFMAG) != 0 ||
      Bytes[EI_CLASS] != ELFCLASS64 || Bytes[EI_DATA] != ELFDATA2LSB) {
    throw ImageError("image " + Path + " is not a 64-bit little-endian ELF file");
  }
  std::memcpy(&Header, Bytes.data(), sizeof(Header));
  if (Header.e_type != ET_DYN || Header.e_machine != HOST_MACHINE) {
    throw ImageError("image " + Path + " is not a shared object for this machine");
  }
  // dlopen maps each loadable segment from the file as its program header gives it: a segment
  // that reaches past the end of the file maps all the same and faults when first touched, and a
  // file cut short after its segments loads without its symbols and section headers.
  uint64_t Needed = 0;
  bool PastTheSpace = false;
  const auto Need = [&](uint64_t Offset, uint64_t Length) {
    PastTheSpace |= Length > UINT64_MAX - Offset;
    Needed = PastTheSpace ? Needed : std::max(Needed, Offset + Length);
  };
  Need(Header.e_phoff, uint64_t{Header.e_phnum} * sizeof(Elf64_Phdr));
  if (Header.e_phentsize != sizeof(Elf64_Phdr) || PastTheSpace || Needed > Size) {
    throw ImageError("image " + Path + " is truncated: its program headers lie beyond the " +
                     std::to_string(Size) + " bytes of the file");
  }
  for (uint16_t I = 0; I < Header.e_phnum; ++I) {
    Elf64_Phdr Segment{};
    std::memcpy(&Segment, Bytes.data() + Header.e_phoff + I * sizeof(Elf64_Phdr), sizeof(Segment));
    if (Segment.p_type == PT_LOAD) {
      Need(Segment.p_offset, Segment.p_filesz);
    }
  }
  Need(Header.e_shoff, uint64_t{Header.e_shnum} * Header.e_shentsize);
  if (PastTheSpace) {
    throw ImageError("image " + Path + " is corrupt: its ELF headers reach past 2^64 bytes");
  }
  if (Needed > Size) {
    throw ImageError("image " + Path + " is truncated: it holds " + std::to_string(Size) +
                     " of the " + std::to_string(Needed) + " bytes its ELF headers describe");
  }
}

std::string DefaultImageDirectory() {
  if (const char* Directory = std::getenv("DXESIM_IMAGE_DIR")) {
    return Directory;
  }
  std::error_code Error;
  const std::filesystem::path Executable = std::filesystem::read_symlink("/proc/self/exe", Error);
  return (Executable.parent_path() / "images").string();
}

NativeEngine& NativeEngine::Active() {
  if (LiveEngines().empty()) {
    std::fprintf(stderr, "dxesim: a firmware service was called with no engine\n");
    std::abort();
  }
  return *LiveEngines().back();
}

NativeEngine::NativeEngine(Machine& Machine_, std::string Directory)
    : M(Machine_), ImageDirectory(std::move(Directory)), Firmware_(Machine_, *this) {
  LiveEngines().push_back(this);
  BuildBootServices();
  BuildPcdProtocol();
  SystemTable_.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable_.Hdr.Revision = (2 << 16) | 70;
  SystemTable_.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  SystemTable_.FirmwareVendor = const_cast<CHAR16*>(u"dxesim");
  SystemTable_.BootServices = &BootServices_;
  Firmware_.SetFailures(M.Profile().Fail);
  if (M.Profile().Pcd) {
    Firmware_.InstallPcdProtocol(Address(&Pcd_));
  }
}

NativeEngine::~NativeEngine() {
  for (const auto& [Block, Info] : Firmware_.Pool()) {
    std::free(reinterpret_cast<void*>(Block));
  }
  for (void* Library : Libraries) {
    dlclose(Library);
  }
  std::erase(LiveEngines(), this);
}

void NativeEngine::BuildBootServices() {
  EFI_BOOT_SERVICES& B = BootServices_;
  B.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  B.Hdr.Revision = (2 << 16) | 70;
  B.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
#define DXESIM_NATIVE_BOOT_SERVICE(Member, Action) Bind<ServiceAction::Action, #Member>(B.Member);
  DXESIM_BOOT_SERVICES(DXESIM_NATIVE_BOOT_SERVICE)
#undef DXESIM_NATIVE_BOOT_SERVICE
}

void NativeEngine::BuildPcdProtocol() {
  PCD_PROTOCOL& P = Pcd_;
#define DXESIM_NATIVE_PCD_MEMBER(Member, Action)                                                   \
  Bind<ServiceAction::Action, "Pcd." #Member>(P.Member);
  DXESIM_PCD_MEMBERS(DXESIM_NATIVE_PCD_MEMBER)
#undef DXESIM_NATIVE_PCD_MEMBER
}

void NativeEngine::Read(uint64_t Address_, void* Buffer, size_t Length) {
  std::memcpy(Buffer, reinterpret_cast<const void*>(Address_), Length);
}

void NativeEngine::Write(uint64_t Address_, const void* Buffer, size_t Length) {
  std::memcpy(reinterpret_cast<void*>(Address_), Buffer, Length);
}

// Pool contents are undefined on real firmware: fill them so that nothing relies on zeros.
uint64_t NativeEngine::AllocatePool(size_t Length) {
  void* Block = std::malloc(Length == 0 ? 1 : Length);
  if (Block != nullptr) {
    std::memset(Block, 0xAF, Length);
  }
  return Address(Block);
}

void NativeEngine::FreePool(uint64_t Block) {
  std::free(reinterpret_cast<void*>(Block));
}

void NativeEngine::PublishConfigurationTables() {
  TableArray.clear();
  for (const ConfigurationTable& T : Firmware_.ConfigurationTables()) {
    TableArray.push_back({T.Guid, reinterpret_cast<VOID*>(T.Table)});
  }
  SystemTable_.NumberOfTableEntries = TableArray.size();
  SystemTable_.ConfigurationTable = TableArray.empty() ? nullptr : TableArray.data();
}

std::string NativeEngine::ImageFile(const std::string& Name) const {
  return ImageDirectory + "/" + Name + ".so";
}

void NativeEngine::PrepareDriver(const std::string& Name) {
  CheckHostImage(ImageFile(Name));
}

bool NativeEngine::RunDriver(const std::string& Name, uint64_t& Status) {
  const std::string Path = ImageFile(Name);
  void* Library = LoadFreshCopy(Path);
  Libraries.push_back(Library);
  void* Entry = dlsym(Library, "_ModuleEntryPoint");
  if (Entry == nullptr) {
    throw std::runtime_error("image " + Path + " has no entry point _ModuleEntryPoint");
  }
  EntryCall Call{reinterpret_cast<EFI_STATUS(EFIAPI*)(EFI_HANDLE, EFI_SYSTEM_TABLE*)>(Entry),
                 reinterpret_cast<EFI_HANDLE>(Firmware_.NewImageHandle()), &SystemTable_, 0};
  M.SetRunningImage(Name);
  const bool Completed = M.RunGuarded(
      [](void* Context) {
        auto& C = *static_cast<EntryCall*>(Context);
        C.Status = C.Entry(C.Handle, C.SystemTable);
      },
      &Call);
  Status = Call.Status;
  return Completed;
}

bool NativeEngine::CallFunction(uint64_t Function, CallShape Shape, const uint64_t* Arguments,
                                uint64_t& Result) {
  FunctionCall Call{Function, Shape, Arguments, 0};
  const bool Completed = M.RunGuarded(CallImage, &Call);
  Result = Call.Result;
  return Completed;
}

} // namespace sim
