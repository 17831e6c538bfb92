// PortErrorSetup: enables PCIe local RAS (error detection and reporting) on every chip, through
// a fixed register program run at each chip's base.
#include <Library/DebugLogLib.h>
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/RegisterSteps.h>

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

// One step per line, as the program lists them.
// clang-format off
// Phase 1, block 0xA2900000.
constexpr REGISTER_STEP PHASE1_STEPS[] = {
    STEP_WRITE(0x4578, 0x00000000),
    STEP_WRITE(0x456C, 0xFFFFFFFF),
    STEP_WRITE(0x4584, 0x00000000),
    STEP_WRITE(0x4570, 0xFFFFFFFF),
    STEP_WRITE(0x4574, 0xFFFFE020),
    STEP_WRITE(0x4580, 0xFFFFFFFF),
    STEP_WRITE(0x6094, 0x00000000),
    STEP_WRITE(0x6088, 0xFFFFFFFF),
    STEP_WRITE(0x608C, 0xFFFE0448),
    STEP_WRITE(0x7094, 0x00000000),
    STEP_WRITE(0x7054, 0xFFFFFFFF),
    STEP_WRITE(0x7058, 0xFF3FFFF7),
    STEP_WRITE(0x73A8, 0x3F3FB6F7),
    STEP_CLEAR(0x73E4, 0x00000002),
    STEP_WRITE(0x0100, 0x00000000),
    STEP_WRITE(0x0110, 0x00000000),
    STEP_WRITE(0x0120, 0x00000000),
    STEP_WRITE(0x0130, 0x00000000),
    STEP_WRITE(0x0140, 0x00000000),
    STEP_WRITE(0x0150, 0x00000000),
    STEP_WRITE(0x0108, 0xFFFFFFFF),
    STEP_WRITE(0x0118, 0xFFFFFFFF),
    STEP_WRITE(0x0128, 0xFFFFFFFF),
    STEP_WRITE(0x0138, 0xFFFFFFFF),
    STEP_WRITE(0x0148, 0xFFFFFFFF),
    STEP_WRITE(0x0158, 0xFFFFFFFF),
    STEP_WRITE(0x0124, 0x00000000),
    STEP_WRITE(0x0134, 0x00000000),
    STEP_WRITE(0x0144, 0x00000000),
    STEP_WRITE(0x0154, 0x00000000),
};

// Phase 2, block 0xA2800000, up to its two strided groups.
constexpr REGISTER_STEP PHASE2_STEPS[] = {
    STEP_WRITE(0x6810, 0x00000000),
    STEP_WRITE(0x6BE0, 0xFFFFFFFF),
    STEP_WRITE(0x6BE4, 0xE3FFFFF0),
    STEP_WRITE(0x0800, 0x00000000),
    STEP_WRITE(0x0804, 0x00000000),
    STEP_WRITE(0x0808, 0x00000000),
    STEP_WRITE(0x080C, 0x00000000),
    STEP_WRITE(0x0850, 0x00000000),
    STEP_WRITE(0x0820, 0xFFFFFFFF),
    STEP_WRITE(0x0824, 0xFFFFFFFF),
    STEP_WRITE(0x0828, 0xFFFFFFFF),
    STEP_WRITE(0x082C, 0xFFFFFFFF),
    STEP_WRITE(0x0858, 0xFFFFFFFF),
    STEP_WRITE(0x0810, 0xF67FFFFF),
    STEP_WRITE(0x0814, 0xC00FFFFF),
    STEP_WRITE(0x0818, 0xFFFFFFFF),
    STEP_WRITE(0x081C, 0xFFFFFFFF),
    STEP_WRITE(0x0854, 0xFFFFFFFF),
};

// Group A: 32 passes 0x100 apart, each followed by the same write to one common register.
constexpr UINT32 GROUP_A_PASSES = 32;
constexpr UINT32 GROUP_A_STRIDE = 0x100;
constexpr REGISTER_STEP GROUP_A_STEPS[] = {
    STEP_WRITE(0xC070, 0x00000000),
    STEP_WRITE(0xC040, 0xFFFFFFFF),
    STEP_WRITE(0xC044, 0xFFFF8081),
};
constexpr REGISTER_STEP GROUP_A_COMMON_STEP[] = {STEP_WRITE(0xE184, 0x000077E0)};

