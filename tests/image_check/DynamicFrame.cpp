// A frame whose size is known only at run time: the budget check must refuse it as unbounded.
#include <Uefi.h>

extern "C" {
UINT64 __stack_chk_guard = 1;
void __stack_chk_fail() {}
}

__attribute__((noinline)) UINT32 SumOfSquares(UINT32 Count) {
  auto* Squares = static_cast<volatile UINT32*>(__builtin_alloca(Count * sizeof(UINT32)));
  UINT32 Sum = 0;
  for (UINT32 Index = 0; Index < Count; ++Index) {
    Squares[Index] = Index * Index;
    Sum += Squares[Index];
  }
  return Sum;
}

extern "C" EFI_STATUS _ModuleEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE* SystemTable) {
  return SumOfSquares(reinterpret_cast<UINTN>(SystemTable) & 0xFF);
}
