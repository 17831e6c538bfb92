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

// The three 64 KiB register blocks of a chip that the program touches, named by their address on
// chip 0; chip i's copy lies at i << CHIP_BASE_SHIFT above it.
constexpr UINT64 BLOCK_A2900000 = 0xA2900000; // controller 8's window and the shared control window
constexpr UINT64 BLOCK_A2800000 = 0xA2800000; // the root complex's global registers
constexpr UINT64 BLOCK_A2810000 = 0xA2810000; // the root complex's global registers

constexpr UINT64 RasReg(UINT8 Chip, UINT64 Block, UINT32 Offset) {
  return (static_cast<UINT64>(Chip) << CHIP_BASE_SHIFT) + Block + Offset;
}

enum RAS_OP : UINT8 {
  RAS_WRITE, // write Value
  RAS_AND,   // read, AND with Value, write back
  RAS_OR,    // read, OR with Value, write back
};

struct RAS_STEP {
  UINT16 Offset; // in the block
  RAS_OP Op;
  UINT32 Value;
};

// One step per line, as the program lists them.
// clang-format off
// Phase 1, block 0xA2900000.
constexpr RAS_STEP PHASE1_STEPS[] = {
    {0x4578, RAS_WRITE, 0x00000000},
    {0x456C, RAS_WRITE, 0xFFFFFFFF},
    {0x4584, RAS_WRITE, 0x00000000},
    {0x4570, RAS_WRITE, 0xFFFFFFFF},
    {0x4574, RAS_WRITE, 0xFFFFE020},
    {0x4580, RAS_WRITE, 0xFFFFFFFF},
    {0x6094, RAS_WRITE, 0x00000000},
    {0x6088, RAS_WRITE, 0xFFFFFFFF},
    {0x608C, RAS_WRITE, 0xFFFE0448},
    {0x7094, RAS_WRITE, 0x00000000},
    {0x7054, RAS_WRITE, 0xFFFFFFFF},
    {0x7058, RAS_WRITE, 0xFF3FFFF7},
    {0x73A8, RAS_WRITE, 0x3F3FB6F7},
    {0x73E4, RAS_AND,  0xFFFFFFFD},
    {0x0100, RAS_WRITE, 0x00000000},
    {0x0110, RAS_WRITE, 0x00000000},
    {0x0120, RAS_WRITE, 0x00000000},
    {0x0130, RAS_WRITE, 0x00000000},
    {0x0140, RAS_WRITE, 0x00000000},
    {0x0150, RAS_WRITE, 0x00000000},
    {0x0108, RAS_WRITE, 0xFFFFFFFF},
    {0x0118, RAS_WRITE, 0xFFFFFFFF},
    {0x0128, RAS_WRITE, 0xFFFFFFFF},
    {0x0138, RAS_WRITE, 0xFFFFFFFF},
    {0x0148, RAS_WRITE, 0xFFFFFFFF},
    {0x0158, RAS_WRITE, 0xFFFFFFFF},
    {0x0124, RAS_WRITE, 0x00000000},
    {0x0134, RAS_WRITE, 0x00000000},
    {0x0144, RAS_WRITE, 0x00000000},
    {0x0154, RAS_WRITE, 0x00000000},
};

// Phase 2, block 0xA2800000, up to its two strided groups.
constexpr RAS_STEP PHASE2_STEPS[] = {
    {0x6810, RAS_WRITE, 0x00000000},
    {0x6BE0, RAS_WRITE, 0xFFFFFFFF},
    {0x6BE4, RAS_WRITE, 0xE3FFFFF0},
    {0x0800, RAS_WRITE, 0x00000000},
    {0x0804, RAS_WRITE, 0x00000000},
    {0x0808, RAS_WRITE, 0x00000000},
    {0x080C, RAS_WRITE, 0x00000000},
    {0x0850, RAS_WRITE, 0x00000000},
    {0x0820, RAS_WRITE, 0xFFFFFFFF},
    {0x0824, RAS_WRITE, 0xFFFFFFFF},
    {0x0828, RAS_WRITE, 0xFFFFFFFF},
    {0x082C, RAS_WRITE, 0xFFFFFFFF},
    {0x0858, RAS_WRITE, 0xFFFFFFFF},
    {0x0810, RAS_WRITE, 0xF67FFFFF},
    {0x0814, RAS_WRITE, 0xC00FFFFF},
    {0x0818, RAS_WRITE, 0xFFFFFFFF},
    {0x081C, RAS_WRITE, 0xFFFFFFFF},
    {0x0854, RAS_WRITE, 0xFFFFFFFF},
};

// Group A: 32 passes 0x100 apart, each followed by the same write to one common register.
constexpr UINT32 GROUP_A_PASSES = 32;
constexpr UINT32 GROUP_A_STRIDE = 0x100;
constexpr RAS_STEP GROUP_A_STEPS[] = {
    {0xC070, RAS_WRITE, 0x00000000},
    {0xC040, RAS_WRITE, 0xFFFFFFFF},
    {0xC044, RAS_WRITE, 0xFFFF8081},
};
constexpr RAS_STEP GROUP_A_COMMON_STEP = {0xE184, RAS_WRITE, 0x000077E0};

