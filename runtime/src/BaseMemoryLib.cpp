#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>

VOID* CopyMem(VOID* Destination, const VOID* Source, UINTN Length) {
  return __builtin_memmove(Destination, Source, Length);
}

VOID* SetMem(VOID* Buffer, UINTN Length, UINT8 Value) {
  return __builtin_memset(Buffer, Value, Length);
}

VOID* ZeroMem(VOID* Buffer, UINTN Length) {
  return __builtin_memset(Buffer, 0, Length);
}

INTN CompareMem(const VOID* Buffer1, const VOID* Buffer2, UINTN Length) {
  return __builtin_memcmp(Buffer1, Buffer2, Length);
}

BOOLEAN CompareGuid(const EFI_GUID* Guid1, const EFI_GUID* Guid2) {
  return __builtin_memcmp(Guid1, Guid2, sizeof(EFI_GUID)) == 0 ? 1 : 0;
}

EFI_GUID* CopyGuid(EFI_GUID* Destination, const EFI_GUID* Source) {
  __builtin_memcpy(Destination, Source, sizeof(EFI_GUID));
  return Destination;
}
