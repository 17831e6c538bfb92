// LogPrint: console echo on every platform; on silicon, a level filter and the boot-log ring.
#include <stdarg.h>

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/BootLogRing.h>
#include <Library/DebugLogLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>

UINT32 LogThreshold = LOG_THRESHOLD_UNPROBED;

namespace {

constexpr UINTN LOG_BUFFER_SIZE = 1024;
// The serial debug library formats its console copy into a buffer of this size.
constexpr UINTN CONSOLE_BUFFER_SIZE = 256;
constexpr UINT32 THRESHOLD_RING_PRESENT = LOG_WARNING;
constexpr UINT32 THRESHOLD_RING_ABSENT = LOG_ERROR;
constexpr UINTN BOUNDED_COPY_MAX_ROOM = 0xCFFFFFFF;

// Rows of characters rather than pointers: the image then holds no absolute address to relocate.
constexpr CHAR8 LEVEL_NAMES[][8] = {"DEBUG", "INFO", "WARNING", "ERROR"};

// The ring's header words are shared with the boot stages before and after: each is read or
// written with exactly one 32-bit access, in program order, never merged with its neighbour.
// The area header may start at any byte, so the word is not assumed to be aligned.
struct __attribute__((packed)) RING_WORD {
  UINT32 Value;
};

UINT32 ReadRingWord(const UINT8* At) {
  return reinterpret_cast<const volatile RING_WORD*>(At)->Value;
}

VOID WriteRingWord(UINT8* At, UINT32 Value) {
  reinterpret_cast<volatile RING_WORD*>(At)->Value = Value;
}

// A level beyond the name table counts as an error rather than reading past the table.
UINT32 EffectiveLevel(UINT32 Level) {
  return Level > LOG_ERROR ? LOG_ERROR : Level;
}

// What the serial debug library sends: the message formatted through "%a" into its buffer, which
// is the message's first CONSOLE_BUFFER_SIZE - 1 characters as they are.
VOID EchoToConsole(const CHAR8* Message) {
  const UINTN Length = AsciiStrLen(Message);
  SerialPortWrite(reinterpret_cast<const UINT8*>(Message),
                  Length < CONSOLE_BUFFER_SIZE ? Length : CONSOLE_BUFFER_SIZE - 1);
}

// The ring base named by the selector byte, mapped over every offset its header can express.
UINT8* MapRing() {
  const UINT64 Base = MmioRead8(BOOT_LOG_SELECTOR) == BOOT_LOG_SELECTOR_LOW
                          ? BOOT_LOG_RING_BASE_LOW
                          : BOOT_LOG_RING_BASE_HIGH;
  return static_cast<UINT8*>(PhysicalAddressToPointer(Base, BOOT_LOG_RING_SPAN));
}

BOOLEAN RingPresent(const UINT8* Ring) {
  return ReadRingWord(Ring + RING_MAGIC) == BOOT_LOG_RING_MAGIC ? 1 : 0;
}

// Area header of this stage's log region: slot, log base and UEFI offsets, each within its bound.
UINT8* FindAreaHeader(UINT8* Ring) {
  const UINT32 Slot = ReadRingWord(Ring + RING_SLOT_INDEX) % RING_SLOT_COUNT;
  const UINT32 SlotStride =
      ReadRingWord(Ring + RING_SLOT_TABLE_SIZE) % RING_SLOT_TABLE_SIZE_MODULUS / RING_SLOT_COUNT;
  const UINT32 LogBase = ReadRingWord(Ring + RING_LOG_BASE_OFFSET) % RING_LOG_BASE_OFFSET_MODULUS;
  const UINT32 UefiOffset = ReadRingWord(Ring + RING_UEFI_OFFSET) % RING_UEFI_OFFSET_MODULUS;
  const UINT64 Region = static_cast<UINT64>(Slot) * SlotStride + LogBase + UefiOffset;
  return Ring + Region + AREA_HEADER_OFFSET;
}

VOID ProbeRing() {
  UINT8* Ring = MapRing();
  if (RingPresent(Ring)) {
    WriteRingWord(FindAreaHeader(Ring) + AREA_LEVEL_IN_FORCE, THRESHOLD_RING_PRESENT);
    LogThreshold = THRESHOLD_RING_PRESENT;
  } else {
    LogThreshold = THRESHOLD_RING_ABSENT;
  }
}

// Appends Length staged characters at the write offset, wrapping to the start of the data area.
// The header is rewritten only after every copy succeeded.
VOID WriteRing(const CHAR8* Staged, UINT32 Length) {
  UINT8* Ring = MapRing();
  if (!RingPresent(Ring)) {
    return;
  }
  UINT8* Header = FindAreaHeader(Ring);
  UINT8* Data = Header + AREA_HEADER_SIZE;
  const UINT32 FirstOffset = ReadRingWord(Header + AREA_FIRST_OFFSET);
  const UINT32 AreaSize = ReadRingWord(Header + AREA_SIZE);
  const UINT32 Preserved0C = ReadRingWord(Header + AREA_PRESERVED_0C);
  const UINT32 Wrapped = ReadRingWord(Header + AREA_WRAPPED);
  const UINT32 Preserved14 = ReadRingWord(Header + AREA_PRESERVED_14);
  const UINT32 WriteOffset = ReadRingWord(Header + AREA_WRITE_OFFSET);
  const UINT32 LevelInForce = ReadRingWord(Header + AREA_LEVEL_IN_FORCE);

  const UINT32 Size = AreaSize % AREA_SIZE_MODULUS;
  const UINT32 Write = WriteOffset % AREA_OFFSET_MODULUS;
  // A header this writer never produces (no data area, or a write offset past it), or a message
  // larger than the whole data area: writing would leave the area or overwrite the log with
  // itself, so the ring keeps what it has.
  if (Size < AREA_HEADER_SIZE) {
    return;
  }
  const UINT32 Capacity = Size - static_cast<UINT32>(AREA_HEADER_SIZE);
  if (Write > Capacity || Length > Capacity) {
    return;
  }

  const UINT32 End = Write + Length;
  UINT32 NewWriteOffset;
  UINT32 NewWrapped = Wrapped;
  if (End <= Capacity) {
    if (EFI_ERROR(CopyMemBounded(Data + Write, Capacity - Write, Staged, Length))) {
      return;
    }
    NewWriteOffset = End;
  } else {
    const UINT32 FirstPart = Capacity - Write;
    if (Write < Capacity && EFI_ERROR(CopyMemBounded(Data + Write, FirstPart, Staged, FirstPart))) {
      return;
    }
    if (EFI_ERROR(CopyMemBounded(Data, Capacity, Staged + FirstPart, End - Capacity))) {
      return;
    }
    NewWriteOffset = End - Capacity;
    NewWrapped = 1;
  }

  WriteRingWord(Header + AREA_FIRST_OFFSET, FirstOffset % AREA_OFFSET_MODULUS);
  WriteRingWord(Header + AREA_SIZE, Size);
  WriteRingWord(Header + AREA_PRESERVED_0C, Preserved0C);
  WriteRingWord(Header + AREA_WRAPPED, NewWrapped);
  WriteRingWord(Header + AREA_PRESERVED_14, Preserved14);
  WriteRingWord(Header + AREA_WRITE_OFFSET, NewWriteOffset);
  WriteRingWord(Header + AREA_LEVEL_IN_FORCE, LevelInForce);
}

} // namespace

