// The firmware tables captured at start-up.
#pragma once

#include <Uefi.h>

extern EFI_SYSTEM_TABLE* gST;
extern EFI_BOOT_SERVICES* gBS;
