// UEFI base types, status codes and the system and boot-services tables, as the UEFI
// specification lays them out. Member order is binding: a real firmware is called through
// these slots, and the offsets are checked at the end of this file.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef unsigned char BOOLEAN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;

static_assert(sizeof(void*) == 8, "the drivers are 64-bit images");

// AArch64 UEFI uses the standard procedure-call standard; the host simulation calls the same way.
#define EFIAPI

typedef UINTN EFI_STATUS;
typedef UINTN RETURN_STATUS;
typedef VOID* EFI_HANDLE;
typedef VOID* EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
typedef EFI_GUID GUID;
static_assert(sizeof(EFI_GUID) == 16);

constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
constexpr EFI_STATUS EncodeError(UINTN Code) {
  return EFI_ERROR_BIT | Code;
}
constexpr bool EFI_ERROR(EFI_STATUS Status) {
  return (Status & EFI_ERROR_BIT) != 0;
}

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EncodeError(10);
constexpr EFI_STATUS EFI_VOLUME_FULL = EncodeError(11);
constexpr EFI_STATUS EFI_NO_MEDIA = EncodeError(12);
constexpr EFI_STATUS EFI_MEDIA_CHANGED = EncodeError(13);
constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
constexpr EFI_STATUS EFI_NO_RESPONSE = EncodeError(16);
constexpr EFI_STATUS EFI_NO_MAPPING = EncodeError(17);
constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
constexpr EFI_STATUS EFI_NOT_STARTED = EncodeError(19);
constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);
constexpr EFI_STATUS EFI_ICMP_ERROR = EncodeError(22);
constexpr EFI_STATUS EFI_TFTP_ERROR = EncodeError(23);
constexpr EFI_STATUS EFI_PROTOCOL_ERROR = EncodeError(24);
constexpr EFI_STATUS EFI_INCOMPATIBLE_VERSION = EncodeError(25);
constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EncodeError(26);
constexpr EFI_STATUS EFI_CRC_ERROR = EncodeError(27);
constexpr EFI_STATUS EFI_END_OF_MEDIA = EncodeError(28);
constexpr EFI_STATUS EFI_END_OF_FILE = EncodeError(31);
constexpr EFI_STATUS EFI_INVALID_LANGUAGE = EncodeError(32);
constexpr EFI_STATUS EFI_COMPROMISED_DATA = EncodeError(33);
constexpr EFI_STATUS EFI_IP_ADDRESS_CONFLICT = EncodeError(34);
constexpr EFI_STATUS EFI_HTTP_ERROR = EncodeError(35);

constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
constexpr EFI_STATUS EFI_WARN_DELETE_FAILURE = 2;
constexpr EFI_STATUS EFI_WARN_WRITE_FAILURE = 3;
constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;
constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;
constexpr EFI_STATUS EFI_WARN_FILE_SYSTEM = 6;
constexpr EFI_STATUS EFI_WARN_RESET_REQUIRED = 7;

constexpr RETURN_STATUS RETURN_SUCCESS = EFI_SUCCESS;
constexpr RETURN_STATUS RETURN_INVALID_PARAMETER = EFI_INVALID_PARAMETER;
constexpr RETURN_STATUS RETURN_UNSUPPORTED = EFI_UNSUPPORTED;
constexpr RETURN_STATUS RETURN_OUT_OF_RESOURCES = EFI_OUT_OF_RESOURCES;
constexpr RETURN_STATUS RETURN_VOLUME_CORRUPTED = EFI_VOLUME_CORRUPTED;
constexpr RETURN_STATUS RETURN_BUFFER_TOO_SMALL = EFI_BUFFER_TOO_SMALL;
constexpr RETURN_STATUS RETURN_NOT_FOUND = EFI_NOT_FOUND;

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
};

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages, AllocateMaxAddress, AllocateAddress };
enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };
enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };
enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };

constexpr UINT32 EVT_TIMER = 0x80000000;
constexpr UINT32 EVT_RUNTIME = 0x40000000;
constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100;
constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;
constexpr UINT32 EVT_SIGNAL_EXIT_BOOT_SERVICES = 0x00000201;
constexpr UINT32 EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE = 0x60000202;

constexpr EFI_TPL TPL_APPLICATION = 4;
constexpr EFI_TPL TPL_CALLBACK = 8;
constexpr EFI_TPL TPL_NOTIFY = 16;
constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
};

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
};

typedef VOID(EFIAPI* EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID* Context);

typedef EFI_TPL(EFIAPI* EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI* EFI_RESTORE_TPL)(EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI* EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                               UINTN Pages, EFI_PHYSICAL_ADDRESS* Memory);
typedef EFI_STATUS(EFIAPI* EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI* EFI_GET_MEMORY_MAP)(UINTN* MemoryMapSize,
                                               EFI_MEMORY_DESCRIPTOR* MemoryMap, UINTN* MapKey,
                                               UINTN* DescriptorSize, UINT32* DescriptorVersion);
