// ImagerLauncher: publishes ImagerLaunchProtocol, whose services check the ISP firmware images a
// caller placed in memory, record the outcome in the ISP status record and start the ISP cores.
#pragma once

#include <Uefi.h>

#include <Protocol/ImagerLaunch.h>

// The ISP status record: says which images were accepted, for readers outside this driver.
constexpr UINT64 ISP_STATUS_RECORD_ADDRESS = 0xC6F36500;
constexpr UINT32 ISP_STATUS_MAGIC = 0x00495350; // "PSI" and its terminating zero
struct ISP_STATUS_RECORD {
  UINT32 Magic;
  UINT32 Value0;
  UINT32 Value1;
  UINT32 Sum; // Value0 + Value1, wrapping
};
static_assert(sizeof(ISP_STATUS_RECORD) == 16 && offsetof(ISP_STATUS_RECORD, Sum) == 12);

constexpr UINT64 ISP_MARKER_REG = 0xCD080C00;
constexpr UINT32 ISP_MARKER_VALUE = 0xABABABAB;

// Largest accepted image, in bytes, for either core.
constexpr UINT32 ISP_IMAGE_SIZE_LIMIT = 0x1400000;

EFI_STATUS EFIAPI StartIsp(UINT64 Fw0Address, UINT64 Fw1Address, UINT32 Size1, UINT32 Size2);
EFI_STATUS EFIAPI SetIspStatus(UINT32 Value0, UINT32 Value1);
EFI_STATUS EFIAPI WriteIspMarker();
