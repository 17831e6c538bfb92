// The contract between the common start-up and a driver: each driver image supplies exactly one
// RunDriverLogic, which start-up calls after the library constructors and whose status becomes
// the image's status unchanged.
#pragma once

#include <Uefi.h>

EFI_STATUS RunDriverLogic(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

// The simulation loads each image as a shared object whose only exported symbol is the entry.
#if defined(DXE_SIMULATION)
#define DXE_IMAGE_ENTRY __attribute__((visibility("default")))
#else
#define DXE_IMAGE_ENTRY
#endif

// The image's PE entry point.
extern "C" DXE_IMAGE_ENTRY EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle,
                                                               EFI_SYSTEM_TABLE* SystemTable);