EFI_STATUS CopyMemBounded(VOID* Destination, UINTN Room, const VOID* Source, UINTN Count) {
  if (Room == 0 || Room > BOUNDED_COPY_MAX_ROOM) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if (Destination == nullptr || Source == nullptr) {
    if (Destination != nullptr) {
      ZeroMem(Destination, Room);
    }
    return EFI_INVALID_PARAMETER;
  }
  if (Room < Count) {
    ZeroMem(Destination, Room);
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Destination == Source) {
    return EFI_SUCCESS;
  }
  const auto To = reinterpret_cast<UINTN>(Destination);
  const auto From = reinterpret_cast<UINTN>(Source);
  if (Count != 0 && To < From + Count && From < To + Count) {
    ZeroMem(Destination, Room);
    return EFI_ACCESS_DENIED;
  }
  CopyMem(Destination, Source, Count);
  return EFI_SUCCESS;
}

VOID LogPrint(UINT32 Level, const CHAR8* Format, ...) {
  CHAR8 Message[LOG_BUFFER_SIZE] = {};
  CHAR8 Staged[LOG_BUFFER_SIZE] = {};
  va_list Marker;
  va_start(Marker, Format);

  if (GetPlatformKind() != PLATFORM_KIND_SILICON) {
    if (AsciiVSPrint(Message, sizeof(Message), Format, Marker) != 0) {
      EchoToConsole(Message);
    }
    va_end(Marker);
    return;
  }

  if (LogThreshold == LOG_THRESHOLD_UNPROBED) {
    ProbeRing();
  }
  const UINT32 Effective = EffectiveLevel(Level);
  if (Effective < LogThreshold) {
    va_end(Marker);
    return;
  }

  // The message is formatted twice: once for the console, once behind the ring's prefix.
  va_list Again;
  va_copy(Again, Marker);
  if (AsciiVSPrint(Message, sizeof(Message), Format, Marker) != 0) {
    EchoToConsole(Message);
  }
  va_end(Marker);
  const UINTN PrefixLength =
      AsciiSPrint(Message, sizeof(Message), "[%a][UEFI]", LEVEL_NAMES[Effective]);
  if (PrefixLength == 0 ||
      AsciiVSPrint(Message + PrefixLength, sizeof(Message) - PrefixLength, Format, Again) == 0) {
    va_end(Again);
    return;
  }
  va_end(Again);

  // The ring holds text without carriage returns.
  UINT32 Length = 0;
  for (UINTN Index = 0; Index < LOG_BUFFER_SIZE - 1 && Message[Index] != '\0'; ++Index) {
    if (Message[Index] != '\r') {
      Staged[Length++] = Message[Index];
    }
  }
  Staged[Length] = '\0';
  if (Length != 0) {
    WriteRing(Staged, Length);
  }
}
