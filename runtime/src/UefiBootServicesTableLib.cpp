#include <Library/UefiBootServicesTableLib.h>

EFI_SYSTEM_TABLE* gST = nullptr;
EFI_BOOT_SERVICES* gBS = nullptr;
