#include <Sim/Firmware.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include <Protocol/Pcd.h>
#include <Sim/Machine.h>
#include <Sim/Status.h>

namespace sim {

namespace {

constexpr const char* FAILABLE_SERVICES[] = {"AllocatePool",
                                             "FreePool",
                                             "InstallConfigurationTable",
                                             "CreateEvent",
                                             "InstallProtocolInterface",
                                             "LocateProtocol",
                                             "SetPtr"};

const EFI_GUID PCD_PROTOCOL_GUID_VALUE = PCD_PROTOCOL_GUID;

bool SameGuid(const EFI_GUID& A, const EFI_GUID& B) {
  return std::memcmp(&A, &B, sizeof(A)) == 0;
}

std::string HexBytes(const std::vector<uint8_t>& Bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string Text;
  for (uint8_t Byte : Bytes) {
    Text += DIGITS[Byte >> 4];
    Text += DIGITS[Byte & 15];
  }
  return Text;
}

} // namespace

std::string FailableServiceList() {
  std::string List;
  const size_t Count = std::size(FAILABLE_SERVICES);
  for (size_t I = 0; I < Count; ++I) {
    List += I == 0 ? "" : I + 1 == Count ? " or " : ", ";
    List += FAILABLE_SERVICES[I];
  }
  return List;
}

bool IsFailableService(const std::string& Name) {
  for (const char* Service : FAILABLE_SERVICES) {
    if (Name == Service) {
      return true;
    }
  }
  return false;
}

Firmware::Firmware(Machine& Owner, ImageMemory& Memory) : Owner(Owner), Memory(Memory) {
  PcdTokens[PCD_PXE_VENDOR_CLASS_TOKEN] = PcdToken{PCD_PXE_VENDOR_CLASS_MAX_SIZE, {}};
}

void Firmware::SetFailures(const std::map<std::string, uint64_t>& NewFailures) {
  Failures = NewFailures;
}

void Firmware::InstallPcdProtocol(uint64_t PcdInterface) {
  ProtocolList.push_back({FIRMWARE_HANDLE, PCD_PROTOCOL_GUID_VALUE, PcdInterface, "firmware"});
}

uint64_t Firmware::NewImageHandle() {
  const uint64_t Handle = NextImageHandle;
  NextImageHandle += 0x1000;
  return Handle;
}

bool Firmware::Failing(const char* Service, EFI_STATUS& Status) const {
  const auto Found = Failures.find(Service);
  if (Found == Failures.end()) {
    return false;
  }
  Status = Found->second;
  return true;
}

bool Firmware::ReadArgument(const char* Service, uint64_t Address, void* Value, size_t Length) {
  std::memset(Value, 0, Length);
  if (Address == 0) {
    return true;
  }
  if (!Memory.Reaches(Service, Address, Length, false)) {
    return false;
  }
  Memory.Read(Address, Value, Length);
  return true;
}

bool Firmware::ReadGuid(const char* Service, uint64_t Address, EFI_GUID& Guid) {
  return ReadArgument(Service, Address, &Guid, sizeof(Guid));
}

void Firmware::Trace(const std::string& Text, EFI_STATUS Status) {
  Owner.Record({EventKind::Service, 0, Status, Text});
}

// A refused pointer stops the run once the service returns: the call has no effect and no trace
// line, and its status is never seen by the image.
EFI_STATUS Firmware::AllocatePool(uint32_t PoolType, uint64_t Size, uint64_t BufferOut) {
  const std::string Text = "AllocatePool " + std::to_string(PoolType) + " " + std::to_string(Size);
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing("AllocatePool", Status)) {
    if (BufferOut == 0 || PoolType >= EfiMaxMemoryType || PoolType == EfiConventionalMemory) {
      Status = EFI_INVALID_PARAMETER;
    } else if (!Memory.Reaches("AllocatePool", BufferOut, sizeof(uint64_t), true)) {
      return EFI_INVALID_PARAMETER;
    } else {
      const uint64_t Footprint = Size > POOL_CAPACITY
                                     ? POOL_CAPACITY + 1
                                     : (std::max<uint64_t>(Size, 1) + POOL_ALIGNMENT - 1) /
                                           POOL_ALIGNMENT * POOL_ALIGNMENT;
      const uint64_t Block =
          Footprint <= POOL_CAPACITY - PoolHandedOut ? Memory.AllocatePool(Size) : 0;
      if (Block == 0) {
        Status = EFI_OUT_OF_RESOURCES;
      } else {
        PoolHandedOut += Footprint;
        PoolBlocks[Block] = PoolBlock{Size, PoolType, Owner.RunningImageName()};
        Memory.Write(BufferOut, &Block, sizeof(Block));
      }
    }
  }
  Trace(Text, Status);
  return Status;
}

