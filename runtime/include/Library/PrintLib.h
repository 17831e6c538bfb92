// The format engine behind the debug log: EDK II BasePrintLib syntax and results, ASCII output.
//
// Conversions: %a (ASCII string), %s (CHAR16 string, each character's low byte), %c, %d %u %x %X
// and their 64-bit forms with 'l', 'll' or 'L', %p, %r (status name), %g (EFI_GUID*), %%.
// Flags '0', '-', '+' and ' ', a width, ".N" (minimum digits, or string truncation) and '*' for
// either. Every variadic argument is one 64-bit slot; %d %u %x %X %c and '*' take an int from it.
// Hex digits are upper-case for %x and %X; %X and %p pad with zeros to a width. A null string
// prints "<null string>", a null GUID "<null guid>", a status without a name its 16 hex digits.
// An unknown conversion prints its letter and takes no argument.
// A "\n" of the format is written as "\r\n"; text from the arguments is copied as it is.
// The output is cut at BufferSize - 1 characters and NUL-terminated (nothing is written for a
// null buffer or a size of 0); the result is the number of characters written.
#pragma once

#include <stdarg.h>

#include <Uefi.h>

UINTN AsciiVSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString,
                   va_list Marker);
UINTN AsciiSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString, ...);
UINTN AsciiStrLen(const CHAR8* String);
