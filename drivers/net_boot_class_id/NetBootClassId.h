#pragma once

#include <Uefi.h>

// PcdPxeVendorClass in the platform's PCD database.
constexpr UINTN PCD_PXE_VENDOR_CLASS_TOKEN = 2;

// Stores the vendor-class string in the PCD; a failure is logged, never returned.
EFI_STATUS PublishPxeVendorClass();
