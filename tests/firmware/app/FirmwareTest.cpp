// FirmwareTest: the UEFI application of the firmware integration test, run twice by the shell's
// startup.nsh on a real EDK II firmware under QEMU.
//
//   FirmwareTest.efi claim
//     before any driver is loaded: takes every SoC register, record and ring range out of the
//     firmware's free memory (AllocatePages at fixed addresses) and zeroes it, so that the
//     script's `mm` seeds are the only non-zero words and nothing else is placed there.
//   FirmwareTest.efi check Name:GuardRva ...
//     after the script loaded the drivers named: checks what each one left in memory, calls
//     ImagerLaunchProtocol, loads NetBootClassId once more behind a spy of the firmware's PCD
//     protocol, dumps the boot-log ring and, when RootPortBringup is loaded, exits boot services
//     to see its notification disable the root ports.
//   FirmwareTest.efi fault
//     raises a CPU exception, for the runner's own negative test.
//
// Each check prints one verdict line, "FWTEST PASS <id>: ..." or "FWTEST FAIL <id>: ...", on the
// firmware console (the serial log). The expected values are literals that follow from the seeds
// in run_firmware_test.py; the two files change together.
#include <stdarg.h>

#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/ImagerLaunch.h>
#include <Protocol/Pcd.h>
#include <Uefi.h>

#include "FirmwareUefi.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Addresses and values shared with the seeds of run_firmware_test.py.

const EFI_GUID LOADED_IMAGE_GUID = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
const EFI_GUID DEVICE_PATH_GUID = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
const EFI_GUID PCD_GUID = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
const EFI_GUID IMAGER_LAUNCH_GUID = {
    0xE5037DA0, 0xD990, 0xF5CE, {0xD2, 0xE0, 0x7D, 0x39, 0x91, 0x30, 0xA5, 0xFF}};
const EFI_GUID LZMA_GUID = {
    0xEE4E5898, 0x3914, 0x4259, {0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF}};

// Both random-generator words are seeded non-zero: every image's guard becomes High:Low.
constexpr UINT64 SEEDED_GUARD = 0x5678EF011234ABCDULL;

constexpr UINT64 BOOT_COUNTER = 0x80020008;
constexpr UINT32 COUNTS_PER_MS = 38400;

constexpr UINT64 ISP_FW0 = 0xB0000000;
constexpr UINT64 ISP_FW1 = 0xB1000000;
constexpr UINT32 ISP_FW_SIZE = 0x10000;
constexpr UINT64 ISP_RECORD = 0xC6F36500;
constexpr UINT64 ISP_MARKER = 0xCD080C00;
constexpr UINT32 SENTINEL = 0x5A5A5A5A;

constexpr UINT64 RING_BASE = 0xC5280000;
// Slot 13 % 10 = 3 at stride 0x5000 / 10, log base (0x1000 + 308225) % 308225, UEFI offset 0x400.
constexpr UINT64 RING_REGION = RING_BASE + 3 * 0x800 + 0x1000 + 0x400;
constexpr UINT64 RING_AREA = RING_REGION + 0x400;
constexpr UINT64 RING_DATA = RING_AREA + 0x80;
constexpr UINT32 RING_AREA_SIZE = 0x4000;
constexpr UINT32 RING_SEEDED_TEXT = 16;

constexpr UINT64 PORT_ENABLE = 0xA2900004;

constexpr UINT64 QEMU_UART = 0x09000000; // the virt machine's PL011: the serial log
constexpr UINT64 QEMU_UART_FR = QEMU_UART + 0x18;
constexpr UINT32 QEMU_UART_TXFF = 0x20;

const CHAR8 PXE_VENDOR_CLASS[] = "PXEClient:Arch:xxxxx:UNDI:003000";
constexpr UINTN PXE_VENDOR_CLASS_SIZE = 33;
constexpr UINTN PCD_SET_PTR_SLOT = 19; // counted from 0: the twentieth member
constexpr UINTN PCD_SLOTS = sizeof(PCD_PROTOCOL) / sizeof(VOID*);

struct RANGE {
  const CHAR8* Name;
  UINT64 Base;
  UINT64 Pages;
};

// Free RAM at 4 GiB runs from 0x48000000 to about 0x13C000000 (shell memmap); everything the
// drivers touch lies in it except the low ring base 0x31280000, which is why the selector is
// seeded to pick the high one.
const RANGE CLAIMED_RANGES[] = {
    {"platform-id", 0x8000E000, 2},
    {"boot-counter", 0x80020000, 1},
    {"uart", 0x840C0000, 1},
    {"rng", 0x88110000, 1},
    {"isp-start", 0xA0780000, 1},
    {"pcie-misc", 0xA20C0000, 1},
    {"pcie", 0xA2800000, 0x1E0},
    {"isp-core0-g", 0xA8060000, 1},
    {"isp-blocks", 0xA80C0000, 0x30},
    {"isp-v3", 0xA9122000, 1},
    {"isp-core0-pb", 0xA9204000, 1},
    {"isp-core0-cb", 0xA9301000, 3},
    {"isp-core1-pb", 0xA9604000, 1},
    {"isp-core1-cb", 0xA9701000, 3},
    {"isp-core1-g", 0xAA060000, 1},
    {"isp-fw0", ISP_FW0, 16},
    {"isp-fw1", ISP_FW1, 16},
    {"boot-log-ring", RING_BASE, 16},
    {"boot-log-selector", 0xC6F08000, 1},
    {"isp-status", 0xC6F36000, 1},
    {"isp-marker", 0xCD080000, 1},
};

constexpr UINT64 LOW_RING_BASE = 0x31280000;

struct WORD {
  UINT64 Address;
  UINT32 Value;
};

// ---------------------------------------------------------------------------------------------
// Console and verdicts.

EFI_HANDLE mImageHandle;
BOOLEAN mBootServicesGone;
UINT32 mChecks;
UINT32 mFailures;

constexpr UINTN LINE_SIZE = 320;

VOID WriteText(const CHAR8* Text) {
  if (mBootServicesGone) {
    for (; *Text != '\0'; ++Text) {
      while ((*reinterpret_cast<volatile UINT32*>(QEMU_UART_FR) & QEMU_UART_TXFF) != 0) {
      }
      *reinterpret_cast<volatile UINT8*>(QEMU_UART) = static_cast<UINT8>(*Text);
    }
    return;
  }
  CHAR16 Wide[LINE_SIZE];
  UINTN Length = 0;
  for (; *Text != '\0' && Length < LINE_SIZE - 1; ++Text) {
    Wide[Length++] = static_cast<UINT8>(*Text);
  }
  Wide[Length] = 0;
  auto* ConOut = static_cast<SIMPLE_TEXT_OUTPUT_PROTOCOL*>(gST->ConOut);
  ConOut->OutputString(ConOut, Wide);
}

