// An image whose global is initialised by a constructor at run time, which no image start-up
// would ever call: the image checker must refuse both the image and its bitcode object.
#include <Uefi.h>

extern "C" {
UINT64 __stack_chk_guard = 1;
void __stack_chk_fail() {}
}

UINT32 ReadStartValue() {
  return *reinterpret_cast<volatile UINT32*>(0x881100F0);
}

UINT32 gStartValue = ReadStartValue();

extern "C" EFI_STATUS _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  return gStartValue;
}