EFI_STATUS Firmware::FreePool(uint64_t Buffer) {
  EFI_STATUS Status = EFI_SUCCESS;
  std::string Text = "FreePool";
  if (!Failing("FreePool", Status)) {
    const auto Found = PoolBlocks.find(Buffer);
    if (Found == PoolBlocks.end()) {
      BadFreeList.push_back(Buffer);
      Status = EFI_INVALID_PARAMETER;
    } else {
      Text += " " + std::to_string(Found->second.Size);
      PoolBlocks.erase(Found);
      Memory.FreePool(Buffer);
    }
  }
  Trace(Text, Status);
  return Status;
}

EFI_STATUS Firmware::CreateEvent(uint32_t Type, uint64_t NotifyTpl, uint64_t NotifyFunction,
                                 uint64_t NotifyContext, uint64_t EventOut) {
  const std::string Text = "CreateEvent " + Hex(Type) + " " + std::to_string(NotifyTpl);
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing("CreateEvent", Status)) {
    const bool Notifies = (Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0;
    if (EventOut == 0 || (Notifies && NotifyFunction == 0) ||
        (Notifies && (NotifyTpl <= TPL_APPLICATION || NotifyTpl > TPL_HIGH_LEVEL))) {
      Status = EFI_INVALID_PARAMETER;
    } else if (!Memory.Reaches("CreateEvent", EventOut, sizeof(uint64_t), true)) {
      return EFI_INVALID_PARAMETER;
    } else {
      const uint64_t Handle = NextEvent++;
      EventList.push_back(FirmwareEvent{Handle, Type, NotifyTpl, NotifyFunction, NotifyContext,
                                        Owner.RunningImageName(), false});
      Memory.Write(EventOut, &Handle, sizeof(Handle));
    }
  }
  Trace(Text, Status);
  return Status;
}

EFI_STATUS Firmware::InstallProtocolInterface(uint64_t HandleInOut, uint64_t ProtocolGuid,
                                              uint32_t InterfaceType, uint64_t Interface) {
  static const char* const SERVICE = "InstallProtocolInterface";
  uint64_t Handle = 0;
  if (!ReadArgument(SERVICE, HandleInOut, &Handle, sizeof(Handle))) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_GUID Guid;
  if (!ReadGuid(SERVICE, ProtocolGuid, Guid)) {
    return EFI_INVALID_PARAMETER;
  }
  const std::string Text = "InstallProtocolInterface " + Hex(Handle) + " " + FormatGuid(Guid) +
                           " " + std::to_string(InterfaceType);
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing(SERVICE, Status)) {
    if (HandleInOut == 0 || ProtocolGuid == 0 || InterfaceType != EFI_NATIVE_INTERFACE) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      for (const ProtocolInstance& P : ProtocolList) {
        if (Handle != 0 && P.Handle == Handle && SameGuid(P.Guid, Guid)) {
          Status = EFI_INVALID_PARAMETER;
        }
      }
      if (Status == EFI_SUCCESS) {
        if (Handle == 0) {
          if (!Memory.Reaches(SERVICE, HandleInOut, sizeof(Handle), true)) {
            return EFI_INVALID_PARAMETER;
          }
          Handle = NextHandle;
          NextHandle += 0x10;
          Memory.Write(HandleInOut, &Handle, sizeof(Handle));
        }
        ProtocolList.push_back({Handle, Guid, Interface, Owner.RunningImageName()});
      }
    }
  }
  Trace(Text, Status);
  return Status;
}

EFI_STATUS Firmware::InstallConfigurationTable(uint64_t GuidAddress, uint64_t Table) {
  EFI_GUID Guid;
  if (!ReadGuid("InstallConfigurationTable", GuidAddress, Guid)) {
    return EFI_INVALID_PARAMETER;
  }
  const std::string Text =
      "InstallConfigurationTable " + FormatGuid(Guid) + (Table == 0 ? " null" : "");
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing("InstallConfigurationTable", Status)) {
    if (GuidAddress == 0) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      auto Found = Tables.begin();
      while (Found != Tables.end() && !SameGuid(Found->Guid, Guid)) {
        ++Found;
      }
      if (Table == 0) {
        if (Found == Tables.end()) {
          Status = EFI_NOT_FOUND;
        } else {
          Tables.erase(Found);
        }
      } else if (Found != Tables.end()) {
        Found->Table = Table;
        Found->Owner = Owner.RunningImageName();
      } else {
        Tables.push_back({Guid, Table, Owner.RunningImageName()});
      }
      if (Status == EFI_SUCCESS) {
        Memory.PublishConfigurationTables();
      }
    }
  }
  Trace(Text, Status);
  return Status;
}