VOID Print(const CHAR8* Format, ...) {
  CHAR8 Line[LINE_SIZE];
  va_list Marker;
  va_start(Marker, Format);
  AsciiVSPrint(Line, sizeof(Line), Format, Marker);
  va_end(Marker);
  WriteText(Line);
}

// One check: collects its mismatches and prints one verdict line at the end.
struct CHECK {
  CHAR8 Id[48];
  UINT32 Mismatches;
  CHAR8 First[200];
};

CHECK BeginCheck(const CHAR8* Format, ...) {
  CHECK Check = {};
  va_list Marker;
  va_start(Marker, Format);
  AsciiVSPrint(Check.Id, sizeof(Check.Id), Format, Marker);
  va_end(Marker);
  return Check;
}

VOID Mismatch(CHECK& Check, const CHAR8* Format, ...) {
  CHAR8 Text[200];
  va_list Marker;
  va_start(Marker, Format);
  AsciiVSPrint(Text, sizeof(Text), Format, Marker);
  va_end(Marker);
  if (Check.Mismatches++ == 0) {
    AsciiSPrint(Check.First, sizeof(Check.First), "%a", Text);
  }
  Print("FWTEST NOTE %a: %a\n", Check.Id, Text);
}

VOID EndCheck(CHECK& Check, const CHAR8* Format, ...) {
  ++mChecks;
  if (Check.Mismatches != 0) {
    ++mFailures;
    Print("FWTEST FAIL %a: %a (%u mismatch%a)\n", Check.Id, Check.First, Check.Mismatches,
          Check.Mismatches == 1 ? "" : "es");
    return;
  }
  CHAR8 Text[200];
  va_list Marker;
  va_start(Marker, Format);
  AsciiVSPrint(Text, sizeof(Text), Format, Marker);
  va_end(Marker);
  Print("FWTEST PASS %a: %a\n", Check.Id, Text);
}

UINT32 Peek32(UINT64 Address) {
  return *reinterpret_cast<volatile UINT32*>(Address);
}
VOID Poke32(UINT64 Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32*>(Address) = Value;
}

VOID ExpectWord(CHECK& Check, UINT64 Address, UINT32 Expected) {
  const UINT32 Actual = Peek32(Address);
  if (Actual != Expected) {
    Mismatch(Check, "0x%lX = 0x%08X, expected 0x%08X", Address, Actual, Expected);
  }
}

template <UINTN Count>
VOID ExpectWords(CHECK& Check, const WORD (&Words)[Count]) {
  for (const WORD& Word : Words) {
    ExpectWord(Check, Word.Address, Word.Value);
  }
}

VOID ExpectStatus(CHECK& Check, const CHAR8* What, EFI_STATUS Actual, EFI_STATUS Expected) {
  if (Actual != Expected) {
    Mismatch(Check, "%a returned %r, expected %r", What, Actual, Expected);
  }
}

BOOLEAN SameGuid(const EFI_GUID& A, const EFI_GUID& B) {
  return __builtin_memcmp(&A, &B, sizeof(EFI_GUID)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Command line and images.

constexpr UINTN MAX_ARGS = 12;
constexpr UINTN ARG_TEXT_SIZE = 512;

struct ARGS {
  CHAR8 Text[ARG_TEXT_SIZE];
  const CHAR8* Words[MAX_ARGS];
  UINTN Count;
};

// The shell hands the command line, program name first, as the image's load options.
VOID ReadArgs(ARGS& Args) {
  Args.Count = 0;
  LOADED_IMAGE_PROTOCOL* Self = nullptr;
  if (gBS->HandleProtocol(mImageHandle, const_cast<EFI_GUID*>(&LOADED_IMAGE_GUID),
                          reinterpret_cast<VOID**>(&Self)) != EFI_SUCCESS ||
      Self->LoadOptions == nullptr) {
    return;
  }
  const auto* Wide = static_cast<const CHAR16*>(Self->LoadOptions);
  const UINTN WideLength = Self->LoadOptionsSize / sizeof(CHAR16);
  UINTN Length = 0;
  for (UINTN Index = 0; Index < WideLength && Wide[Index] != 0 && Length < ARG_TEXT_SIZE - 1;
       ++Index) {
    Args.Text[Length++] = static_cast<CHAR8>(Wide[Index]);
  }
  Args.Text[Length] = '\0';
  bool InWord = false;
  for (UINTN Index = 0; Index < Length; ++Index) {
    if (Args.Text[Index] == ' ') {
      Args.Text[Index] = '\0';
      InWord = false;
    } else if (!InWord && Args.Count < MAX_ARGS) {
      Args.Words[Args.Count++] = &Args.Text[Index];
      InWord = true;
    }
  }
}

BOOLEAN SameText(const CHAR8* A, const CHAR8* B) {
  while (*A != '\0' && *A == *B) {
    ++A;
    ++B;
  }
  return *A == *B;
}

// "Name:Rva" names a loaded driver and the RVA of its stack guard (from its map file).
struct DRIVER {
  CHAR8 Name[32];
  UINT64 GuardRva;
};

UINTN ParseDrivers(const ARGS& Args, DRIVER* Drivers, UINTN Max) {
  UINTN Count = 0;
  for (UINTN Index = 2; Index < Args.Count && Count < Max; ++Index) {
    DRIVER& Driver = Drivers[Count++];
    const CHAR8* Word = Args.Words[Index];
    UINTN Length = 0;
    while (Word[Length] != '\0' && Word[Length] != ':' && Length < sizeof(Driver.Name) - 1) {
      Driver.Name[Length] = Word[Length];
      ++Length;
    }
    Driver.Name[Length] = '\0';
    Driver.GuardRva = 0;
    if (Word[Length] == ':') {
      for (const CHAR8* Digit = Word + Length + 1; *Digit != '\0'; ++Digit) {
        const CHAR8 C = *Digit;
        const UINT64 Value = C >= '0' && C <= '9'   ? C - '0'
                             : C >= 'A' && C <= 'F' ? C - 'A' + 10
                             : C >= 'a' && C <= 'f' ? C - 'a' + 10
                                                    : 0;
        Driver.GuardRva = Driver.GuardRva * 16 + Value;
      }
    }
  }
  return Count;
}

BOOLEAN IsLoaded(const DRIVER* Drivers, UINTN Count, const CHAR8* Name) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (SameText(Drivers[Index].Name, Name)) {
      return 1;
    }
  }
  return 0;
}

