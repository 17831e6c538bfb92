// Unaligned little-endian memory words and GUID helpers.
#pragma once

#include <Uefi.h>

inline UINT32 ReadUnaligned32(const VOID* Buffer) {
  UINT32 Value;
  __builtin_memcpy(&Value, Buffer, sizeof(Value));
  return Value;
}

inline UINT16 ReadUnaligned16(const VOID* Buffer) {
  UINT16 Value;
  __builtin_memcpy(&Value, Buffer, sizeof(Value));
  return Value;
}

inline UINT64 ReadUnaligned64(const VOID* Buffer) {
  UINT64 Value;
  __builtin_memcpy(&Value, Buffer, sizeof(Value));
  return Value;
}

BOOLEAN CompareGuid(const EFI_GUID* Guid1, const EFI_GUID* Guid2);
EFI_GUID* CopyGuid(EFI_GUID* Destination, const EFI_GUID* Source);
