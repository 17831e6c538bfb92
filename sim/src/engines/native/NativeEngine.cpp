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
EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesService(EFI_HANDLE*, ...) {
  return ActiveFirmware().Unsupported("InstallMultipleProtocolInterfaces");
}
EFI_STATUS EFIAPI UninstallMultipleProtocolInterfacesService(EFI_HANDLE, ...) {
  return ActiveFirmware().Unsupported("UninstallMultipleProtocolInterfaces");
}
EFI_STATUS EFIAPI PcdSetPtrService(UINTN TokenNumber, UINTN* SizeOfBuffer, VOID* Buffer) {
  return ActiveFirmware().PcdSetPtr(TokenNumber, Address(SizeOfBuffer), Address(Buffer));
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
  B.RaiseTPL = [](EFI_TPL) -> EFI_TPL {
    ActiveFirmware().Unsupported("RaiseTPL");
    return TPL_APPLICATION;
  };
  B.RestoreTPL = [](EFI_TPL) { ActiveFirmware().Unsupported("RestoreTPL"); };
#define DXESIM_UNSUPPORTED(Member)                                                                 \
  B.Member = [](auto...) -> EFI_STATUS { return ActiveFirmware().Unsupported(#Member); }
  DXESIM_UNSUPPORTED(AllocatePages);
  DXESIM_UNSUPPORTED(FreePages);
  DXESIM_UNSUPPORTED(GetMemoryMap);
  B.AllocatePool = AllocatePoolService;
  B.FreePool = FreePoolService;
  B.CreateEvent = CreateEventService;
  DXESIM_UNSUPPORTED(SetTimer);
  DXESIM_UNSUPPORTED(WaitForEvent);
  DXESIM_UNSUPPORTED(SignalEvent);
  DXESIM_UNSUPPORTED(CloseEvent);
  DXESIM_UNSUPPORTED(CheckEvent);
  B.InstallProtocolInterface = InstallProtocolInterfaceService;
  DXESIM_UNSUPPORTED(ReinstallProtocolInterface);
  DXESIM_UNSUPPORTED(UninstallProtocolInterface);
  DXESIM_UNSUPPORTED(HandleProtocol);
  DXESIM_UNSUPPORTED(RegisterProtocolNotify);
  DXESIM_UNSUPPORTED(LocateHandle);
  DXESIM_UNSUPPORTED(LocateDevicePath);
  B.InstallConfigurationTable = InstallConfigurationTableService;
  DXESIM_UNSUPPORTED(LoadImage);
  DXESIM_UNSUPPORTED(StartImage);
  DXESIM_UNSUPPORTED(Exit);
  DXESIM_UNSUPPORTED(UnloadImage);
  DXESIM_UNSUPPORTED(ExitBootServices);
  DXESIM_UNSUPPORTED(GetNextMonotonicCount);
  DXESIM_UNSUPPORTED(Stall);
  DXESIM_UNSUPPORTED(SetWatchdogTimer);
  DXESIM_UNSUPPORTED(ConnectController);
  DXESIM_UNSUPPORTED(DisconnectController);
  DXESIM_UNSUPPORTED(OpenProtocol);
  DXESIM_UNSUPPORTED(CloseProtocol);
  DXESIM_UNSUPPORTED(OpenProtocolInformation);
  DXESIM_UNSUPPORTED(ProtocolsPerHandle);
  DXESIM_UNSUPPORTED(LocateHandleBuffer);
  B.LocateProtocol = LocateProtocolService;
  B.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfacesService;
  B.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfacesService;
  DXESIM_UNSUPPORTED(CalculateCrc32);
  B.CopyMem = [](VOID* Destination, VOID* Source, UINTN Length) {
    std::memmove(Destination, Source, Length);
  };
  B.SetMem = [](VOID* Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); };
  DXESIM_UNSUPPORTED(CreateEventEx);
#undef DXESIM_UNSUPPORTED
}

void NativeEngine::BuildPcdProtocol() {
  PCD_PROTOCOL& P = Pcd_;
  P.SetSku = [](UINTN) { ActiveFirmware().Unsupported("Pcd.SetSku"); };
#define DXESIM_PCD_UNSUPPORTED(Member, Result)                                                     \
  P.Member = [](auto...) {                                                                         \
    ActiveFirmware().Unsupported("Pcd." #Member);                                                  \
    return Result;                                                                                 \
  }
  DXESIM_PCD_UNSUPPORTED(Get8, UINT8{0});
  DXESIM_PCD_UNSUPPORTED(Get16, UINT16{0});
  DXESIM_PCD_UNSUPPORTED(Get32, UINT32{0});
  DXESIM_PCD_UNSUPPORTED(Get64, UINT64{0});
  DXESIM_PCD_UNSUPPORTED(GetPtr, static_cast<VOID*>(nullptr));
  DXESIM_PCD_UNSUPPORTED(GetBool, BOOLEAN{0});
  DXESIM_PCD_UNSUPPORTED(GetSize, UINTN{0});
  DXESIM_PCD_UNSUPPORTED(Get8Ex, UINT8{0});
  DXESIM_PCD_UNSUPPORTED(Get16Ex, UINT16{0});
  DXESIM_PCD_UNSUPPORTED(Get32Ex, UINT32{0});
  DXESIM_PCD_UNSUPPORTED(Get64Ex, UINT64{0});
  DXESIM_PCD_UNSUPPORTED(GetPtrEx, static_cast<VOID*>(nullptr));
  DXESIM_PCD_UNSUPPORTED(GetBoolEx, BOOLEAN{0});
  DXESIM_PCD_UNSUPPORTED(GetSizeEx, UINTN{0});
  DXESIM_PCD_UNSUPPORTED(Set8, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set16, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set32, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set64, EFI_UNSUPPORTED);
  P.SetPtr = PcdSetPtrService;
  DXESIM_PCD_UNSUPPORTED(SetBool, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set8Ex, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set16Ex, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set32Ex, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(Set64Ex, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(SetPtrEx, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(SetBoolEx, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(CallbackOnSet, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(CancelCallback, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(GetNextToken, EFI_UNSUPPORTED);
  DXESIM_PCD_UNSUPPORTED(GetNextTokenSpace, EFI_UNSUPPORTED);
#undef DXESIM_PCD_UNSUPPORTED
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
  if (Block == nullptr) {
    throw std::bad_alloc();
  }
  std::memset(Block, 0xAF, Length);
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