CHAR8 Lower(CHAR8 C) {
  return C >= 'A' && C <= 'Z' ? static_cast<CHAR8>(C - 'A' + 'a') : C;
}

// True when the last file node of Path names "<Name>.efi" (the shell loads from fs0:\).
BOOLEAN PathNamesImage(const EFI_DEVICE_PATH_PROTOCOL* Path, const CHAR8* Name) {
  CHAR8 File[64] = {};
  for (const auto* Node = reinterpret_cast<const UINT8*>(Path);
       Node != nullptr && Node[0] != DEVICE_PATH_END;) {
    const UINTN NodeLength = Node[2] | (Node[3] << 8);
    if (NodeLength < 4) {
      break;
    }
    if (Node[0] == DEVICE_PATH_MEDIA && Node[1] == DEVICE_PATH_MEDIA_FILE) {
      UINTN Length = 0;
      for (UINTN Offset = 4; Offset + 1 < NodeLength && Length < sizeof(File) - 1; Offset += 2) {
        const CHAR8 C = static_cast<CHAR8>(Node[Offset]);
        if (C == '\0') {
          break;
        }
        if (C == '\\') {
          Length = 0;
        } else {
          File[Length++] = Lower(C);
        }
      }
      File[Length] = '\0';
    }
    Node += NodeLength;
  }
  CHAR8 Wanted[64];
  const UINTN WantedLength = AsciiSPrint(Wanted, sizeof(Wanted), "%a.efi", Name);
  for (UINTN Index = 0; Index < WantedLength; ++Index) {
    Wanted[Index] = Lower(Wanted[Index]);
  }
  return SameText(File, Wanted);
}

// The first loaded image whose file is "<Name>.efi", or null.
LOADED_IMAGE_PROTOCOL* FindImage(const CHAR8* Name, EFI_HANDLE* Handle) {
  UINTN Count = 0;
  EFI_HANDLE* Handles = nullptr;
  if (gBS->LocateHandleBuffer(ByProtocol, const_cast<EFI_GUID*>(&LOADED_IMAGE_GUID), nullptr,
                              &Count, &Handles) != EFI_SUCCESS) {
    return nullptr;
  }
  LOADED_IMAGE_PROTOCOL* Found = nullptr;
  for (UINTN Index = 0; Index < Count && Found == nullptr; ++Index) {
    LOADED_IMAGE_PROTOCOL* Image = nullptr;
    if (gBS->HandleProtocol(Handles[Index], const_cast<EFI_GUID*>(&LOADED_IMAGE_GUID),
                            reinterpret_cast<VOID**>(&Image)) == EFI_SUCCESS &&
        PathNamesImage(Image->FilePath, Name)) {
      Found = Image;
      if (Handle != nullptr) {
        *Handle = Handles[Index];
      }
    }
  }
  gBS->FreePool(Handles);
  return Found;
}

// ---------------------------------------------------------------------------------------------
// claim

VOID ClaimRanges() {
  for (const RANGE& Range : CLAIMED_RANGES) {
    CHECK Check = BeginCheck("claim.%a", Range.Name);
    EFI_PHYSICAL_ADDRESS Address = Range.Base;
    const EFI_STATUS Status =
        gBS->AllocatePages(AllocateAddress, EfiReservedMemoryType, Range.Pages, &Address);
    if (Status != EFI_SUCCESS || Address != Range.Base) {
      Mismatch(Check, "AllocatePages(0x%lX, %lu pages) returned %r", Range.Base, Range.Pages,
               Status);
    } else {
      gBS->SetMem(reinterpret_cast<VOID*>(Range.Base), Range.Pages * 4096, 0);
    }
    EndCheck(Check, "0x%lX-0x%lX reserved and zeroed", Range.Base,
             Range.Base + Range.Pages * 4096 - 1);
  }

  CHECK Check = BeginCheck("claim.low-ring-absent");
  EFI_PHYSICAL_ADDRESS Address = LOW_RING_BASE;
  const EFI_STATUS Status = gBS->AllocatePages(AllocateAddress, EfiReservedMemoryType, 1, &Address);
  if (Status == EFI_SUCCESS) {
    gBS->FreePages(Address, 1);
  }
  ExpectStatus(Check, "AllocatePages(0x31280000)", Status, EFI_NOT_FOUND);
  EndCheck(Check, "0x31280000 is not RAM here (%r)", Status);
}

// The memory type that the firmware's memory map gives the page holding Address, or ~0.
UINT32 MemoryTypeAt(const VOID* Address) {
  UINTN Size = 0;
  UINTN Key = 0;
  UINTN DescriptorSize = 0;
  UINT32 Version = 0;
  gBS->GetMemoryMap(&Size, nullptr, &Key, &DescriptorSize, &Version);
  Size += 8 * DescriptorSize;
  UINT8* Map = nullptr;
  if (DescriptorSize == 0 ||
      gBS->AllocatePool(EfiLoaderData, Size, reinterpret_cast<VOID**>(&Map)) != EFI_SUCCESS) {
    return ~0U;
  }
  UINT32 Type = ~0U;
  if (gBS->GetMemoryMap(&Size, reinterpret_cast<EFI_MEMORY_DESCRIPTOR*>(Map), &Key, &DescriptorSize,
                        &Version) == EFI_SUCCESS) {
    const auto Wanted = reinterpret_cast<UINT64>(Address);
    for (UINTN Offset = 0; Offset + DescriptorSize <= Size; Offset += DescriptorSize) {
      const auto* Descriptor = reinterpret_cast<const EFI_MEMORY_DESCRIPTOR*>(Map + Offset);
      if (Wanted >= Descriptor->PhysicalStart &&
          Wanted - Descriptor->PhysicalStart < Descriptor->NumberOfPages * 4096) {
        Type = Descriptor->Type;
      }
    }
  }
  gBS->FreePool(Map);
  return Type;
}

// Pool blocks handed to the firmware are boot-services data: the memory map says which type the
// AllocatePool call asked for.
VOID ExpectBootServicesData(CHECK& Check, const CHAR8* What, const VOID* Block) {
  const UINT32 Type = MemoryTypeAt(Block);
  if (Type != EfiBootServicesData) {
    Mismatch(Check, "%a at 0x%p lies in memory of type %u, expected %u (boot-services data)", What,
             Block, Type, EfiBootServicesData);
  }
}

// ---------------------------------------------------------------------------------------------
// check: start-up of every image

