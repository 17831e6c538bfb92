// The memory routines that the compiler emits calls to (local buffer zeroing, structure copies).
// no_builtin keeps the compiler from turning these very loops back into calls to themselves.
#include <Uefi.h>

extern "C" {

__attribute__((no_builtin)) void* memset(void* Destination, int Value, size_t Length) {
  auto* Bytes = static_cast<UINT8*>(Destination);
  while (Length-- != 0) {
    *Bytes++ = static_cast<UINT8>(Value);
  }
  return Destination;
}

__attribute__((no_builtin)) void* memmove(void* Destination, const void* Source, size_t Length) {
  auto* To = static_cast<UINT8*>(Destination);
  const auto* From = static_cast<const UINT8*>(Source);
  if (To < From) {
    while (Length-- != 0) {
      *To++ = *From++;
    }
  } else {
    while (Length-- != 0) {
      To[Length] = From[Length];
    }
  }
  return Destination;
}

__attribute__((no_builtin)) void* memcpy(void* Destination, const void* Source, size_t Length) {
  return memmove(Destination, Source, Length);
}

__attribute__((no_builtin)) int memcmp(const void* Buffer1, const void* Buffer2, size_t Length) {
  const auto* A = static_cast<const UINT8*>(Buffer1);
  const auto* B = static_cast<const UINT8*>(Buffer2);
  for (size_t Index = 0; Index < Length; ++Index) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}
}
