// The system's one logging call: console echo everywhere, and on silicon a level filter and the
// in-memory boot-log ring shared with the other boot stages.
#pragma once

#include <Uefi.h>

constexpr UINT32 LOG_DEBUG = 0;
constexpr UINT32 LOG_INFO = 1;
constexpr UINT32 LOG_WARNING = 2;
constexpr UINT32 LOG_ERROR = 3;

VOID LogPrint(UINT32 Level, const CHAR8* Format, ...);

// Copies Count bytes into a destination of Room bytes, refusing (and in some cases zeroing the
// destination) as the boot-log writer requires.
EFI_STATUS CopyMemBounded(VOID* Destination, UINTN Room, const VOID* Source, UINTN Count);

// Threshold below which messages are dropped on silicon; 5 until the first probe of the ring.
extern UINT32 LogThreshold;
constexpr UINT32 LOG_THRESHOLD_UNPROBED = 5;