VOID CheckGuards(const DRIVER* Drivers, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    const CHAR8* Name = Drivers[Index].Name;
    CHECK Check = BeginCheck("startup.guard.%a", Name);
    const LOADED_IMAGE_PROTOCOL* Image = FindImage(Name, nullptr);
    UINT64 Base = 0;
    UINT64 Guard = 0;
    if (Image == nullptr) {
      Mismatch(Check, "no loaded image %a.efi", Name);
    } else if (Drivers[Index].GuardRva == 0 || Drivers[Index].GuardRva + 8 > Image->ImageSize) {
      Mismatch(Check, "guard RVA 0x%lX outside the image", Drivers[Index].GuardRva);
    } else {
      Base = reinterpret_cast<UINT64>(Image->ImageBase);
      Guard = *reinterpret_cast<volatile UINT64*>(Base + Drivers[Index].GuardRva);
      if (Guard != SEEDED_GUARD) {
        Mismatch(Check, "guard %016lX, expected %016lX", Guard, SEEDED_GUARD);
      }
      if (Base == 0) {
        Mismatch(Check, "loaded at its link base 0");
      }
    }
    EndCheck(Check, "guard %016lX from the generator, image relocated to 0x%lX", Guard, Base);
  }
}

VOID CheckUart() {
  static const WORD UART[] = {
      {0x840C0004, 0x00000000}, // receive status cleared over the seeded 0xFF
      {0x840C0018, 0x00000080}, // flags: only read
      {0x840C0024, 108},        {0x840C0028, 32},
      {0x840C002C, 0x00000070}, {0x840C0030, 0x00000301},
  };
  CHECK Check = BeginCheck("startup.uart");
  ExpectWords(Check, UART);
  EndCheck(Check, "PL011 divisors 108 + 32/64, LCR_H 0x70, CR 0x301, receive status cleared");
}

// Every image installs the table again under the same GUID: one entry, a 16-byte GUID copy.
VOID CheckLzmaTable() {
  CHECK Check = BeginCheck("startup.lzma-table");
  UINTN Found = 0;
  const VOID* Table = nullptr;
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; ++Index) {
    if (SameGuid(gST->ConfigurationTable[Index].VendorGuid, LZMA_GUID)) {
      ++Found;
      Table = gST->ConfigurationTable[Index].VendorTable;
    }
  }
  if (Found != 1) {
    Mismatch(Check, "%lu entries under EE4E5898-3914-4259-9D6E-DC7BD79403CF, expected 1", Found);
  } else if (Table == nullptr || !SameGuid(*static_cast<const EFI_GUID*>(Table), LZMA_GUID)) {
    Mismatch(Check, "the table at 0x%p is not a copy of the GUID", Table);
  } else {
    ExpectBootServicesData(Check, "the GUID copy", Table);
  }
  EndCheck(Check, "one entry, table at 0x%p holds the GUID, in boot-services data", Table);
}

// ---------------------------------------------------------------------------------------------
// check: RootPortBringup (chip variant 1, board 0x33: controllers 8, 9 and 10)

VOID CheckRootPort() {
  CHECK Check = BeginCheck("rootport.ports-enabled");
  // Ports 8, 9 and 10 own bits 0, 2 and 4; the ExitBootServices hook has not run yet.
  ExpectWord(Check, PORT_ENABLE, 0x00000015);
  EndCheck(Check, "0xA2900004 = 0x15 (ports 8, 9, 10) before ExitBootServices");

  static const WORD REGISTERS[] = {
      {0xA20C0328, 0x00000007},
      {0xA2820048, 0x00000700}, // bits 8, 9, 10: one per controller
      {0xA290504C, 0x00000024}, // link capabilities: speed 4, width 2
      {0xA290D04C, 0x00000024},
      {0xA291504C, 0x00000024},
      {0xA29072EC, 0x00000F00}, // Ctl2EC fields 0x700 and the 8-bit MAC width
      {0xA29D0378, 0x00100000},
      {0xA2916088, 0x00040000}, // SSD link status: only read
      // The twenty global writes.
      {0xA2801264, 0x00000000},
      {0xA2801268, 0xD0000000},
      {0xA280126C, 0x00000000},
      {0xA2805504, 0x00000000},
      {0xA2805508, 0x87010040},
      {0xA2805500, 0x00000001},
      {0xA2800008, 0x00000040},
      {0xA280000C, 0x00000000},
      {0xA2800014, 0x00000040},
      {0xA2800010, 0x00000000},
      {0xA280001C, 0x00000040},
      {0xA2800018, 0x00000000},
      {0xA2800000, 0x00000001},
      {0xA2800048, 0x00000000},
      {0xA280004C, 0x08000000},
      {0xA2800054, 0x00000000},
      {0xA2800050, 0xE0000000},
      {0xA280005C, 0x00000000},
      {0xA2800058, 0xE0000000},
      {0xA2800040, 0x00000001},
  };
  Check = BeginCheck("rootport.registers");
  ExpectWords(Check, REGISTERS);
  EndCheck(Check, "%lu registers as the full path leaves them",
           sizeof(REGISTERS) / sizeof(REGISTERS[0]));
}

// ---------------------------------------------------------------------------------------------
// check: PortErrorSetup (silicon, second chip absent: chip 0 only)

VOID CheckRas() {
  static const WORD REGISTERS[] = {
      {0xA2904578, 0x00000000},
      {0xA2904574, 0xFFFFE020},
      {0xA290608C, 0xFFFE0448},
      {0xA2907058, 0xFF3FFFF7},
      {0xA29073A8, 0x3F3FB6F7},
      {0xA2900158, 0xFFFFFFFF},
      {0xA2900154, 0x00000000},
      {0xA2806BE4, 0xE3FFFFF0},
      {0xA2800810, 0xF67FFFFF},
      {0xA2800814, 0xC00FFFFF},
      {0xA280C044, 0xFFFF8081},
      {0xA280DF44, 0xFFFF8081},
      {0xA280DF40, 0xFFFFFFFF},
      {0xA280E184, 0x000077E0},
      {0xA2809420, 0xFFFFFFFF},
      {0xA2810278, 0x0000000F},
      {0xA281027C, 0xFFFFFFF0},
      {0xA28137E4, 0xFFFFFFFF},
      {0xA2813090, 0x00000002},
      {0xA2808020, 0xFFF00000},
      {0xA2808030, 0xFFF00000},
      // The four merges, over seeds 0xFFFFFFFF, 0, 1 and 0x80000000.
      {0xA29073E4, 0xFFFFFFFD},
      {0xA2808000, 0x0002222A},
      {0xA2808010, 0x02300001},
      {0xA2808018, 0x82300000},
  };
  CHECK Check = BeginCheck("ras.registers");
  ExpectWords(Check, REGISTERS);
  EndCheck(Check, "%lu registers of chip 0, merges keep the seeded bits",
           sizeof(REGISTERS) / sizeof(REGISTERS[0]));
}

