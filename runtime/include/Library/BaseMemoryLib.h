// Byte copies and fills.
#pragma once

#include <Uefi.h>

VOID* CopyMem(VOID* Destination, const VOID* Source, UINTN Length);
VOID* SetMem(VOID* Buffer, UINTN Length, UINT8 Value);
VOID* ZeroMem(VOID* Buffer, UINTN Length);
INTN CompareMem(const VOID* Buffer1, const VOID* Buffer2, UINTN Length);
