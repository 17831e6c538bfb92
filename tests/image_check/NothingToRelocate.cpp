// A guarded image without a single absolute pointer: lld-link writes no base relocations, and
// the image checker must accept it, since the image loads at any address as it is.
#include <Uefi.h>

extern "C" {
UINT64 __stack_chk_guard = 0x5A17C0DE0BADF00DULL;
[[noreturn]] void __stack_chk_fail() {
  for (;;) {
  }
}
}

void Fill(volatile char* Buffer, UINTN Length);

__attribute__((noinline)) void LogPrint(UINT32 Level) {
  volatile char Buffer[64];
  Fill(Buffer, Level);
}

__attribute__((noinline)) void Fill(volatile char* Buffer, UINTN Length) {
  for (UINTN Index = 0; Index < Length && Index < 64; ++Index) {
    Buffer[Index] = 0;
  }
}

extern "C" EFI_STATUS _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  LogPrint(3);
  return EFI_SUCCESS;
}
