// The format engine: one pass over the format, writing straight into the caller's buffer and
// stopping as soon as it is full, so neither a long text nor a huge width costs more than the
// buffer holds. No libc: the images provide only the memory primitives.
#include <Library/PrintLib.h>

namespace {

// Status texts, NUL-separated, indexed by StatusText(): successes and warnings 0 to 7, then
// errors 1 to 35. One blob of characters keeps the table free of pointers and relocations.
constexpr CHAR8 mStatusText[] = "Success\0"
                                "Warning Unknown Glyph\0"
                                "Warning Delete Failure\0"
                                "Warning Write Failure\0"
                                "Warning Buffer Too Small\0"
                                "Warning Stale Data\0"
                                "Warning File System\0"
                                "Warning Reset Required\0"
                                "Load Error\0"
                                "Invalid Parameter\0"
                                "Unsupported\0"
                                "Bad Buffer Size\0"
                                "Buffer Too Small\0"
                                "Not Ready\0"
                                "Device Error\0"
                                "Write Protected\0"
                                "Out of Resources\0"
                                "Volume Corrupt\0"
                                "Volume Full\0"
                                "No Media\0"
                                "Media changed\0"
                                "Not Found\0"
                                "Access Denied\0"
                                "No Response\0"
                                "No mapping\0"
                                "Time out\0"
                                "Not started\0"
                                "Already started\0"
                                "Aborted\0"
                                "ICMP Error\0"
                                "TFTP Error\0"
                                "Protocol Error\0"
                                "Incompatible Version\0"
                                "Security Violation\0"
                                "CRC Error\0"
                                "End of Media\0"
                                "Reserved (29)\0"
                                "Reserved (30)\0"
                                "End of File\0"
                                "Invalid Language\0"
                                "Compromised Data\0"
                                "IP Address Conflict\0"
                                "HTTP Error";

constexpr UINTN STATUS_WARNING_COUNT = 8;
constexpr UINTN STATUS_ERROR_COUNT = 35;

constexpr UINTN CountTexts(const CHAR8* Blob, UINTN Size) {
  UINTN Count = 0;
  for (UINTN Index = 0; Index < Size; Index++) {
    Count += Blob[Index] == '\0';
  }
  return Count;
}
static_assert(CountTexts(mStatusText, sizeof(mStatusText)) ==
              STATUS_WARNING_COUNT + STATUS_ERROR_COUNT);

constexpr CHAR8 mHexDigits[] = "0123456789ABCDEF";

// The bytes of an EFI_GUID in the order "%g" prints them: Data1, Data2 and Data3 are
// little-endian numbers, printed from their high byte; the eight bytes of Data4 follow as
// stored. A dash goes before the printed bytes 4, 6, 8 and 10.
constexpr UINT8 mGuidByteOrder[] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
static_assert(sizeof(mGuidByteOrder) == sizeof(EFI_GUID));

// Widths and precisions beyond this are all "more than any buffer", and the cap keeps the
// digit parser and the padding arithmetic free of overflow.
constexpr UINT64 MAX_FIELD = 0xFFFFFFFF;

// Holds the longest conversion text built here: a GUID (36), a 64-bit decimal (20), a status
// in hex (16).
constexpr UINTN SCRATCH_SIZE = 36;

const CHAR8* StatusText(EFI_STATUS Status) {
  UINTN Index;
  if (Status < STATUS_WARNING_COUNT) {
    Index = Status;
  } else if (EFI_ERROR(Status) && Status - EFI_ERROR_BIT - 1 < STATUS_ERROR_COUNT) {
    Index = STATUS_WARNING_COUNT - 1 + (Status - EFI_ERROR_BIT);
  } else {
    return nullptr;
  }
  const CHAR8* Text = mStatusText;
  for (; Index != 0; Index--) {
    while (*Text++ != '\0') {
    }
  }
  return Text;
}

CHAR8* PutHex(CHAR8* Destination, UINT64 Value, UINTN Digits) {
  for (UINTN Index = Digits; Index != 0; Index--) {
    Destination[Index - 1] = mHexDigits[Value & 0xF];
    Value >>= 4;
  }
  return Destination + Digits;
}

struct OutputBuffer {
  CHAR8* Position;
  UINTN Room; // characters that may still be written, the NUL excluded

