// A test image: its own logic only returns the status that two probe registers hold, so that
// start-up can be watched around a driver whose status the test chooses.
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>

constexpr UINT64 PROBE_STATUS_LOW = 0xF0000000;
constexpr UINT64 PROBE_STATUS_HIGH = 0xF0000004;

EFI_STATUS RunDriverLogic(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  const UINT64 Low = MmioRead32(PROBE_STATUS_LOW);
  return static_cast<UINT64>(MmioRead32(PROBE_STATUS_HIGH)) << 32 | Low;
}
