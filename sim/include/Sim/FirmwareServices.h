// The members of the boot-services table and of the PCD protocol, in table order, with what the
// simulated firmware does when each is called. Both engines build their tables from these lists
// (X-macros: each entry is X(Member, Action)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include <Protocol/Pcd.h>
#include <Uefi.h>

#define DXESIM_BOOT_SERVICES(X)                                                                    \
  X(RaiseTPL, RaiseTpl)                                                                            \
  X(RestoreTPL, UnsupportedVoid)                                                                   \
  X(AllocatePages, Unsupported)                                                                    \
  X(FreePages, Unsupported)                                                                        \
  X(GetMemoryMap, Unsupported)                                                                     \
  X(AllocatePool, AllocatePool)                                                                    \
  X(FreePool, FreePool)                                                                            \
  X(CreateEvent, CreateEvent)                                                                      \
  X(SetTimer, Unsupported)                                                                         \
  X(WaitForEvent, Unsupported)                                                                     \
  X(SignalEvent, Unsupported)                                                                      \
  X(CloseEvent, Unsupported)                                                                       \
  X(CheckEvent, Unsupported)                                                                       \
  X(InstallProtocolInterface, InstallProtocolInterface)                                            \
  X(ReinstallProtocolInterface, Unsupported)                                                       \
  X(UninstallProtocolInterface, Unsupported)                                                       \
  X(HandleProtocol, Unsupported)                                                                   \
  X(Reserved, None)                                                                                \
  X(RegisterProtocolNotify, Unsupported)                                                           \
  X(LocateHandle, Unsupported)                                                                     \
  X(LocateDevicePath, Unsupported)                                                                 \
  X(InstallConfigurationTable, InstallConfigurationTable)                                          \
  X(LoadImage, Unsupported)                                                                        \
  X(StartImage, Unsupported)                                                                       \
  X(Exit, Unsupported)                                                                             \
  X(UnloadImage, Unsupported)                                                                      \
  X(ExitBootServices, Unsupported)                                                                 \
  X(GetNextMonotonicCount, Unsupported)                                                            \
  X(Stall, Unsupported)                                                                            \
  X(SetWatchdogTimer, Unsupported)                                                                 \
  X(ConnectController, Unsupported)                                                                \
  X(DisconnectController, Unsupported)                                                             \
  X(OpenProtocol, Unsupported)                                                                     \
  X(CloseProtocol, Unsupported)                                                                    \
  X(OpenProtocolInformation, Unsupported)                                                          \
  X(ProtocolsPerHandle, Unsupported)                                                               \
  X(LocateHandleBuffer, Unsupported)                                                               \
  X(LocateProtocol, LocateProtocol)                                                                \
  X(InstallMultipleProtocolInterfaces, Unsupported)                                                \
  X(UninstallMultipleProtocolInterfaces, Unsupported)                                              \
  X(CalculateCrc32, Unsupported)                                                                   \
  X(CopyMem, CopyMem)                                                                              \
  X(SetMem, SetMem)                                                                                \
  X(CreateEventEx, Unsupported)

#define DXESIM_PCD_MEMBERS(X)                                                                      \
  X(SetSku, UnsupportedVoid)                                                                       \
  X(Get8, UnsupportedZero)                                                                         \
  X(Get16, UnsupportedZero)                                                                        \
  X(Get32, UnsupportedZero)                                                                        \
  X(Get64, UnsupportedZero)                                                                        \
  X(GetPtr, UnsupportedZero)                                                                       \
  X(GetBool, UnsupportedZero)                                                                      \
  X(GetSize, UnsupportedZero)                                                                      \
  X(Get8Ex, UnsupportedZero)                                                                       \
  X(Get16Ex, UnsupportedZero)                                                                      \
  X(Get32Ex, UnsupportedZero)                                                                      \
  X(Get64Ex, UnsupportedZero)                                                                      \
  X(GetPtrEx, UnsupportedZero)                                                                     \
  X(GetBoolEx, UnsupportedZero)                                                                    \
  X(GetSizeEx, UnsupportedZero)                                                                    \
  X(Set8, Unsupported)                                                                             \
  X(Set16, Unsupported)                                                                            \
  X(Set32, Unsupported)                                                                            \
  X(Set64, Unsupported)                                                                            \
  X(SetPtr, PcdSetPtr)                                                                             \
  X(SetBool, Unsupported)                                                                          \
  X(Set8Ex, Unsupported)                                                                           \
  X(Set16Ex, Unsupported)                                                                          \
  X(Set32Ex, Unsupported)                                                                          \
  X(Set64Ex, Unsupported)                                                                          \
  X(SetPtrEx, Unsupported)                                                                         \
  X(SetBoolEx, Unsupported)                                                                        \
  X(CallbackOnSet, Unsupported)                                                                    \
  X(CancelCallback, Unsupported)                                                                   \
  X(GetNextToken, Unsupported)                                                                     \
  X(GetNextTokenSpace, Unsupported)

namespace sim {

// What a firmware member does when called.
enum class ServiceAction {
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

struct ServiceMember {
  const char* Name; // as traced: "AllocatePool", "Pcd.SetPtr"
  size_t Offset;    // in its table
  ServiceAction Does;
};

#define DXESIM_BOOT_SERVICE_ENTRY(Member, Action)                                                  \
  ServiceMember{#Member, offsetof(EFI_BOOT_SERVICES, Member), ServiceAction::Action},
#define DXESIM_PCD_MEMBER_ENTRY(Member, Action)                                                    \
  ServiceMember{"Pcd." #Member, offsetof(PCD_PROTOCOL, Member), ServiceAction::Action},
inline constexpr ServiceMember BOOT_SERVICE_MEMBERS[] = {
    DXESIM_BOOT_SERVICES(DXESIM_BOOT_SERVICE_ENTRY)};
inline constexpr ServiceMember PCD_MEMBERS[] = {DXESIM_PCD_MEMBERS(DXESIM_PCD_MEMBER_ENTRY)};
#undef DXESIM_BOOT_SERVICE_ENTRY
#undef DXESIM_PCD_MEMBER_ENTRY

// Every slot of a table, one after the other: a member left out or out of order would shift
// the slots that a real firmware's callers use.
template <size_t N>
constexpr bool CoversEverySlot(const ServiceMember (&Members)[N], size_t First, size_t TableSize) {
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

} // namespace sim