  // Out of line: every conversion ends in it.
  __attribute__((noinline)) void Put(CHAR8 Character) {
    if (Room != 0) {
      *Position++ = Character;
      Room--;
    }
  }
  void Fill(CHAR8 Character, UINT64 Count) {
    for (; Count != 0 && Room != 0; Count--) {
      Put(Character);
    }
  }
};

UINT64 ParseField(const CHAR8*& Format) {
  UINT64 Value = 0;
  for (; *Format >= '0' && *Format <= '9'; Format++) {
    Value = Value * 10 + static_cast<UINT64>(*Format - '0');
    if (Value > MAX_FIELD) {
      Value = MAX_FIELD;
    }
  }
  return Value;
}

} // namespace

UINTN AsciiStrLen(const CHAR8* String) {
  UINTN Length = 0;
  if (String != nullptr) {
    while (String[Length] != '\0') {
      Length++;
    }
  }
  return Length;
}

UINTN AsciiVSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString,
                   va_list Marker) {
  if (StartOfBuffer == nullptr || BufferSize == 0) {
    return 0;
  }
  OutputBuffer Out{StartOfBuffer, BufferSize - 1};
  const CHAR8* Format = FormatString != nullptr ? FormatString : "";

  while (Out.Room != 0 && *Format != '\0') {
    CHAR8 Character = *Format++;
    if (Character != '%') {
      // The console wants CR LF: "\n" gains its CR, and a pair already spelt "\r\n" or "\n\r"
      // is written once.
      if (Character == '\r' && *Format == '\n') {
        Format++;
        Character = '\n';
      } else if (Character == '\n' && *Format == '\r') {
        Format++;
      }
      if (Character == '\n') {
        Out.Put('\r');
      }
      Out.Put(Character);
      continue;
    }

    bool LeftJustify = false;
    bool ZeroPad = false;
    bool Long = false;
    bool HasPrecision = false;
    CHAR8 SignFlag = 0;
    UINT64 Width = 0;
    UINT64 Precision = 0;
    for (;; Format++) {
      Character = *Format;
      if (Character == '-') {
        LeftJustify = true;
      } else if (Character == '+') {
        SignFlag = '+';
      } else if (Character == ' ') {
        if (SignFlag == 0) {
          SignFlag = ' ';
        }
      } else if (Character == 'l' || Character == 'L') {
        Long = true;
      } else if (Character == '.') {
        HasPrecision = true;
        Precision = 0;
      } else if (Character == '*') {
        INT64 Value = va_arg(Marker, int);
        if (!HasPrecision) {
          // A negative width from the arguments means left-aligned, as in C.
          LeftJustify = LeftJustify || Value < 0;
          Width = static_cast<UINT64>(Value < 0 ? -Value : Value);
        } else if (Value < 0) {
          HasPrecision = false;
        } else {
          Precision = static_cast<UINT64>(Value);
        }
      } else if (Character >= '0' && Character <= '9') {
        if (HasPrecision) {
          Precision = ParseField(Format);
        } else {
          ZeroPad = ZeroPad || Character == '0';
          Width = ParseField(Format);
        }
        Format--;
      } else {
        break;
      }
    }
    if (Character == '\0') {
      break; // a conversion cut off by the end of the format prints nothing
    }
    Format++;

    CHAR8 Scratch[SCRATCH_SIZE];
    // CHAR16 text is read as its characters' low bytes, which come first in memory (UEFI is
    // little-endian), Stride bytes apart.
    const CHAR8* Text = Scratch;
    UINTN Stride = 1;
    UINTN Length = 0;
    bool Measure = false; // Text is a NUL-terminated string still to be counted
    bool IsNumber = false;
    CHAR8 Sign = 0;
    switch (Character) {
    case 'a':
      Text = va_arg(Marker, const CHAR8*);
      Measure = true;
      break;
    case 's':
      Text = reinterpret_cast<const CHAR8*>(va_arg(Marker, const CHAR16*));
      Stride = sizeof(CHAR16);
      Measure = true;
      break;
    case 'c':
      Scratch[0] = static_cast<CHAR8>(va_arg(Marker, int));
      Length = Scratch[0] != '\0' ? 1 : 0;
      break;
    case 'g': {
      const EFI_GUID* Guid = va_arg(Marker, const EFI_GUID*);
      if (Guid == nullptr) {
        Text = "<null guid>";
        Measure = true;
        break;
      }
      const auto* Bytes = reinterpret_cast<const UINT8*>(Guid);
      CHAR8* Position = Scratch;
      for (UINTN Index = 0; Index < sizeof(mGuidByteOrder); Index++) {
        if (Index >= 4 && Index <= 10 && Index % 2 == 0) {
          *Position++ = '-';
        }
        Position = PutHex(Position, Bytes[mGuidByteOrder[Index]], 2);
      }
      Length = static_cast<UINTN>(Position - Scratch);
      break;
    }
    case 'r': {
      EFI_STATUS Status = va_arg(Marker, EFI_STATUS);
      Text = StatusText(Status);
      Measure = Text != nullptr;
      if (Text == nullptr) {
        // All 16 digits, so that an unknown error keeps its error bit.
        Text = Scratch;
        Length = static_cast<UINTN>(PutHex(Scratch, Status, 16) - Scratch);
      }
      break;
    }
    case 'p':
    case 'X':
    case 'x':
    case 'u':
    case 'd': {
      UINT64 Value;
      if (Character == 'p' || Long) {
        Value = va_arg(Marker, UINT64);
      } else if (Character == 'd') {
        Value = static_cast<UINT64>(static_cast<INT64>(va_arg(Marker, int)));
      } else {
        Value = static_cast<UINT32>(va_arg(Marker, int));
      }
      UINT64 Radix = Character == 'd' || Character == 'u' ? 10 : 16;
      if (Character == 'd') {
        Sign = SignFlag;
        if (static_cast<INT64>(Value) < 0) {
          Sign = '-';
          Value = 0 - Value;
        }
      }
      ZeroPad = ZeroPad || Character == 'X' || Character == 'p';
      IsNumber = true;
      CHAR8* Digit = Scratch + SCRATCH_SIZE;
      if (Value != 0 || !HasPrecision || Precision != 0) {
        do {
          *--Digit = mHexDigits[Value % Radix];
          Value /= Radix;
        } while (Value != 0);
      }
      Text = Digit;
      Length = static_cast<UINTN>(Scratch + SCRATCH_SIZE - Digit);
      break;
    }
    default:
      // '%' itself and any conversion this engine does not know: the character, no argument.
      Scratch[0] = Character;
      Length = 1;
      break;
    }

    if (Measure) {
      if (Text == nullptr) {
        Text = "<null string>";
        Stride = 1;
      }
      // Never count past a precision: the text need not be terminated there. A CHAR16 whose
      // low byte is zero cannot be written in ASCII, so it ends the text.
      while ((!HasPrecision || Length < Precision) && Text[Length * Stride] != '\0') {
        Length++;
      }
    } else if (!IsNumber && HasPrecision && Length > Precision) {
      Length = static_cast<UINTN>(Precision);
    }

    UINT64 SignLength = Sign != 0 ? 1 : 0;
    UINT64 Zeros = 0;
    if (IsNumber) {
      UINT64 MinimumDigits = Precision;
      if (!HasPrecision && ZeroPad && !LeftJustify && Width > SignLength) {
        MinimumDigits = Width - SignLength;
      }
      Zeros = MinimumDigits > Length ? MinimumDigits - Length : 0;
    }
    UINT64 FieldLength = SignLength + Zeros + Length;
    UINT64 Padding = Width > FieldLength ? Width - FieldLength : 0;

    if (!LeftJustify) {
      Out.Fill(' ', Padding);
    }
    if (Sign != 0) {
      Out.Put(Sign);
    }
    Out.Fill('0', Zeros);
    for (UINTN Index = 0; Index < Length && Out.Room != 0; Index++) {
      Out.Put(Text[Index * Stride]);
    }
    if (LeftJustify) {
      Out.Fill(' ', Padding);
    }
  }

  *Out.Position = '\0';
  return static_cast<UINTN>(Out.Position - StartOfBuffer);
}

UINTN AsciiSPrint(CHAR8* StartOfBuffer, UINTN BufferSize, const CHAR8* FormatString, ...) {
  va_list Marker;
  va_start(Marker, FormatString);
  UINTN Written = AsciiVSPrint(StartOfBuffer, BufferSize, FormatString, Marker);
  va_end(Marker);
  return Written;
}
