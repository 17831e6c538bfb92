// PortErrorSetup: enables PCIe local RAS (error detection and reporting) on every chip, through
// a fixed register program run at each chip's base.
#include <Library/DebugLogLib.h>
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>

#include "PortErrorSetup.h"

namespace {

// Versions 0x6006 and 0x6007 of the FPGA and emulator builds model two chips.
constexpr UINT32 TWO_CHIP_VERSION_FIRST = 0x6006;
constexpr UINT32 TWO_CHIP_VERSION_LAST = 0x6007;

enum RAS_OP : UINT8 {
  RAS_WRITE, // write Value
  RAS_AND,   // read, AND with Value, write back
  RAS_OR,    // read, OR with Value, write back
};

// One row of the register program. A row with Passes > 0 opens a group that runs Passes times;
// the rows after it with Passes == SAME_PASS belong to the group and are accessed, in table order,
// in every pass. In pass k each row of the group accesses Offset + k * Stride.
struct RAS_STEP {
  UINT32 Offset; // chip offset (the address on chip 0) in the first pass
  UINT32 Value;
  UINT16 Stride;
  RAS_OP Op;
  UINT8 Passes;
};

constexpr UINT8 SAME_PASS = 0;

constexpr RAS_STEP Write(UINT32 Offset, UINT32 Value) {
  return {Offset, Value, 0, RAS_WRITE, 1};
}
constexpr RAS_STEP AndWith(UINT32 Offset, UINT32 Mask) {
  return {Offset, Mask, 0, RAS_AND, 1};
}
constexpr RAS_STEP OrWith(UINT32 Offset, UINT32 Mask) {
  return {Offset, Mask, 0, RAS_OR, 1};
}
// Count writes of one value, Stride bytes apart.
constexpr RAS_STEP WriteEach(UINT32 Offset, UINT32 Value, UINT8 Count, UINT16 Stride) {
  return {Offset, Value, Stride, RAS_WRITE, Count};
}
// The first row of a group of Passes passes, and the rows that follow it within each pass.
constexpr RAS_STEP FirstInPass(UINT32 Offset, UINT32 Value, UINT8 Passes, UINT16 Stride) {
  return {Offset, Value, Stride, RAS_WRITE, Passes};
}
constexpr RAS_STEP NextInPass(UINT32 Offset, UINT32 Value, UINT16 Stride) {
  return {Offset, Value, Stride, RAS_WRITE, SAME_PASS};
}

// The three blocks touched are 0xA2900000 (controller 8 and the shared control window),
// 0xA2800000 and 0xA2810000 (the root complex's global range).
constexpr RAS_STEP RAS_PROGRAM[] = {
    // Block 0xA2900000
    Write(0xA2904578, 0x00000000),
    Write(0xA290456C, 0xFFFFFFFF),
    Write(0xA2904584, 0x00000000),
    Write(0xA2904570, 0xFFFFFFFF),
    Write(0xA2904574, 0xFFFFE020),
    Write(0xA2904580, 0xFFFFFFFF),
    Write(0xA2906094, 0x00000000),
    Write(0xA2906088, 0xFFFFFFFF),
    Write(0xA290608C, 0xFFFE0448),
    Write(0xA2907094, 0x00000000),
    Write(0xA2907054, 0xFFFFFFFF),
    Write(0xA2907058, 0xFF3FFFF7),
    Write(0xA29073A8, 0x3F3FB6F7),
    AndWith(0xA29073E4, 0xFFFFFFFD), // clears bit 1 only
    WriteEach(0xA2900100, 0x00000000, 6, 0x10),
    WriteEach(0xA2900108, 0xFFFFFFFF, 6, 0x10),
    WriteEach(0xA2900124, 0x00000000, 4, 0x10),
    // Block 0xA2800000
    Write(0xA2806810, 0x00000000),
    Write(0xA2806BE0, 0xFFFFFFFF),
    Write(0xA2806BE4, 0xE3FFFFF0),
    WriteEach(0xA2800800, 0x00000000, 4, 4),
    Write(0xA2800850, 0x00000000),
    WriteEach(0xA2800820, 0xFFFFFFFF, 4, 4),
    Write(0xA2800858, 0xFFFFFFFF),
    Write(0xA2800810, 0xF67FFFFF),
    Write(0xA2800814, 0xC00FFFFF),
    Write(0xA2800818, 0xFFFFFFFF),
    Write(0xA280081C, 0xFFFFFFFF),
    Write(0xA2800854, 0xFFFFFFFF),
    // Group A: the fourth register is the same one in every pass, written after the other three.
    FirstInPass(0xA280C070, 0x00000000, 32, 0x100),
    NextInPass(0xA280C040, 0xFFFFFFFF, 0x100),
    NextInPass(0xA280C044, 0xFFFF8081, 0x100),
    NextInPass(0xA280E184, 0x000077E0, 0),
    // Group B: within a pass the register at +8 comes before the one at +4.
    FirstInPass(0xA280901C, 0x00000000, 3, 0x200),
    NextInPass(0xA2809024, 0xFFFFFFFF, 0x200),
    NextInPass(0xA2809020, 0xFFFFFFFF, 0x200),
    // Block 0xA2810000
    Write(0xA2810084, 0x00000000),
    Write(0xA2810284, 0x00000000),
    Write(0xA2810078, 0x0000000F),
    Write(0xA2810278, 0x0000000F),
    Write(0xA281007C, 0xFFFFFFF0),
    Write(0xA281027C, 0xFFFFFFF0),
    Write(0xA2813088, 0x00000000),
    Write(0xA28137EC, 0x00000000),
    Write(0xA2813080, 0xFFFFFFFF),
    Write(0xA28137E0, 0xFFFFFFFF),
    Write(0xA2813084, 0xFFFFFFFF),
    Write(0xA28137E4, 0xFFFFFFFF),
    Write(0xA2813090, 0x00000002),
    // Block 0xA2800000 again
    OrWith(0xA2808000, 0x0002222A),
    Write(0xA2808020, 0xFFF00000),
    Write(0xA2808028, 0xFFF00000),
    Write(0xA2808030, 0xFFF00000),
    OrWith(0xA2808010, 0x02300000),
    OrWith(0xA2808018, 0x02300000),
};

constexpr UINTN RAS_PROGRAM_ROWS = sizeof(RAS_PROGRAM) / sizeof(RAS_PROGRAM[0]);

// One past the last row of the group that starts at First.
constexpr UINTN GroupEnd(UINTN First) {
  UINTN End = First + 1;
  while (End < RAS_PROGRAM_ROWS && RAS_PROGRAM[End].Passes == SAME_PASS) {
    ++End;
  }
  return End;
}

// Accesses the program makes per chip; a read-modify-write is one read and one write.
struct RAS_ACCESS_COUNT {
  UINT32 Reads;
  UINT32 Writes;
};

consteval RAS_ACCESS_COUNT CountRasAccesses() {
  RAS_ACCESS_COUNT Count = {0, 0};
  for (UINTN First = 0; First < RAS_PROGRAM_ROWS; First = GroupEnd(First)) {
    const UINT32 Passes = RAS_PROGRAM[First].Passes;
    for (UINTN Row = First; Row < GroupEnd(First); ++Row) {
      Count.Writes += Passes;
      Count.Reads += RAS_PROGRAM[Row].Op == RAS_WRITE ? 0 : Passes;
    }
  }
  return Count;
}

static_assert(RAS_PROGRAM[0].Passes != SAME_PASS, "the program must open with a group");
static_assert(CountRasAccesses().Writes == 204 && CountRasAccesses().Reads == 4,
              "the RAS program makes 204 writes and 4 reads per chip");

VOID RunRasStep(UINT64 ChipBase, const RAS_STEP& Step, UINT32 Pass) {
  const UINT64 Address =
      ChipBase + Step.Offset + static_cast<UINT64>(Pass) * static_cast<UINT64>(Step.Stride);
  switch (Step.Op) {
  case RAS_AND:
    MmioAnd32(Address, Step.Value);
    break;
  case RAS_OR:
    MmioOr32(Address, Step.Value);
    break;
  case RAS_WRITE:
    MmioWrite32(Address, Step.Value);
    break;
  }
}

} // namespace

