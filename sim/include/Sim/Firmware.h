// The simulated UEFI firmware: the boot services the drivers call and the dynamic PCD service,
// with real semantics (tracked pool, configuration tables, events, a protocol database, a PCD
// token database) and optional injected failures. It works on addresses as the running image sees
// them; the engine supplies the memory behind them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <Uefi.h>

namespace sim {

class Machine;

// Memory as the images see it, and the firmware objects that live in it.
class ImageMemory {
public:
  virtual ~ImageMemory() = default;
  virtual void Read(uint64_t Address, void* Buffer, size_t Length) = 0;
  virtual void Write(uint64_t Address, const void* Buffer, size_t Length) = 0;
  // A block of Length bytes, or 0 when the memory cannot provide it.
  virtual uint64_t AllocatePool(size_t Length) = 0;
  virtual void FreePool(uint64_t Address) = 0;
  // The system table's view of the configuration tables changed.
  virtual void PublishConfigurationTables() = 0;
  // Whether a service called by the running image may read (Write false) or write Length bytes
  // at Address. When it may not, the engine stops the run after the service, naming the service
  // and the pointer; the service then does nothing and is not traced.
  virtual bool Reaches(const char* /*Service*/, uint64_t /*Address*/, uint64_t /*Length*/,
                       bool /*Write*/) {
    return true;
  }
};

struct PoolBlock {
  uint64_t Size;
  uint32_t Type;
  std::string Owner; // image that allocated it
};

struct ConfigurationTable {
  EFI_GUID Guid;
  uint64_t Table;
  std::string Owner;
};

struct FirmwareEvent {
  uint64_t Handle;
  uint32_t Type;
  uint64_t Tpl;
  uint64_t NotifyFunction;
  uint64_t NotifyContext;
  std::string Owner;
  bool Signalled = false;
};

struct ProtocolInstance {
  uint64_t Handle;
  EFI_GUID Guid;
  uint64_t Interface;
  std::string Owner;
};

struct PcdToken {
  uint64_t MaxSize;
  std::vector<uint8_t> Value;
};

constexpr uint64_t PCD_PXE_VENDOR_CLASS_TOKEN = 2;
constexpr uint64_t PCD_PXE_VENDOR_CLASS_MAX_SIZE = 64;
// The pool holds this much over a run, freed blocks included (the emulation engine never hands
// a freed block out again); a request beyond it is EFI_OUT_OF_RESOURCES on both engines.
constexpr uint64_t POOL_CAPACITY = 16ULL << 20;
constexpr uint64_t POOL_ALIGNMENT = 16;
// The firmware's own handle, which carries the PCD protocol.
constexpr uint64_t FIRMWARE_HANDLE = 0xF1000;

class Firmware {
public:
  Firmware(Machine& Owner, ImageMemory& Memory);

  void SetFailures(const std::map<std::string, uint64_t>& Failures);
  // Installs the PCD protocol interface at PcdInterface (an address the engine provides).
  void InstallPcdProtocol(uint64_t PcdInterface);
  uint64_t NewImageHandle();

  // Boot services, with image addresses for every pointer argument.
  EFI_STATUS AllocatePool(uint32_t PoolType, uint64_t Size, uint64_t BufferOut);
  EFI_STATUS FreePool(uint64_t Buffer);
  EFI_STATUS CreateEvent(uint32_t Type, uint64_t NotifyTpl, uint64_t NotifyFunction,
                         uint64_t NotifyContext, uint64_t EventOut);
  EFI_STATUS InstallProtocolInterface(uint64_t HandleInOut, uint64_t ProtocolGuid,
                                      uint32_t InterfaceType, uint64_t Interface);
  EFI_STATUS InstallConfigurationTable(uint64_t Guid, uint64_t Table);
  EFI_STATUS LocateProtocol(uint64_t ProtocolGuid, uint64_t Registration, uint64_t InterfaceOut);
  // A service that the drivers have no business calling.
  EFI_STATUS Unsupported(const char* Service);

  // The PCD service.
  EFI_STATUS PcdSetPtr(uint64_t TokenNumber, uint64_t SizeInOut, uint64_t Buffer);

  // Host-side lookup (no image memory involved), traced as a service call.
  bool FindProtocol(const EFI_GUID& Guid, uint64_t& Interface, std::string* Owner = nullptr);

  const std::map<uint64_t, PoolBlock>& Pool() const { return PoolBlocks; }
  const std::vector<ConfigurationTable>& ConfigurationTables() const { return Tables; }
  std::vector<FirmwareEvent>& Events() { return EventList; }
  const std::vector<FirmwareEvent>& Events() const { return EventList; }
  const std::vector<ProtocolInstance>& Protocols() const { return ProtocolList; }
  const std::map<uint64_t, PcdToken>& PcdDatabase() const { return PcdTokens; }
  // Pool frees of blocks that were never allocated: a driver bug worth reporting.
  const std::vector<uint64_t>& BadFrees() const { return BadFreeList; }

private:
  bool Failing(const char* Service, EFI_STATUS& Status) const;
  // The argument at Address (zeros for a null pointer); false when the caller may not hand it
  // over.
  bool ReadArgument(const char* Service, uint64_t Address, void* Value, size_t Length);
  bool ReadGuid(const char* Service, uint64_t Address, EFI_GUID& Guid);
  void Trace(const std::string& Text, EFI_STATUS Status);

  Machine& Owner;
  ImageMemory& Memory;
  std::map<std::string, uint64_t> Failures;
  std::map<uint64_t, PoolBlock> PoolBlocks;
  std::vector<ConfigurationTable> Tables;
  std::vector<FirmwareEvent> EventList;
  std::vector<ProtocolInstance> ProtocolList;
  std::map<uint64_t, PcdToken> PcdTokens;
  std::vector<uint64_t> BadFreeList;
  uint64_t PoolHandedOut = 0;
  uint64_t NextImageHandle = 0x1000;
  uint64_t NextHandle = 0xA000;
  uint64_t NextEvent = 0xE000;
};

// The objects the drivers left with the firmware (protocols, configuration tables, events, pool
// blocks, PCD values), one per line, for people reading a run.
std::string FormatFirmwareObjects(const Firmware& Fw);
// A name for the GUIDs this system knows ("ImagerLaunchProtocol"...), else nullptr.
const char* KnownGuidName(const EFI_GUID& Guid);

} // namespace sim