// ---------------------------------------------------------------------------------------------
// check: ImagerLauncher through its protocol

VOID ExpectRecord(CHECK& Check, UINT32 Value0, UINT32 Value1, UINT32 Sum) {
  const WORD Record[] = {
      {ISP_RECORD, 0x00495350},
      {ISP_RECORD + 4, Value0},
      {ISP_RECORD + 8, Value1},
      {ISP_RECORD + 12, Sum},
  };
  ExpectWords(Check, Record);
}

// Registers that a rejected StartIsp must leave alone, loaded with a sentinel first.
const UINT64 ISP_UNTOUCHED_ON_REJECT[] = {0xA80E0000, 0xA80C0334, 0xA80600D0,
                                          0xA9303048, 0xA93031A4, 0xA0780030};

VOID CheckImagerLauncher() {
  CHECK Check = BeginCheck("isp.protocol");
  IMAGER_LAUNCH_PROTOCOL* Isp = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(const_cast<EFI_GUID*>(&IMAGER_LAUNCH_GUID), nullptr,
                                          reinterpret_cast<VOID**>(&Isp));
  ExpectStatus(Check, "LocateProtocol", Status, EFI_SUCCESS);
  UINTN Count = 0;
  EFI_HANDLE* Handles = nullptr;
  EFI_HANDLE ImageHandle = nullptr;
  if (gBS->LocateHandleBuffer(ByProtocol, const_cast<EFI_GUID*>(&IMAGER_LAUNCH_GUID), nullptr,
                              &Count, &Handles) == EFI_SUCCESS) {
    const bool OnImage = FindImage("ImagerLauncher", &ImageHandle) != nullptr;
    if (Count != 1 || !OnImage || Handles[0] != ImageHandle) {
      Mismatch(Check, "on %lu handles, not the ImagerLauncher image handle", Count);
    }
    gBS->FreePool(Handles);
  } else {
    Mismatch(Check, "no handle carries the protocol");
  }
  if (Isp != nullptr) {
    ExpectBootServicesData(Check, "the interface", Isp);
  }
  EndCheck(Check, "at 0x%p in boot-services data, on the driver's image handle", Isp);
  if (Isp == nullptr) {
    return;
  }

  // Loading the driver started nothing: the seeds are still in place.
  static const WORD IDLE[] = {
      {ISP_RECORD, 0xDEADBEEF}, {ISP_RECORD + 12, 0xDEADBEEF}, {ISP_MARKER, 0x12345678},
      {0xA0780030, 0x00000001}, {0xA9303048, 0xF000000F},      {0xA80C0334, 0x00000000},
  };
  Check = BeginCheck("isp.idle-after-load");
  ExpectWords(Check, IDLE);
  EndCheck(Check, "status record, marker and ISP registers untouched by the load");

  // Both images accepted, on chip variant 1.
  Poke32(BOOT_COUNTER, 5007 * COUNTS_PER_MS);
  Check = BeginCheck("isp.start-both");
  Status = Isp->StartIsp(ISP_FW0, ISP_FW1, ISP_FW_SIZE, ISP_FW_SIZE);
  ExpectStatus(Check, "StartIsp", Status, EFI_SUCCESS);
  ExpectRecord(Check, 1, 1, 2);
  if (__builtin_memcmp(reinterpret_cast<const VOID*>(ISP_RECORD), "PSI", 4) != 0) {
    Mismatch(Check, "the record does not start with \"PSI\" and a zero byte");
  }
  EndCheck(Check, "StartIsp(0x%lX, 0x%lX, 0x%X, 0x%X) = %r, record PSI 1 1 2", ISP_FW0, ISP_FW1,
           ISP_FW_SIZE, ISP_FW_SIZE, Status);

  static const WORD REGISTERS[] = {
      {0xA80E0000, 0x00000000}, {0xA80E001C, 0x00000000}, {0xA80E0020, SENTINEL},
      {0xA80E0044, SENTINEL},   {0xA80E0800, 0x00000048}, {0xA80E081C, 0x00000048},
      {0xA80C0334, 0xFFFFFFFF}, {0xA80C0C4C, 0xFFFFFFFF}, {0xA80C0388, 0xFFFFFFFF},
      {0xA80600D0, 0x00000002}, {0xAA0600D0, 0x00000002}, {0xA9303048, 0xF00F0000},
      {0xA9703048, 0x000F0100}, {0xA93031A4, 0x8100B000}, {0xA97031A4, 0x0100B100},
      {0xA9303058, 0xA93E1FFF}, {0xA9703058, 0xA97E0000}, {0xA930304C, SENTINEL},
      {0xA970304C, 0x00000000}, {0xA9303068, 0xFFFFFFFF}, {0xA9703068, 0xFFFFFFFF},
      {0xA930306C, 0x0000FFFF}, {0xA970306C, 0x0000FFFF}, {0xA9204038, 0xFFFFFFFF},
      {0xA9604038, 0xFFFFFFFF}, {0xA9122038, SENTINEL},   {0xA9301000, 0x00000008},
      {0xA9701000, 0x00000008}, {0xA0780030, 0x00000101},
  };
  Check = BeginCheck("isp.registers");
  ExpectWords(Check, REGISTERS);
  EndCheck(Check, "%lu registers: both cores set up, start bit 8, final control bits",
           sizeof(REGISTERS) / sizeof(REGISTERS[0]));

  Check = BeginCheck("isp.set-status");
  Status = Isp->SetIspStatus(0xFFFFFFFF, 1);
  ExpectStatus(Check, "SetIspStatus", Status, EFI_SUCCESS);
  ExpectRecord(Check, 0xFFFFFFFF, 1, 0);
  EndCheck(Check, "SetIspStatus(0xFFFFFFFF, 1) = %r, sum wraps to 0", Status);

  Check = BeginCheck("isp.marker");
  ExpectWord(Check, ISP_MARKER, 0x12345678);
  Status = Isp->WriteIspMarker();
  ExpectStatus(Check, "WriteIspMarker", Status, EFI_SUCCESS);
  ExpectWord(Check, ISP_MARKER, 0xABABABAB);
  EndCheck(Check, "WriteIspMarker() = %r, 0xCD080C00 = 0xABABABAB", Status);

  for (const UINT64 Address : ISP_UNTOUCHED_ON_REJECT) {
    Poke32(Address, SENTINEL);
  }
  Check = BeginCheck("isp.reject");
  Status = Isp->StartIsp(ISP_FW0, 0, 0x1400001, 0);
  ExpectStatus(Check, "StartIsp", Status, EFI_SUCCESS);
  ExpectRecord(Check, 0, 0, 0);
  for (const UINT64 Address : ISP_UNTOUCHED_ON_REJECT) {
    ExpectWord(Check, Address, SENTINEL);
  }
  EndCheck(Check, "StartIsp(0x%lX, 0, 0x1400001, 0) = %r, record PSI 0 0 0, no register", ISP_FW0,
           Status);
}

