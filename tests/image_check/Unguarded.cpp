// An image built without the stack protector: the image checker must refuse it.
#include <Uefi.h>

extern "C" {
UINT64 __stack_chk_guard = 1;
void __stack_chk_fail() {}
}

void Fill(volatile char* Buffer, UINTN Length);

// A statically initialised pointer gives the image its base relocation.
const char* volatile Name = "unguarded";

void LogPrint(UINT32 Level) {
  volatile char Buffer[64];
  Fill(Buffer, Level);
}

void Fill(volatile char* Buffer, UINTN Length) {
  for (UINTN Index = 0; Index < Length && Index < 64; ++Index) {
    Buffer[Index] = 0;
  }
}

extern "C" EFI_STATUS _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  LogPrint(3);
  return EFI_SUCCESS;
}
