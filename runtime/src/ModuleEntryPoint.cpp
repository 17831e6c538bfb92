// Start-up shared by every image: seed the stack guard, run the library constructors in their
// fixed order, then the driver's own logic, whose status goes back to the DXE core unchanged.
#include <Library/DriverEntryLib.h>
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/LzmaDecompressLib.h>
#include <Library/SerialPortLib.h>
#include <Library/StackCheckLib.h>
#include <Library/UefiBootServicesTableLib.h>

namespace {

// Kept out of line: inlined into the exempt entry point it would lose its own guard.
__attribute__((noinline)) EFI_STATUS RunDriverEntry(EFI_HANDLE ImageHandle,
                                                    EFI_SYSTEM_TABLE* SystemTable) {
  SerialPortInitialize();
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  DxeExtractGuidedSectionLibConstructor();
  LzmaDecompressLibConstructor();
  return RunDriverLogic(ImageHandle, SystemTable);
}

} // namespace

// Not guarded: it replaces the guard that a guarded frame of its own would have copied.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI
_ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  SeedStackGuard();
  return RunDriverEntry(ImageHandle, SystemTable);
}
