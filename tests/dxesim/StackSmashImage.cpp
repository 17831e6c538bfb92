// A stand-in driver image for the dxesim tests, built under a real driver's name into a folder of
// its own: its logic changes the stack guard while a guarded frame is live, as an overrun that
// reached the frame's guard copy would, so the check on return fails and the image enters the
// stack-check dead loop.
#include <Library/DriverEntryLib.h>
#include <Library/StackCheckLib.h>

namespace {

__attribute__((noinline)) UINT32 ClobberGuard() {
  volatile UINT8 Buffer[32];
  for (UINT32 Index = 0; Index < sizeof(Buffer); ++Index) {
    Buffer[Index] = static_cast<UINT8>(Index);
  }
  __stack_chk_guard ^= 1;
  return Buffer[7];
}

} // namespace

EFI_STATUS RunDriverLogic(EFI_HANDLE /*ImageHandle*/, EFI_SYSTEM_TABLE* /*SystemTable*/) {
  return ClobberGuard() == 7 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}