VOID ProgramChipRasRegisters(UINT8 ChipIndex) {
  const UINT64 ChipBase = static_cast<UINT64>(ChipIndex) << CHIP_BASE_SHIFT;
  for (UINTN First = 0; First < RAS_PROGRAM_ROWS;) {
    const UINTN End = GroupEnd(First);
    for (UINT32 Pass = 0; Pass < RAS_PROGRAM[First].Passes; ++Pass) {
      for (UINTN Row = First; Row < End; ++Row) {
        RunRasStep(ChipBase, RAS_PROGRAM[Row], Pass);
      }
    }
    First = End;
  }
}

UINT32 GetChipCount() {
  const UINT32 Kind = GetPlatformKind();
  const UINT32 Version = MmioReadField32(PLATFORM_ID_REG, PLATFORM_ID_VERSION);
  if (Kind == PLATFORM_KIND_SILICON) {
    return MmioReadField32(SYS_CONFIG_REG, SYS_CONFIG_SECOND_CHIP) != 0 ? 2 : 1;
  }
  if (Kind != PLATFORM_KIND_FPGA && Kind != PLATFORM_KIND_EMULATOR) {
    return 1;
  }
  if (Version < TWO_CHIP_VERSION_FIRST || Version > TWO_CHIP_VERSION_LAST) {
    return 1;
  }
  if (Kind == PLATFORM_KIND_EMULATOR) {
    LogPrint(LOG_INFO, "EMU 2P, version is 0x%x\n", Version);
  } else {
    LogPrint(LOG_INFO, "FPGA 2P, version is 0x%x\n", Version);
  }
  return 2;
}

EFI_STATUS ProgramRasOnAllChips() {
  if (IsWideBoardId() != 0) {
    return EFI_SUCCESS;
  }
  // The count is taken again before every chip and once after the last; the index wraps at 256
  // like the 8-bit chip number it is.
  for (UINT8 Chip = 0; Chip < GetChipCount(); ++Chip) {
    ProgramChipRasRegisters(Chip);
    LogPrint(LOG_INFO, "chip[%x] pcie local ras init done\n", static_cast<UINT32>(Chip));
  }
  return EFI_SUCCESS;
}

EFI_STATUS RunDriverLogic(EFI_HANDLE /*ImageHandle*/, EFI_SYSTEM_TABLE* /*SystemTable*/) {
  return ProgramRasOnAllChips();
}
