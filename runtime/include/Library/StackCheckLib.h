// The compiler's stack protector in its GNU form: a global guard copied into guarded frames and
// compared on return; a mismatch calls __stack_chk_fail.
#pragma once

#include <Uefi.h>

extern "C" UINT64 __stack_chk_guard;
constexpr UINT64 STACK_GUARD_BUILD_VALUE = 0x5A17C0DE0BADF00DULL;

constexpr UINT64 RNG_OUTPUT_0 = 0x881100F0;
constexpr UINT64 RNG_OUTPUT_1 = 0x881100F4;
constexpr UINTN RNG_READ_ATTEMPTS = 10;

// Seeds the guard from the hardware random-number generator (keeps the build value when the
// generator gives no value).
VOID SeedStackGuard();

// Mismatch handler: never returns.
extern "C" [[noreturn]] VOID __stack_chk_fail();
