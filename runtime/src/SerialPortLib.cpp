// PL011 console: 8 data bits, no parity, one stop bit, FIFOs on. An earlier boot stage that set
// the port up the same way is left alone.
#include <Library/BitField.h>
#include <Library/IoLib.h>
#include <Library/SerialPortLib.h>

namespace {

// Baud divisor 108 + 32/64 = 108.5: one bit per 1736 cycles of the UART reference clock.
constexpr UINT32 UART_IBRD_VALUE = 108;
constexpr UINT32 UART_FBRD_VALUE = 32;
// FIFOs enabled, 8-bit words, no parity, one stop bit, no break.
constexpr UINT32 UART_LCR_H_VALUE = FIELD_PREP32(UARTLCR_H_WLEN, 3) | UARTLCR_H_FEN;
// UART, transmit and receive enabled.
constexpr UINT32 UART_CR_VALUE = UARTCR_RXE | UARTCR_TXE | UARTCR_UARTEN;
static_assert(UART_LCR_H_VALUE == 0x70 && UART_CR_VALUE == 0x301);

} // namespace

RETURN_STATUS SerialPortInitialize() {
  if ((MmioRead32(UARTCR) & UARTCR_UARTEN) != 0 && MmioRead32(UARTLCR_H) == UART_LCR_H_VALUE &&
      MmioRead32(UARTIBRD) == UART_IBRD_VALUE && MmioRead32(UARTFBRD) == UART_FBRD_VALUE) {
    return RETURN_SUCCESS;
  }
  // Reprogramming under a byte still in transit would garble it.
  while ((MmioRead32(UARTFR) & UARTFR_TXFE) == 0) {
  }
  MmioWrite32(UARTCR, 0);
  // The divisors take effect with the line-control write that follows them.
  MmioWrite32(UARTIBRD, UART_IBRD_VALUE);
  MmioWrite32(UARTFBRD, UART_FBRD_VALUE);
  MmioWrite32(UARTLCR_H, UART_LCR_H_VALUE);
  MmioWrite32(UARTRSR, 0);
  MmioWrite32(UARTCR, UART_CR_VALUE);
  return RETURN_SUCCESS;
}

UINTN SerialPortWrite(const UINT8* Buffer, UINTN NumberOfBytes) {
  for (UINTN Index = 0; Index < NumberOfBytes; ++Index) {
    while ((MmioRead32(UARTFR) & UARTFR_TXFF) != 0) {
    }
    MmioWrite8(UARTDR, Buffer[Index]);
  }
  return NumberOfBytes;
}
