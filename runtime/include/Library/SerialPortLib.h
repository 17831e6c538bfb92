// The PL011 console.
#pragma once

#include <Uefi.h>

constexpr UINT64 PL011_BASE = 0x840C0000;
constexpr UINT64 UARTDR = PL011_BASE + 0x00;
constexpr UINT64 UARTRSR = PL011_BASE + 0x04;
constexpr UINT64 UARTFR = PL011_BASE + 0x18;
constexpr UINT32 UARTFR_TXFF = 1U << 5;
constexpr UINT32 UARTFR_TXFE = 1U << 7;
constexpr UINT64 UARTIBRD = PL011_BASE + 0x24;
constexpr UINT64 UARTFBRD = PL011_BASE + 0x28;
constexpr UINT64 UARTLCR_H = PL011_BASE + 0x2C;
constexpr UINT64 UARTCR = PL011_BASE + 0x30;
constexpr UINT32 UARTCR_UARTEN = 1U << 0;

RETURN_STATUS SerialPortInitialize();
UINTN SerialPortWrite(const UINT8* Buffer, UINTN NumberOfBytes);