// Group B: 3 passes 0x200 apart; within a pass the register at +8 comes before the one at +4.
constexpr UINT32 GROUP_B_PASSES = 3;
constexpr UINT32 GROUP_B_STRIDE = 0x200;
constexpr RAS_STEP GROUP_B_STEPS[] = {
    {0x901C, RAS_WRITE, 0x00000000},
    {0x9024, RAS_WRITE, 0xFFFFFFFF},
    {0x9020, RAS_WRITE, 0xFFFFFFFF},
};

// Phase 3, block 0xA2810000.
constexpr RAS_STEP PHASE3_STEPS[] = {
    {0x0084, RAS_WRITE, 0x00000000},
    {0x0284, RAS_WRITE, 0x00000000},
    {0x0078, RAS_WRITE, 0x0000000F},
    {0x0278, RAS_WRITE, 0x0000000F},
    {0x007C, RAS_WRITE, 0xFFFFFFF0},
    {0x027C, RAS_WRITE, 0xFFFFFFF0},
    {0x3088, RAS_WRITE, 0x00000000},
    {0x37EC, RAS_WRITE, 0x00000000},
    {0x3080, RAS_WRITE, 0xFFFFFFFF},
    {0x37E0, RAS_WRITE, 0xFFFFFFFF},
    {0x3084, RAS_WRITE, 0xFFFFFFFF},
    {0x37E4, RAS_WRITE, 0xFFFFFFFF},
    {0x3090, RAS_WRITE, 0x00000002},
};

// Phase 4, block 0xA2800000 again.
constexpr RAS_STEP PHASE4_STEPS[] = {
    {0x8000, RAS_OR,   0x0002222A},
    {0x8020, RAS_WRITE, 0xFFF00000},
    {0x8028, RAS_WRITE, 0xFFF00000},
    {0x8030, RAS_WRITE, 0xFFF00000},
    {0x8010, RAS_OR,   0x02300000},
    {0x8018, RAS_OR,   0x02300000},
};
// clang-format on

// Accesses per chip; a read-modify-write is one read and one write.
struct RAS_ACCESS_COUNT {
  UINT32 Reads;
  UINT32 Writes;
};

template <UINTN Count>
consteval RAS_ACCESS_COUNT CountAccesses(const RAS_STEP (&Steps)[Count], UINT32 Passes = 1) {
  RAS_ACCESS_COUNT Total = {0, 0};
  for (const RAS_STEP& Step : Steps) {
    Total.Reads += Step.Op == RAS_WRITE ? 0 : Passes;
    Total.Writes += Passes;
  }
  return Total;
}

consteval RAS_ACCESS_COUNT CountRasAccesses() {
  const RAS_ACCESS_COUNT Parts[] = {
      CountAccesses(PHASE1_STEPS),
      CountAccesses(PHASE2_STEPS),
      CountAccesses(GROUP_A_STEPS, GROUP_A_PASSES),
      CountAccesses({GROUP_A_COMMON_STEP}, GROUP_A_PASSES),
      CountAccesses(GROUP_B_STEPS, GROUP_B_PASSES),
      CountAccesses(PHASE3_STEPS),
      CountAccesses(PHASE4_STEPS),
  };
  RAS_ACCESS_COUNT Total = {0, 0};
  for (const RAS_ACCESS_COUNT& Part : Parts) {
    Total.Reads += Part.Reads;
    Total.Writes += Part.Writes;
  }
  return Total;
}

static_assert(CountRasAccesses().Writes == 204 && CountRasAccesses().Reads == 4,
              "the RAS program makes 204 writes and 4 reads per chip");

VOID RunRasStep(UINT64 Address, const RAS_STEP& Step) {
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

// The steps in table order, Shift bytes further into the block.
VOID RunRasSteps(UINT8 Chip, UINT64 Block, const RAS_STEP* Steps, UINTN Count, UINT32 Shift) {
  for (UINTN Step = 0; Step < Count; ++Step) {
    RunRasStep(RasReg(Chip, Block, Steps[Step].Offset + Shift), Steps[Step]);
  }
}

template <UINTN Count>
VOID RunRasSteps(UINT8 Chip, UINT64 Block, const RAS_STEP (&Steps)[Count], UINT32 Shift = 0) {
  RunRasSteps(Chip, Block, Steps, Count, Shift);
}

} // namespace

VOID ProgramChipRasRegisters(UINT8 ChipIndex) {
  RunRasSteps(ChipIndex, BLOCK_A2900000, PHASE1_STEPS);
  RunRasSteps(ChipIndex, BLOCK_A2800000, PHASE2_STEPS);
  for (UINT32 Pass = 0; Pass < GROUP_A_PASSES; ++Pass) {
    RunRasSteps(ChipIndex, BLOCK_A2800000, GROUP_A_STEPS, Pass * GROUP_A_STRIDE);
    RunRasStep(RasReg(ChipIndex, BLOCK_A2800000, GROUP_A_COMMON_STEP.Offset), GROUP_A_COMMON_STEP);
  }
  for (UINT32 Pass = 0; Pass < GROUP_B_PASSES; ++Pass) {
    RunRasSteps(ChipIndex, BLOCK_A2800000, GROUP_B_STEPS, Pass * GROUP_B_STRIDE);
  }
  RunRasSteps(ChipIndex, BLOCK_A2810000, PHASE3_STEPS);
  RunRasSteps(ChipIndex, BLOCK_A2800000, PHASE4_STEPS);
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
