// The PL011 console.
#pragma once

#include <Library/BitField.h>
#include <Uefi.h>

constexpr UINT64 PL011_BASE = 0x840C0000;
constexpr UINT64 UARTDR = PL011_BASE + 0x00;
constexpr UINT64 UARTRSR = PL011_BASE + 0x04;
constexpr UINT64 UARTFR = PL011_BASE + 0x18;
constexpr UINT32 UARTFR_TXFE = BIT32(7);
constexpr UINT32 UARTFR_TXFF = BIT32(5);
constexpr UINT64 UARTIBRD = PL011_BASE + 0x24;
constexpr UINT64 UARTFBRD = PL011_BASE + 0x28;
constexpr UINT64 UARTLCR_H = PL011_BASE + 0x2C;
constexpr UINT32 UARTLCR_H_WLEN = GENMASK32(6, 5);
constexpr UINT32 UARTLCR_H_FEN = BIT32(4);
constexpr UINT64 UARTCR = PL011_BASE + 0x30;
constexpr UINT32 UARTCR_RXE = BIT32(9);
constexpr UINT32 UARTCR_TXE = BIT32(8);
constexpr UINT32 UARTCR_UARTEN = BIT32(0);

RETURN_STATUS SerialPortInitialize();
UINTN SerialPortWrite(const UINT8* Buffer, UINTN NumberOfBytes);
