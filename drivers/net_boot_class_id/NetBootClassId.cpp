// NetBootClassId: publishes the PXE DHCP vendor-class identifier (option 60) in the dynamic PCD
// that the network-boot driver reads.
#include <Library/DebugLogLib.h>
#include <Library/DriverEntryLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Pcd.h>

#include "NetBootClassId.h"

namespace {

// The five-digit architecture field is left as "xxxxx"; UNDI version 3.0.
const CHAR8 PXE_VENDOR_CLASS[] = "PXEClient:Arch:xxxxx:UNDI:003000";

PCD_PROTOCOL* mPcd = nullptr;

} // namespace

EFI_STATUS PublishPxeVendorClass() {
  UINTN Size = AsciiStrLen(PXE_VENDOR_CLASS) + 1;
  if (mPcd == nullptr) {
    const EFI_STATUS Status = gBS->LocateProtocol(const_cast<EFI_GUID*>(&gPcdProtocolGuid), nullptr,
                                                  reinterpret_cast<VOID**>(&mPcd));
    // The PCD service is expected before this driver; without it there is nothing to set.
    if (mPcd == nullptr) {
      LogPrint(LOG_ERROR, "PCD protocol not found: %r\n", Status);
      return EFI_SUCCESS;
    }
  }
  const EFI_STATUS Status =
      mPcd->SetPtr(PCD_PXE_VENDOR_CLASS_TOKEN, &Size, const_cast<CHAR8*>(PXE_VENDOR_CLASS));
  if (EFI_ERROR(Status)) {
    LogPrint(LOG_ERROR, "PXEClient set string failed: %r\n", Status);
  }
  return EFI_SUCCESS;
}

EFI_STATUS RunDriverLogic(EFI_HANDLE /*ImageHandle*/, EFI_SYSTEM_TABLE* /*SystemTable*/) {
  return PublishPxeVendorClass();
}
