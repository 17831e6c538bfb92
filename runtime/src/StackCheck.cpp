// The stack protector's guard and its failure routine.
#include <Library/IoLib.h>
#include <Library/StackCheckLib.h>

extern "C" {
UINT64 __stack_chk_guard = STACK_GUARD_BUILD_VALUE;
}

namespace {

// Nothing writes it: only an attached debugger can release the dead loop.
volatile UINTN mDeadLoopRelease = 0;

// The generator reports "no value yet" as 0; a value is taken from at most ten reads.
BOOLEAN ReadRandomWord(UINT64 Register, UINT32& Word) {
  for (UINTN Attempt = 0; Attempt < RNG_READ_ATTEMPTS; ++Attempt) {
    Word = MmioRead32(Register);
    if (Word != 0) {
      return 1;
    }
  }
  return 0;
}

} // namespace

__attribute__((no_stack_protector)) VOID SeedStackGuard() {
  UINT32 Low;
  UINT32 High;
  if (!ReadRandomWord(RNG_OUTPUT_0, Low) || !ReadRandomWord(RNG_OUTPUT_1, High)) {
    return;
  }
  auto* Guard = reinterpret_cast<UINT8*>(&__stack_chk_guard);
  __builtin_memcpy(Guard, &Low, sizeof(Low));
  __asm__ volatile("" ::: "memory");
  __builtin_memcpy(Guard + sizeof(Low), &High, sizeof(High));
}

extern "C" [[noreturn]] VOID __stack_chk_fail() {
  volatile UINTN Release = mDeadLoopRelease;
  while (Release == mDeadLoopRelease) {
    CpuPause();
  }
  __builtin_trap();
}
