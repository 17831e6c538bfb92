#pragma once

#include <Uefi.h>

// Each chip's copy of the register blocks lies at the chip index shifted by this many bits, so
// every chip but the first is above 4 GiB.
constexpr UINT32 CHIP_BASE_SHIFT = 39;

// Counts the chips and runs the PCIe local RAS program on each, announcing each chip when done.
// Boards with a wide board id are left alone. Nothing here can fail: always EFI_SUCCESS.
EFI_STATUS ProgramRasOnAllChips();

// 1 or 2, from the platform registers read afresh at every call; on a two-chip FPGA or emulator
// each call also logs the platform version.
UINT32 GetChipCount();

// The fixed RAS register program at the base of chip ChipIndex.
VOID ProgramChipRasRegisters(UINT8 ChipIndex);
