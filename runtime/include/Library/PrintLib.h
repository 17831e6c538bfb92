// The format engine behind the debug log: EDK II BasePrintLib syntax and results.
//
// Conversions: %a %c %d %u %x %X %ld %lu %lx %lX (also ll) %p %r %g %%, with the flags '0' and
// '-', a width, ".N" precision and '*'. Every variadic argument is one 64-bit slot; 32-bit
// conversions take the low half. Hex digits are upper-case for %x and %X; %X pads with zeros.
// A "\n" of the format is written as "\r\n". The output is cut at BufferSize - 1 characters and
// NUL-terminated; the result is the number of characters written.
#pragma once

#include <stdarg.h>

#include <Uefi.h>

UINTN AsciiVSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString,
                   va_list Marker);
UINTN AsciiSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString, ...);
UINTN AsciiStrLen(const CHAR8* String);
