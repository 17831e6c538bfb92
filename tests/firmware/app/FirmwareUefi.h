// The few firmware interfaces the test application uses beyond the drivers' own Uefi.h: console
// output, the loaded-image and device-path protocols, and the runtime services' reset.
#pragma once

#include <Uefi.h>

struct SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI* TEXT_OUTPUT_STRING)(SIMPLE_TEXT_OUTPUT_PROTOCOL* This,
                                               const CHAR16* String);
struct SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID* Reset;
  TEXT_OUTPUT_STRING OutputString;
};

struct LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL* FilePath;
  VOID* Reserved;
  UINT32 LoadOptionsSize;
  VOID* LoadOptions;
  VOID* ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID* Unload;
};
static_assert(offsetof(LOADED_IMAGE_PROTOCOL, LoadOptions) == 0x38 &&
              offsetof(LOADED_IMAGE_PROTOCOL, ImageBase) == 0x40);

constexpr UINT8 DEVICE_PATH_MEDIA = 4;
constexpr UINT8 DEVICE_PATH_MEDIA_FILE = 4;
constexpr UINT8 DEVICE_PATH_END = 0x7F;
constexpr UINT8 DEVICE_PATH_END_ENTIRE = 0xFF;

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown };
typedef VOID(EFIAPI* EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus,
                                       UINTN DataSize, VOID* ResetData);
// Header, then GetTime .. GetNextHighMonotonicCount (ten services), then ResetSystem.
constexpr UINTN RUNTIME_SERVICES_RESET_SYSTEM = 24 + 10 * 8;