// The console echo's 8-bit stores of the last warning left its line feed in the data register.
VOID CheckConsoleEcho() {
  CHECK Check = BeginCheck("console.echo");
  ExpectWord(Check, 0x840C0000, 0x0000000A);
  EndCheck(Check, "last byte sent to the PL011 data register is a line feed");
}

// ---------------------------------------------------------------------------------------------
// check: NetBootClassId behind a spy of the firmware's PCD protocol

struct PCD_SPY {
  PCD_PROTOCOL* Firmware;
  UINT32 SetPtrCalls;
  UINT32 OtherSlots; // bit n: member n was called
  UINTN Token;
  UINTN SizeIn;
  UINTN SizeOut;
  CHAR8 Buffer[40];
  EFI_STATUS Answer;
};

PCD_SPY mSpy;

EFI_STATUS EFIAPI SpySetPtr(UINTN TokenNumber, UINTN* SizeOfBuffer, VOID* Buffer) {
  ++mSpy.SetPtrCalls;
  mSpy.Token = TokenNumber;
  mSpy.SizeIn = SizeOfBuffer != nullptr ? *SizeOfBuffer : 0;
  if (Buffer != nullptr && mSpy.SizeIn <= sizeof(mSpy.Buffer)) {
    __builtin_memcpy(mSpy.Buffer, Buffer, mSpy.SizeIn);
  }
  mSpy.Answer = mSpy.Firmware->SetPtr(TokenNumber, SizeOfBuffer, Buffer);
  mSpy.SizeOut = SizeOfBuffer != nullptr ? *SizeOfBuffer : 0;
  return mSpy.Answer;
}

// Every other member records its slot and refuses, so a call through a wrong slot is seen.
template <UINTN Slot>
UINTN EFIAPI SpyOtherSlot() {
  mSpy.OtherSlots |= 1U << Slot;
  return EFI_UNSUPPORTED;
}

template <UINTN Slot>
VOID FillSpySlots(VOID** Slots) {
  Slots[Slot] = reinterpret_cast<VOID*>(&SpyOtherSlot<Slot>);
  if constexpr (Slot > 0) {
    FillSpySlots<Slot - 1>(Slots);
  }
}

// The device path of "\Name.efi" on the volume this application was loaded from.
BOOLEAN BuildFilePath(const CHAR8* Name, UINT8* Path, UINTN Room) {
  LOADED_IMAGE_PROTOCOL* Self = nullptr;
  const UINT8* Device = nullptr;
  if (gBS->HandleProtocol(mImageHandle, const_cast<EFI_GUID*>(&LOADED_IMAGE_GUID),
                          reinterpret_cast<VOID**>(&Self)) != EFI_SUCCESS ||
      gBS->HandleProtocol(Self->DeviceHandle, const_cast<EFI_GUID*>(&DEVICE_PATH_GUID),
                          reinterpret_cast<VOID**>(const_cast<UINT8**>(&Device))) != EFI_SUCCESS) {
    return 0;
  }
  UINTN DeviceLength = 0;
  while (Device[DeviceLength] != DEVICE_PATH_END) {
    const UINTN NodeLength = Device[DeviceLength + 2] | (Device[DeviceLength + 3] << 8);
    if (NodeLength < 4) {
      return 0;
    }
    DeviceLength += NodeLength;
  }
  CHAR8 File[48];
  const UINTN FileLength = AsciiSPrint(File, sizeof(File), "\\%a.efi", Name);
  const UINTN FileNode = 4 + (FileLength + 1) * 2;
  if (DeviceLength + FileNode + 4 > Room) {
    return 0;
  }
  __builtin_memcpy(Path, Device, DeviceLength);
  UINT8* Node = Path + DeviceLength;
  Node[0] = DEVICE_PATH_MEDIA;
  Node[1] = DEVICE_PATH_MEDIA_FILE;
  Node[2] = static_cast<UINT8>(FileNode);
  Node[3] = static_cast<UINT8>(FileNode >> 8);
  for (UINTN Index = 0; Index <= FileLength; ++Index) {
    Node[4 + 2 * Index] = static_cast<UINT8>(File[Index]);
    Node[5 + 2 * Index] = 0;
  }
  Node += FileNode;
  Node[0] = DEVICE_PATH_END;
  Node[1] = DEVICE_PATH_END_ENTIRE;
  Node[2] = 4;
  Node[3] = 0;
  return 1;
}

VOID PrintPcdToken(const CHAR8* When, PCD_PROTOCOL* Pcd) {
  const UINTN Size = Pcd->GetSize(2);
  const auto* Value = static_cast<const UINT8*>(Pcd->GetPtr(2));
  CHAR8 Hex[3 * 40 + 1] = {};
  for (UINTN Index = 0; Value != nullptr && Index < Size && Index < 40; ++Index) {
    AsciiSPrint(Hex + 3 * Index, 4, "%02X ", Value[Index]);
  }
  Print("FWTEST INFO pcd token 2 %a: GetSize %lu, GetPtr 0x%p: %a\n", When, Size, Value, Hex);
}