// Group B: 3 passes 0x200 apart; within a pass the register at +8 comes before the one at +4.
constexpr UINT32 GROUP_B_PASSES = 3;
constexpr UINT32 GROUP_B_STRIDE = 0x200;
constexpr REGISTER_STEP GROUP_B_STEPS[] = {
    STEP_WRITE(0x901C, 0x00000000),
    STEP_WRITE(0x9024, 0xFFFFFFFF),
    STEP_WRITE(0x9020, 0xFFFFFFFF),
};

// Phase 3, block 0xA2810000.
constexpr REGISTER_STEP PHASE3_STEPS[] = {
    STEP_WRITE(0x0084, 0x00000000),
    STEP_WRITE(0x0284, 0x00000000),
    STEP_WRITE(0x0078, 0x0000000F),
    STEP_WRITE(0x0278, 0x0000000F),
    STEP_WRITE(0x007C, 0xFFFFFFF0),
    STEP_WRITE(0x027C, 0xFFFFFFF0),
    STEP_WRITE(0x3088, 0x00000000),
    STEP_WRITE(0x37EC, 0x00000000),
    STEP_WRITE(0x3080, 0xFFFFFFFF),
    STEP_WRITE(0x37E0, 0xFFFFFFFF),
    STEP_WRITE(0x3084, 0xFFFFFFFF),
    STEP_WRITE(0x37E4, 0xFFFFFFFF),
    STEP_WRITE(0x3090, 0x00000002),
};

// Phase 4, block 0xA2800000 again.
constexpr REGISTER_STEP PHASE4_STEPS[] = {
    STEP_SET(0x8000, 0x0002222A),
    STEP_WRITE(0x8020, 0xFFF00000),
    STEP_WRITE(0x8028, 0xFFF00000),
    STEP_WRITE(0x8030, 0xFFF00000),
    STEP_SET(0x8010, 0x02300000),
    STEP_SET(0x8018, 0x02300000),
};
// clang-format on

// Accesses per chip; a read-modify-write is one read and one write.
consteval REGISTER_STEP_ACCESSES CountRasAccesses() {
  const REGISTER_STEP_ACCESSES Phase1 = CountStepAccesses(PHASE1_STEPS);
  const REGISTER_STEP_ACCESSES Phase2 = CountStepAccesses(PHASE2_STEPS);
  const REGISTER_STEP_ACCESSES GroupA = CountStepAccesses(GROUP_A_STEPS);
  const REGISTER_STEP_ACCESSES GroupACommon = CountStepAccesses(GROUP_A_COMMON_STEP);
  const REGISTER_STEP_ACCESSES GroupB = CountStepAccesses(GROUP_B_STEPS);
  const REGISTER_STEP_ACCESSES Phase3 = CountStepAccesses(PHASE3_STEPS);
  const REGISTER_STEP_ACCESSES Phase4 = CountStepAccesses(PHASE4_STEPS);
  return {Phase1.Reads + Phase2.Reads + (GroupA.Reads + GroupACommon.Reads) * GROUP_A_PASSES +
              GroupB.Reads * GROUP_B_PASSES + Phase3.Reads + Phase4.Reads,
          Phase1.Writes + Phase2.Writes + (GroupA.Writes + GroupACommon.Writes) * GROUP_A_PASSES +
              GroupB.Writes * GROUP_B_PASSES + Phase3.Writes + Phase4.Writes};
}

static_assert(CountRasAccesses().Writes == 204 && CountRasAccesses().Reads == 4,
              "the RAS program makes 204 writes and 4 reads per chip");

} // namespace

VOID ProgramChipRasRegisters(UINT8 ChipIndex) {
  RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2900000, 0), PHASE1_STEPS);
  RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2800000, 0), PHASE2_STEPS);
  for (UINT32 Pass = 0; Pass < GROUP_A_PASSES; ++Pass) {
    RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2800000, Pass * GROUP_A_STRIDE), GROUP_A_STEPS);
    RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2800000, 0), GROUP_A_COMMON_STEP);
  }
  for (UINT32 Pass = 0; Pass < GROUP_B_PASSES; ++Pass) {
    RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2800000, Pass * GROUP_B_STRIDE), GROUP_B_STEPS);
  }
  RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2810000, 0), PHASE3_STEPS);
  RunRegisterSteps(RasReg(ChipIndex, BLOCK_A2800000, 0), PHASE4_STEPS);
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