typedef EFI_STATUS(EFIAPI* EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer);
typedef EFI_STATUS(EFIAPI* EFI_FREE_POOL)(VOID* Buffer);
typedef EFI_STATUS(EFIAPI* EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl,
                                             EFI_EVENT_NOTIFY NotifyFunction, VOID* NotifyContext,
                                             EFI_EVENT* Event);
typedef EFI_STATUS(EFIAPI* EFI_SET_TIMER)(EFI_EVENT Event, EFI_TIMER_DELAY Type,
                                          UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI* EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT* Event,
                                               UINTN* Index);
typedef EFI_STATUS(EFIAPI* EFI_SIGNAL_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI* EFI_CLOSE_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI* EFI_CHECK_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI* EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE* Handle, EFI_GUID* Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType,
                                                           VOID* Interface);
typedef EFI_STATUS(EFIAPI* EFI_REINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                                             VOID* OldInterface,
                                                             VOID* NewInterface);
typedef EFI_STATUS(EFIAPI* EFI_UNINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                                             VOID* Interface);
typedef EFI_STATUS(EFIAPI* EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                                VOID** Interface);
typedef EFI_STATUS(EFIAPI* EFI_REGISTER_PROTOCOL_NOTIFY)(EFI_GUID* Protocol, EFI_EVENT Event,
                                                         VOID** Registration);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_HANDLE)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID* Protocol,
                                              VOID* SearchKey, UINTN* BufferSize,
                                              EFI_HANDLE* Buffer);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_DEVICE_PATH)(EFI_GUID* Protocol,
                                                   EFI_DEVICE_PATH_PROTOCOL** DevicePath,
                                                   EFI_HANDLE* Device);
typedef EFI_STATUS(EFIAPI* EFI_INSTALL_CONFIGURATION_TABLE)(EFI_GUID* Guid, VOID* Table);
typedef EFI_STATUS(EFIAPI* EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL* DevicePath, VOID* SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE* ImageHandle);
typedef EFI_STATUS(EFIAPI* EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN* ExitDataSize,
                                            CHAR16** ExitData);
typedef EFI_STATUS(EFIAPI* EFI_EXIT)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus,
                                     UINTN ExitDataSize, CHAR16* ExitData);
typedef EFI_STATUS(EFIAPI* EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI* EFI_EXIT_BOOT_SERVICES)(EFI_HANDLE ImageHandle, UINTN MapKey);
typedef EFI_STATUS(EFIAPI* EFI_GET_NEXT_MONOTONIC_COUNT)(UINT64* Count);
typedef EFI_STATUS(EFIAPI* EFI_STALL)(UINTN Microseconds);
typedef EFI_STATUS(EFIAPI* EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16* WatchdogData);
typedef EFI_STATUS(EFIAPI* EFI_CONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                   EFI_HANDLE* DriverImageHandle,
                                                   EFI_DEVICE_PATH_PROTOCOL* RemainingDevicePath,
                                                   BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI* EFI_DISCONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                      EFI_HANDLE DriverImageHandle,
                                                      EFI_HANDLE ChildHandle);
typedef EFI_STATUS(EFIAPI* EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                              VOID** Interface, EFI_HANDLE AgentHandle,
                                              EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI* EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                               EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI* EFI_OPEN_PROTOCOL_INFORMATION)(
    EFI_HANDLE Handle, EFI_GUID* Protocol, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY** EntryBuffer,
    UINTN* EntryCount);
typedef EFI_STATUS(EFIAPI* EFI_PROTOCOLS_PER_HANDLE)(EFI_HANDLE Handle, EFI_GUID*** ProtocolBuffer,
                                                     UINTN* ProtocolBufferCount);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     EFI_GUID* Protocol, VOID* SearchKey,
                                                     UINTN* NoHandles, EFI_HANDLE** Buffer);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_PROTOCOL)(EFI_GUID* Protocol, VOID* Registration,
                                                VOID** Interface);
typedef EFI_STATUS(EFIAPI* EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE* Handle, ...);
typedef EFI_STATUS(EFIAPI* EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE Handle, ...);
typedef EFI_STATUS(EFIAPI* EFI_CALCULATE_CRC32)(VOID* Data, UINTN DataSize, UINT32* Crc32);
typedef VOID(EFIAPI* EFI_COPY_MEM)(VOID* Destination, VOID* Source, UINTN Length);
typedef VOID(EFIAPI* EFI_SET_MEM)(VOID* Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI* EFI_CREATE_EVENT_EX)(UINT32 Type, EFI_TPL NotifyTpl,
                                                EFI_EVENT_NOTIFY NotifyFunction,
                                                const VOID* NotifyContext,
                                                const EFI_GUID* EventGroup, EFI_EVENT* Event);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID* Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID* VendorTable;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID* ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID* StdErr;
  VOID* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* ConfigurationTable;
};

constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ULL;  // "IBI SYST"
constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544f4f42ULL; // "BOOTSERV"

// Slot offsets that compiled drivers depend on.
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 0x50);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 0xC0);
static_assert(offsetof(EFI_BOOT_SERVICES, ExitBootServices) == 0xE8);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 0x170);
static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 0x70);
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);