VOID CheckNetBootClassId() {
  CHECK Check = BeginCheck("pcd.located");
  PCD_PROTOCOL* Firmware = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(const_cast<EFI_GUID*>(&PCD_GUID), nullptr,
                                          reinterpret_cast<VOID**>(&Firmware));
  ExpectStatus(Check, "LocateProtocol(gPcdProtocolGuid)", Status, EFI_SUCCESS);
  UINTN Count = 0;
  EFI_HANDLE* Handles = nullptr;
  EFI_HANDLE PcdHandle = nullptr;
  if (gBS->LocateHandleBuffer(ByProtocol, const_cast<EFI_GUID*>(&PCD_GUID), nullptr, &Count,
                              &Handles) == EFI_SUCCESS &&
      Count >= 1) {
    PcdHandle = Handles[0];
    gBS->FreePool(Handles);
  } else {
    Mismatch(Check, "no handle carries the PCD protocol");
  }
  EndCheck(Check, "the firmware's PCD protocol at 0x%p", Firmware);
  if (Firmware == nullptr || PcdHandle == nullptr) {
    return;
  }
  // After the script's load: what the firmware's database holds now.
  PrintPcdToken("after load", Firmware);

  // Load the driver again, with the spy standing in for the firmware's interface.
  static PCD_PROTOCOL Spy;
  FillSpySlots<PCD_SLOTS - 1>(reinterpret_cast<VOID**>(&Spy));
  Spy.SetPtr = SpySetPtr;
  mSpy = {};
  mSpy.Firmware = Firmware;
  Check = BeginCheck("pcd.spy-installed");
  Status =
      gBS->ReinstallProtocolInterface(PcdHandle, const_cast<EFI_GUID*>(&PCD_GUID), Firmware, &Spy);
  ExpectStatus(Check, "ReinstallProtocolInterface", Status, EFI_SUCCESS);
  EndCheck(Check, "spy interface at 0x%p over the firmware's 0x%p", &Spy, Firmware);
  if (Status != EFI_SUCCESS) {
    return;
  }
  UINT8 Path[256];
  EFI_HANDLE Driver = nullptr;
  EFI_STATUS LoadStatus = EFI_NOT_FOUND;
  EFI_STATUS DriverStatus = EFI_NOT_STARTED;
  if (BuildFilePath("NetBootClassId", Path, sizeof(Path))) {
    LoadStatus = gBS->LoadImage(0, mImageHandle, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(Path),
                                nullptr, 0, &Driver);
    if (LoadStatus == EFI_SUCCESS) {
      DriverStatus = gBS->StartImage(Driver, nullptr, nullptr);
    }
  }
  Check = BeginCheck("pcd.spy-restored");
  Status =
      gBS->ReinstallProtocolInterface(PcdHandle, const_cast<EFI_GUID*>(&PCD_GUID), &Spy, Firmware);
  ExpectStatus(Check, "ReinstallProtocolInterface", Status, EFI_SUCCESS);
  PCD_PROTOCOL* Found = nullptr;
  gBS->LocateProtocol(const_cast<EFI_GUID*>(&PCD_GUID), nullptr, reinterpret_cast<VOID**>(&Found));
  if (Found != Firmware) {
    Mismatch(Check, "LocateProtocol finds 0x%p, not the firmware's 0x%p", Found, Firmware);
  }
  EndCheck(Check, "the firmware's interface is back");

  Check = BeginCheck("pcd.driver-status");
  ExpectStatus(Check, "LoadImage(NetBootClassId.efi)", LoadStatus, EFI_SUCCESS);
  ExpectStatus(Check, "the driver entry", DriverStatus, EFI_SUCCESS);
  EndCheck(Check, "NetBootClassId returned %r", DriverStatus);

  Check = BeginCheck("pcd.set-ptr-slot");
  if (mSpy.OtherSlots != 0) {
    Mismatch(Check, "members other than SetPtr were called (slot mask 0x%X)", mSpy.OtherSlots);
  }
  if (mSpy.SetPtrCalls != 1) {
    Mismatch(Check, "SetPtr called %u times, expected once", mSpy.SetPtrCalls);
  }
  if (mSpy.Token != 2 || mSpy.SizeIn != PXE_VENDOR_CLASS_SIZE ||
      __builtin_memcmp(mSpy.Buffer, PXE_VENDOR_CLASS, PXE_VENDOR_CLASS_SIZE) != 0) {
    Mismatch(Check, "SetPtr(%lu, size %lu, \"%a\"), expected SetPtr(2, 33, the string)", mSpy.Token,
             mSpy.SizeIn, mSpy.Buffer);
  }
  EndCheck(Check, "only member %lu (SetPtr, offset %lu) called, once: token 2, size 33, \"%a\"",
           PCD_SET_PTR_SLOT + 1, PCD_SET_PTR_SLOT * sizeof(VOID*), PXE_VENDOR_CLASS);

  // The firmware's own answer decides what the driver logs; the runner expects the ring line
  // "PXEClient set string failed: <answer>" exactly when this answer is an error.
  Print("FWTEST INFO pcd answer: %r (size after the call %lu)\n", mSpy.Answer, mSpy.SizeOut);
  PrintPcdToken("after the spied load", Firmware);
  if (!EFI_ERROR(mSpy.Answer)) {
    Check = BeginCheck("pcd.value");
    const UINTN Size = Firmware->GetSize(2);
    const VOID* Value = Firmware->GetPtr(2);
    if (Size != PXE_VENDOR_CLASS_SIZE || Value == nullptr ||
        __builtin_memcmp(Value, PXE_VENDOR_CLASS, PXE_VENDOR_CLASS_SIZE) != 0) {
      Mismatch(Check, "token 2 holds %lu bytes at 0x%p, not the vendor class", Size, Value);
    }
    EndCheck(Check, "token 2 reads back \"%a\"", PXE_VENDOR_CLASS);
  }
}

// ---------------------------------------------------------------------------------------------
// check: the boot-log ring

VOID CheckAndDumpRing() {
  CHECK Check = BeginCheck("ring.header");
  const UINT32 WriteOffset = Peek32(RING_AREA + 0x40);
  static const WORD HEADER[] = {
      {RING_BASE, 0xEAEA2020}, {RING_REGION, SENTINEL},         {RING_REGION + 0x3FC, SENTINEL},
      {RING_AREA, 0},          {RING_AREA + 4, RING_AREA_SIZE}, {RING_AREA + 0x0C, 0x0C0C0C0C},
      {RING_AREA + 0x10, 0},   {RING_AREA + 0x14, 0x14141414},  {RING_AREA + 0x44, 2},
  };
  ExpectWords(Check, HEADER);
  const UINT32 Capacity = RING_AREA_SIZE - 0x80;
  if (WriteOffset <= RING_SEEDED_TEXT || WriteOffset > Capacity) {
    Mismatch(Check, "write offset 0x%X, expected past the seeded text", WriteOffset);
  }
  EndCheck(Check, "area at 0x%lX, level 2 in force, not wrapped, write offset %u", RING_AREA,
           WriteOffset);

  if (WriteOffset > Capacity) {
    return;
  }
  Print("FWTEST RING-BEGIN %u bytes\n", WriteOffset);
  const auto* Text = reinterpret_cast<const volatile CHAR8*>(RING_DATA);
  // One console line per ring line; bytes outside printable ASCII as \xNN, and a last line
  // without its line feed marked with \c.
  CHAR8 Line[LINE_SIZE - 32];
  UINTN Length = 0;
  for (UINT32 Index = 0; Index < WriteOffset; ++Index) {
    const UINT8 C = static_cast<UINT8>(Text[Index]);
    if (C == '\n') {
      Line[Length] = '\0';
      Print("FWTEST RING|%a\n", Line);
      Length = 0;
    } else if (Length + 5 < sizeof(Line)) {
      if (C >= 0x20 && C < 0x7F) {
        Line[Length++] = static_cast<CHAR8>(C);
      } else {
        Length += AsciiSPrint(Line + Length, 5, "\\x%02X", C);
      }
    }
  }
  if (Length != 0) {
    Line[Length] = '\0';
    Print("FWTEST RING|%a\\c\n", Line);
  }
  Print("FWTEST RING-END\n");
}

