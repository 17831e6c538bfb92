#include "ImagerLauncher.h"

#include <Library/DebugLogLib.h>
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include "IspStart.h"

const EFI_GUID gImagerLaunchProtocolGuid = IMAGER_LAUNCH_PROTOCOL_GUID;

// Shared with callers outside this driver: three 64-bit member pointers and nothing else.
static_assert(sizeof(IMAGER_LAUNCH_PROTOCOL) == 24 &&
              offsetof(IMAGER_LAUNCH_PROTOCOL, SetIspStatus) == 8 &&
              offsetof(IMAGER_LAUNCH_PROTOCOL, WriteIspMarker) == 16);

namespace {

// An absent image has address 0 or size 0. The image address register holds address bits 39:16
// only, so an image at or above 1 TiB cannot be started.
bool IsIspImageValid(UINT64 Address, UINT32 Size) {
  return Address != 0 && Address < ISP_IMAGE_ADDRESS_LIMIT && Size != 0 &&
         Size <= ISP_IMAGE_SIZE_LIMIT;
}

} // namespace

EFI_STATUS EFIAPI StartIsp(UINT64 Fw0Address, UINT64 Fw1Address, UINT32 Size1, UINT32 Size2) {
  const UINT32 Variant = GetChipVariant();
  if (!IsIspImageValid(Fw0Address, Size1)) {
    LogPrint(LOG_ERROR, "isp_fw0 image load Size1: 0x%x\n", Size1);
    SetIspStatus(0, 0);
    return EFI_SUCCESS;
  }

  // Chip variant 3 never starts core 1, so its image is not looked at.
  bool StartCore1 = false;
  if (Variant != ISP_CHIP_VARIANT_3) {
    StartCore1 = IsIspImageValid(Fw1Address, Size2);
    if (!StartCore1) {
      LogPrint(LOG_ERROR, "isp_fw1 image load Size2: 0x%x\n", Size2);
    }
  }
  // The record says what is about to be started, before any ISP register is touched.
  SetIspStatus(1, StartCore1 ? 1 : 0);

  RunIspStartSequence(Fw0Address, Fw1Address, StartCore1);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetIspStatus(UINT32 Value0, UINT32 Value1) {
  // Ordinary memory: plain 32-bit stores in ascending order, never merged or reordered.
  auto* Record = static_cast<volatile ISP_STATUS_RECORD*>(
      PhysicalAddressToPointer(ISP_STATUS_RECORD_ADDRESS, sizeof(ISP_STATUS_RECORD)));
  Record->Magic = ISP_STATUS_MAGIC;
  Record->Value0 = Value0;
  Record->Value1 = Value1;
  Record->Sum = Value0 + Value1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WriteIspMarker() {
  MmioWrite32(ISP_MARKER_REG, ISP_MARKER_VALUE);
  return EFI_SUCCESS;
}

EFI_STATUS RunDriverLogic(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* /*SystemTable*/) {
  IMAGER_LAUNCH_PROTOCOL* Interface = nullptr;
  EFI_STATUS Status = gBS->AllocatePool(EfiBootServicesData, sizeof(IMAGER_LAUNCH_PROTOCOL),
                                        reinterpret_cast<VOID**>(&Interface));
  if (EFI_ERROR(Status)) {
    // "%d" prints the low 32 bits of the status: 9 for EFI_OUT_OF_RESOURCES.
    LogPrint(LOG_WARNING, "AllocatePool ImagerLaunchProtocol fail, Status = %d!\n", Status);
    return Status;
  }
  Interface->StartIsp = StartIsp;
  Interface->SetIspStatus = SetIspStatus;
  Interface->WriteIspMarker = WriteIspMarker;

  // A non-null handle puts the protocol on this image's own handle.
  EFI_HANDLE Handle = ImageHandle;
  Status = gBS->InstallProtocolInterface(&Handle, const_cast<EFI_GUID*>(&gImagerLaunchProtocolGuid),
                                         EFI_NATIVE_INTERFACE, Interface);
  if (EFI_ERROR(Status)) {
    // Nothing can reach the block, and the image is unloaded on an error status.
    gBS->FreePool(Interface);
  }
  return Status;
}
