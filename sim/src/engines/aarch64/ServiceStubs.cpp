// The firmware as the image sees it: the system table, the boot-services table and the PCD
// protocol in emulated memory, each member a stub that traps to the host firmware, and the
// serving of a trapped call with its arguments and result per AAPCS64.
#include <cstring>
#include <vector>

#include <Sim/FirmwareServices.h>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

namespace {

constexpr uint64_t CONFIGURATION_TABLE_CAPACITY =
    (TABLE_SIZE - (CONFIGURATION_TABLE_ADDRESS - TABLE_BASE)) / sizeof(EFI_CONFIGURATION_TABLE);

// AAPCS64 lets a callee see anything in the caller-saved registers after a call; the engine
// puts junk there so that an image relying on them shows up.
constexpr uint64_t CLOBBER_PATTERN = 0xDEAD00000000C100ULL;

const ServiceMember& MemberAt(size_t Index) {
  constexpr size_t BOOT_SERVICE_COUNT = std::size(BOOT_SERVICE_MEMBERS);
  return Index < BOOT_SERVICE_COUNT ? BOOT_SERVICE_MEMBERS[Index]
                                    : PCD_MEMBERS[Index - BOOT_SERVICE_COUNT];
}

int XRegister(unsigned Index) {
  return Index <= 28 ? UC_ARM64_REG_X0 + static_cast<int>(Index) : UC_ARM64_REG_X29;
}

} // namespace

void Aarch64Engine::Impl::BuildFirmwareTables() {
  static const char16_t VENDOR[] = u"dxesim";
  std::memcpy(Tables + (VENDOR_ADDRESS - TABLE_BASE), VENDOR, sizeof(VENDOR));

  EFI_BOOT_SERVICES Services{};
  Services.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Services.Hdr.Revision = (2 << 16) | 70;
  Services.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  auto* ServiceSlots = reinterpret_cast<uint8_t*>(&Services);
  for (size_t I = 0; I < std::size(BOOT_SERVICE_MEMBERS); ++I) {
    const ServiceMember& Slot = BOOT_SERVICE_MEMBERS[I];
    const uint64_t Stub = Slot.Does == ServiceAction::None ? 0 : STUB_BASE + I * STUB_STRIDE;
    std::memcpy(ServiceSlots + Slot.Offset, &Stub, sizeof(Stub));
  }
  std::memcpy(Tables + (BOOT_SERVICES_ADDRESS - TABLE_BASE), &Services, sizeof(Services));

  for (size_t I = 0; I < std::size(PCD_MEMBERS); ++I) {
    const uint64_t Stub = STUB_BASE + (std::size(BOOT_SERVICE_MEMBERS) + I) * STUB_STRIDE;
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

void Aarch64Engine::Impl::ServeMember(size_t Index) {
  const ServiceMember& Called = MemberAt(Index);
  uint64_t X[8];
  for (size_t I = 0; I < 8; ++I) {
    X[I] = ReadRegister(UC_ARM64_REG_X0 + static_cast<int>(I));
  }
  Progress = true;
  Charge(SERVICE_CALL_COST);
  if (Halted) {
    return;
  }
  auto Low32 = [](uint64_t Value) { return static_cast<uint32_t>(Value); };
  uint64_t Result = 0;
  bool Returns = true;
  switch (Called.Does) {
  case ServiceAction::Unsupported:
    Result = Fw.Unsupported(Called.Name);
    break;
  case ServiceAction::UnsupportedVoid:
    Fw.Unsupported(Called.Name);
    Returns = false;
    break;
  case ServiceAction::UnsupportedZero:
    Fw.Unsupported(Called.Name);
    break;
  case ServiceAction::RaiseTpl:
    Fw.Unsupported(Called.Name);
    Result = TPL_APPLICATION;
    break;
  case ServiceAction::AllocatePool:
    Result = Fw.AllocatePool(Low32(X[0]), X[1], X[2]);
    break;
  case ServiceAction::FreePool:
    Result = Fw.FreePool(X[0]);
    break;
  case ServiceAction::CreateEvent:
    Result = Fw.CreateEvent(Low32(X[0]), X[1], X[2], X[3], X[4]);
    break;
  case ServiceAction::InstallProtocolInterface:
    Result = Fw.InstallProtocolInterface(X[0], X[1], Low32(X[2]), X[3]);
    break;
  case ServiceAction::InstallConfigurationTable:
    Result = Fw.InstallConfigurationTable(X[0], X[1]);
    break;
  case ServiceAction::LocateProtocol:
    Result = Fw.LocateProtocol(X[0], X[1], X[2]);
    break;
  case ServiceAction::CopyMem:
  case ServiceAction::SetMem: {
    // Both ranges must be the image's to use, which also bounds the length.
    const bool Copy = Called.Does == ServiceAction::CopyMem;
    const uint64_t Length = Copy ? X[2] : X[1];
    if (Reaches(Called.Name, X[0], Length, true) &&
        (!Copy || Reaches(Called.Name, X[1], Length, false))) {
      Charge(Length / 8);
      if (Halted) {
        return;
      }
      std::vector<uint8_t> Bytes(Length, static_cast<uint8_t>(X[2]));
      if (Copy) {
        Read(X[1], Bytes.data(), Bytes.size());
      }
      Write(X[0], Bytes.data(), Bytes.size());
    }
    Returns = false;
    break;
  }
  case ServiceAction::PcdSetPtr:
    Result = Fw.PcdSetPtr(X[0], X[1], X[2]);
    break;
  case ServiceAction::None:
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

} // namespace sim