// ---------------------------------------------------------------------------------------------
// ExitBootServices: RootPortBringup's notification disables every root port.

[[noreturn]] VOID PowerOff() {
  const auto ResetSystem = *reinterpret_cast<EFI_RESET_SYSTEM*>(
      reinterpret_cast<UINT8*>(gST->RuntimeServices) + RUNTIME_SERVICES_RESET_SYSTEM);
  ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  for (;;) {
  }
}

// Words that ExitBootServices must leave as they are: only the port-enable register changes.
const UINT64 WATCHED_AT_EXIT[] = {ISP_RECORD, ISP_RECORD + 4,  ISP_RECORD + 8, ISP_RECORD + 12,
                                  ISP_MARKER, 0xA0780030,      0xA9303048,     0xA20C0328,
                                  0xA2820048, 0xA2904574,      0xA2808000,     0x840C0030,
                                  0x840C0000, RING_AREA + 0x40};

VOID ExitBootServicesAndCheck() {
  UINT32 Before[sizeof(WATCHED_AT_EXIT) / sizeof(WATCHED_AT_EXIT[0])];
  for (UINTN Index = 0; Index < sizeof(Before) / sizeof(Before[0]); ++Index) {
    Before[Index] = Peek32(WATCHED_AT_EXIT[Index]);
  }
  Print("FWTEST INFO exiting boot services; further lines come from the UART directly\n");
  UINTN MapSize = 0;
  UINTN MapKey = 0;
  UINTN DescriptorSize = 0;
  UINT32 DescriptorVersion = 0;
  gBS->GetMemoryMap(&MapSize, nullptr, &MapKey, &DescriptorSize, &DescriptorVersion);
  MapSize += 16 * DescriptorSize;
  VOID* Map = nullptr;
  if (gBS->AllocatePool(EfiLoaderData, MapSize, &Map) != EFI_SUCCESS) {
    Print("FWTEST FAIL rootport.exit-boot-services: no memory for the memory map\n");
    return;
  }
  EFI_STATUS Status = EFI_NOT_READY;
  // A notification may change the map; the retry takes the new key.
  for (UINTN Attempt = 0; Attempt < 3 && Status != EFI_SUCCESS; ++Attempt) {
    UINTN Size = MapSize;
    Status = gBS->GetMemoryMap(&Size, static_cast<EFI_MEMORY_DESCRIPTOR*>(Map), &MapKey,
                               &DescriptorSize, &DescriptorVersion);
    if (Status == EFI_SUCCESS) {
      Status = gBS->ExitBootServices(mImageHandle, MapKey);
    }
  }
  if (Status != EFI_SUCCESS) {
    Print("FWTEST FAIL rootport.exit-boot-services: ExitBootServices returned %r\n", Status);
    return;
  }
  mBootServicesGone = 1;
  CHECK Check = BeginCheck("rootport.exit-boot-services");
  ExpectWord(Check, PORT_ENABLE, 0);
  for (UINTN Index = 0; Index < sizeof(Before) / sizeof(Before[0]); ++Index) {
    ExpectWord(Check, WATCHED_AT_EXIT[Index], Before[Index]);
  }
  EndCheck(Check, "0xA2900004 = 0 after ExitBootServices, %lu other words unchanged",
           sizeof(Before) / sizeof(Before[0]));
  Print("FWTEST END %u checks, %u failed\n", mChecks, mFailures);
  PowerOff();
}

// ---------------------------------------------------------------------------------------------

EFI_STATUS RunCheck(const ARGS& Args) {
  DRIVER Drivers[MAX_ARGS];
  const UINTN Count = ParseDrivers(Args, Drivers, MAX_ARGS);
  const bool RootPort = IsLoaded(Drivers, Count, "RootPortBringup");

  CheckGuards(Drivers, Count);
  CheckUart();
  if (RootPort) {
    CheckRootPort();
  }
  if (IsLoaded(Drivers, Count, "PortErrorSetup")) {
    CheckRas();
  }
  if (IsLoaded(Drivers, Count, "ImagerLauncher")) {
    CheckImagerLauncher();
    CheckConsoleEcho();
  }
  if (IsLoaded(Drivers, Count, "NetBootClassId")) {
    CheckNetBootClassId();
  }
  CheckLzmaTable();
  CheckAndDumpRing();
  Print("FWTEST DONE %u checks, %u failed\n", mChecks, mFailures);
  if (RootPort) {
    ExitBootServicesAndCheck();
  }
  return mFailures == 0 ? EFI_SUCCESS : EFI_ABORTED;
}

} // namespace

extern "C" EFI_STATUS EFIAPI FirmwareTestMain(EFI_HANDLE ImageHandle,
                                              EFI_SYSTEM_TABLE* SystemTable) {
  mImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  static ARGS Args;
  ReadArgs(Args);
  if (Args.Count >= 2 && SameText(Args.Words[1], "claim")) {
    ClaimRanges();
    Print("FWTEST CLAIMED %u ranges, %u failed\n", mChecks, mFailures);
    return mFailures == 0 ? EFI_SUCCESS : EFI_ABORTED;
  }
  if (Args.Count >= 2 && SameText(Args.Words[1], "check")) {
    return RunCheck(Args);
  }
  // Lets the runner prove that it notices a CPU exception in the firmware.
  if (Args.Count >= 2 && SameText(Args.Words[1], "fault")) {
    Print("FWTEST INFO raising an undefined-instruction exception\n");
    __asm__ volatile("udf #0");
  }
  Print("FWTEST FAIL usage: FirmwareTest.efi claim | check Name:GuardRva ... | fault\n");
  return EFI_INVALID_PARAMETER;
}