EFI_STATUS Firmware::LocateProtocol(uint64_t ProtocolGuid, uint64_t /*Registration*/,
                                    uint64_t InterfaceOut) {
  EFI_GUID Guid;
  if (!ReadGuid("LocateProtocol", ProtocolGuid, Guid)) {
    return EFI_INVALID_PARAMETER;
  }
  const std::string Text = "LocateProtocol " + FormatGuid(Guid);
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing("LocateProtocol", Status)) {
    uint64_t Interface = 0;
    if (ProtocolGuid == 0 || InterfaceOut == 0) {
      Status = EFI_INVALID_PARAMETER;
    } else if (!Memory.Reaches("LocateProtocol", InterfaceOut, sizeof(Interface), true)) {
      return EFI_INVALID_PARAMETER;
    } else {
      Status = EFI_NOT_FOUND;
      for (const ProtocolInstance& P : ProtocolList) {
        if (SameGuid(P.Guid, Guid)) {
          Interface = P.Interface;
          Status = EFI_SUCCESS;
          break;
        }
      }
      Memory.Write(InterfaceOut, &Interface, sizeof(Interface));
    }
  }
  Trace(Text, Status);
  return Status;
}

bool Firmware::FindProtocol(const EFI_GUID& Guid, uint64_t& Interface, std::string* ImageOwner) {
  for (const ProtocolInstance& P : ProtocolList) {
    if (SameGuid(P.Guid, Guid)) {
      Interface = P.Interface;
      if (ImageOwner != nullptr) {
        *ImageOwner = P.Owner;
      }
      Trace("LocateProtocol " + FormatGuid(Guid), EFI_SUCCESS);
      return true;
    }
  }
  Trace("LocateProtocol " + FormatGuid(Guid), EFI_NOT_FOUND);
  return false;
}

EFI_STATUS Firmware::Unsupported(const char* Service) {
  Trace(Service, EFI_UNSUPPORTED);
  return EFI_UNSUPPORTED;
}

// A pointer-typed token takes at most its declared size: a larger buffer is refused and the
// caller learns the maximum through the size.
EFI_STATUS Firmware::PcdSetPtr(uint64_t TokenNumber, uint64_t SizeInOut, uint64_t Buffer) {
  static const char* const SERVICE = "Pcd.SetPtr";
  uint64_t Size = 0;
  if (!ReadArgument(SERVICE, SizeInOut, &Size, sizeof(Size))) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<uint8_t> Bytes;
  if (Buffer != 0 && Size <= 4096) {
    if (!Memory.Reaches(SERVICE, Buffer, Size, false)) {
      return EFI_INVALID_PARAMETER;
    }
    Bytes.resize(Size);
    Memory.Read(Buffer, Bytes.data(), Bytes.size());
  }
  const std::string Text =
      "SetPtr " + std::to_string(TokenNumber) + " " + std::to_string(Size) + " " + HexBytes(Bytes);
  EFI_STATUS Status = EFI_SUCCESS;
  if (!Failing("SetPtr", Status)) {
    const auto Found = PcdTokens.find(TokenNumber);
    if (Found == PcdTokens.end()) {
      Status = EFI_NOT_FOUND;
    } else if (SizeInOut == 0 || (Buffer == 0 && Size != 0)) {
      Status = EFI_INVALID_PARAMETER;
    } else if (Size > Found->second.MaxSize) {
      if (!Memory.Reaches(SERVICE, SizeInOut, sizeof(Size), true)) {
        return EFI_INVALID_PARAMETER;
      }
      const uint64_t MaxSize = Found->second.MaxSize;
      Memory.Write(SizeInOut, &MaxSize, sizeof(MaxSize));
      Status = EFI_INVALID_PARAMETER;
    } else {
      Found->second.Value = Bytes;
    }
  }
  Trace(Text, Status);
  return Status;
}

} // namespace sim
