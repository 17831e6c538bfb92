// Arbitrary format strings and buffer sizes against the format engine. Every argument is a
// pointer to one buffer that reads at once as an ASCII string, a CHAR16 string and a GUID, so
// any conversion may take any argument safely. Checks the buffer contract: NUL-terminated within
// the buffer, result equal to its length, no byte written past the buffer, and a truncated
// output equal to the start of the untruncated one.
#include <Library/PrintLib.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t ARGUMENT_COUNT = 24;
constexpr size_t CANARY_SIZE = 16;
constexpr uint8_t CANARY = 0xA5;
constexpr size_t LARGE_SIZE = 4096;

alignas(8) const char mArgument[32] = "ABCDEFGHIJKLMNO";

UINTN PrintWithArguments(CHAR8* Buffer, UINTN Size, const CHAR8* Format) {
  const char* A = mArgument;
  return AsciiSPrint(Buffer, Size, Format, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A,
                     A, A, A, A, A);
}

// Each '%' takes at most one value and each '*' at most one field: an upper bound on the
// arguments the format can consume.
bool FitsArguments(const char* Format) {
  size_t Needed = 0;
  for (; *Format != '\0'; Format++) {
    Needed += *Format == '%' || *Format == '*';
  }
  return Needed <= ARGUMENT_COUNT;
}

size_t CheckedPrint(char* Buffer, size_t Size, const char* Format) {
  memset(Buffer, CANARY, Size + CANARY_SIZE);
  UINTN Written = PrintWithArguments(Buffer, Size, Format);
  if (Size == 0) {
    if (Written != 0) {
      abort();
    }
  } else if (Written >= Size || Buffer[Written] != '\0' || strlen(Buffer) != Written) {
    abort();
  }
  for (size_t Index = Size; Index < Size + CANARY_SIZE; Index++) {
    if (static_cast<uint8_t>(Buffer[Index]) != CANARY) {
      abort();
    }
  }
  return Written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) {
    return 0;
  }
  size_t BufferSize = (static_cast<size_t>(Data[0]) << 8 | Data[1]) % (LARGE_SIZE / 4);
  char* Format = static_cast<char*>(malloc(Size - 1));
  memcpy(Format, Data + 2, Size - 2);
  Format[Size - 2] = '\0';
  if (FitsArguments(Format)) {
    char* Small = static_cast<char*>(malloc(BufferSize + CANARY_SIZE));
    char* Large = static_cast<char*>(malloc(LARGE_SIZE + CANARY_SIZE));
    size_t SmallLength = CheckedPrint(Small, BufferSize, Format);
    size_t LargeLength = CheckedPrint(Large, LARGE_SIZE, Format);
    if (BufferSize != 0 && memcmp(Small, Large, SmallLength) != 0) {
      abort();
    }
    if (BufferSize != 0 && LargeLength < LARGE_SIZE - 1 &&
        SmallLength != (LargeLength < BufferSize - 1 ? LargeLength : BufferSize - 1)) {
      abort();
    }
    free(Small);
    free(Large);
  }
  free(Format);
  return 0;
}
