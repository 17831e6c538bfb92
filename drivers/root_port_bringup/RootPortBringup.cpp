// The bring-up flow: which controllers this board has, their configuration and enable, the root
// complex's global registers, the wait for the boot SSD's link, the boot-trace stamp and the
// ExitBootServices hook.
#include <Library/BitField.h>
#include <Library/DebugLogLib.h>
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>
#include <Library/PlatformIdLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include "RootComplexRegs.h"
#include "RootPortBringup.h"
#include <Library/RegisterSteps.h>

namespace {

// Boards that bring up every controller their chip variant has.
constexpr UINT32 BOARD_ID_FULL_37 = 0x37;
constexpr UINT32 BOARD_ID_FULL_0C = 0x0C;
constexpr UINT32 BOARD_ID_FULL_33 = 0x33;
constexpr UINT32 SYS_CONFIG_MODE_FULL = 3;

constexpr UINT32 PCIE_SUBSYSTEM_CTRL_VALUE = 0x00000007;

// Root-complex global registers, written in this order once the controllers are enabled.
// clang-format off
constexpr REGISTER_STEP ROOT_COMPLEX_GLOBAL_WRITES[] = {
    STEP_WRITE(0x01264, 0x00000000),
    STEP_WRITE(0x01268, 0xD0000000),
    STEP_WRITE(0x0126C, 0x00000000),
    STEP_WRITE(0x05504, 0x00000000),
    STEP_WRITE(0x05508, 0x87010040),
    STEP_WRITE(0x05500, 0x00000001),
    STEP_WRITE(0x00008, 0x00000040),
    STEP_WRITE(0x0000C, 0x00000000),
    STEP_WRITE(0x00014, 0x00000040),
    STEP_WRITE(0x00010, 0x00000000),
    STEP_WRITE(0x0001C, 0x00000040),
    STEP_WRITE(0x00018, 0x00000000),
    STEP_WRITE(0x00000, 0x00000001),
    STEP_WRITE(0x00048, 0x00000000),
    STEP_WRITE(0x0004C, 0x08000000),
    STEP_WRITE(0x00054, 0x00000000),
    STEP_WRITE(0x00050, 0xE0000000),
    STEP_WRITE(0x0005C, 0x00000000),
    STEP_WRITE(0x00058, 0xE0000000),
    STEP_WRITE(0x00040, 0x00000001),
};
// clang-format on
static_assert(CountStepAccesses(ROOT_COMPLEX_GLOBAL_WRITES).Writes == 20 &&
              CountStepAccesses(ROOT_COMPLEX_GLOBAL_WRITES).Reads == 0);

// The boot SSD gets at most 49 polls 10 ms apart (490 ms) to bring its link up.
constexpr UINT64 SSD_LINK_STATUS = CtlReg(SSD_CONTROLLER, CTL_BLOCK_6000, B6_LINK_STATUS);
static_assert(SSD_LINK_STATUS == 0xA2916088);
constexpr UINT32 SSD_LINK_POLLS = 49;
constexpr UINT64 SSD_POLL_INTERVAL_US = 10000;

enum BRING_UP_PATH {
  BRING_UP_NONE,
  BRING_UP_FULL,
  BRING_UP_SINGLE, // controller 8 only
};

BRING_UP_PATH ChoosePath(UINT32 Variant, UINT32 BoardId, UINT32 Mode, UINT32 Flag, UINT32 Wide,
                         UINT32 SlotType) {
  if (BoardId == BOARD_ID_FULL_37 || BoardId == BOARD_ID_FULL_0C || BoardId == BOARD_ID_FULL_33) {
    return BRING_UP_FULL;
  }
  if (Wide == 1 && Mode == SYS_CONFIG_MODE_FULL && Flag == 0) {
    return BRING_UP_FULL;
  }
  if (Flag == 0 && Variant == CHIP_VARIANT_3 && SlotType == SLOT_TYPE_2) {
    return BRING_UP_SINGLE;
  }
  return BRING_UP_NONE;
}

VOID BringUpController(UINT32 Index) {
  ConfigureController(Index);
  EnablePort(Index);
}

VOID BringUpAllControllers(UINT32 Variant) {
  MmioWrite32(PCIE_SUBSYSTEM_CTRL, PCIE_SUBSYSTEM_CTRL_VALUE);
  if (Variant == CHIP_VARIANT_2) {
    // Made in the global set itself before controller 8 reads it; never undone.
    ControllerParams.LaneCount = VARIANT2_LANE_COUNT;
    ControllerParams.WidthClass = VARIANT2_WIDTH_CLASS;
    ControllerParams.LaneWinCount = VARIANT2_LANE_WIN_COUNT;
    BringUpController(CONTROLLER_8);
    return;
  }
  BringUpController(CONTROLLER_8);
  BringUpController(CONTROLLER_9);
  BringUpController(CONTROLLER_10);
}

VOID BringUpSingleController() {
  BringUpController(CONTROLLER_8);
  // Chip variant 3 leaves controller 8's port-select bit to this point.
  MmioOr32(GlobalReg(GLOBAL_PORT_SELECT), BIT32(CONTROLLER_8));
}

// A missing SSD is not an error of this driver: the timeout is logged and the boot goes on.
VOID WaitForSsdLink() {
  LogPrint(LOG_WARNING, "Wait PCIE SSD...\n");
  for (UINT32 Poll = 0; Poll < SSD_LINK_POLLS; ++Poll) {
    if ((MmioRead32(SSD_LINK_STATUS) & B6_LINK_UP) != 0) {
      return;
    }
    MicroSecondDelay(SSD_POLL_INTERVAL_US);
  }
  LogPrint(LOG_ERROR, "SSD link up wait timeout!\n");
}

VOID LogBootTrace() {
  const UINT32 Milliseconds = GetBootTimeMs();
  LogPrint(LOG_WARNING, "[%d.%03d] [BOOT_TRACE]link up\n", Milliseconds / 1000,
           Milliseconds % 1000);
}

} // namespace

UINT32 GetSlotType() {
  if (GetPlatformKind() == PLATFORM_KIND_FPGA) {
    return MmioReadField32(PLATFORM_ID_REG, PLATFORM_ID_FPGA_SLOT_TYPE_2) != 0 ? SLOT_TYPE_2
                                                                               : SLOT_TYPE_1P;
  }
  const UINT32 Field = MmioReadField32(SYS_CONFIG_REG, SYS_CONFIG_SLOT);
  switch (Field) {
  case 0:
  case 1:
  case 2:
  case 3:
    return SLOT_TYPE_4;
  case 4:
    return SLOT_TYPE_1P;
  case 6:
  case 7:
    return SLOT_TYPE_2;
  default: // 5, the one field value without a slot type
    LogPrint(LOG_ERROR, "Unknown slot id 0x%x, return default TYPE_1P\n", Field);
    return SLOT_TYPE_1P;
  }
}

VOID EFIAPI OnExitBootServices(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  MmioWrite32(SharedReg(SHARED_PORT_ENABLE), 0);
}

EFI_STATUS BringUpRootComplex() {
  const UINT32 Variant = GetChipVariant();
  const UINT32 BoardId = GetBoardId();
  const UINT32 Mode = GetSysConfigMode();
  const UINT32 Flag = GetSysConfigFlag();
  const UINT32 Wide = IsWideBoardId();
  const UINT32 SlotType = GetSlotType();

  BRING_UP_PATH Path = ChoosePath(Variant, BoardId, Mode, Flag, Wide, SlotType);
  if (Path == BRING_UP_NONE) {
    return EFI_SUCCESS;
  }
  // On chip variant 3 the full bring-up is controller 8 alone.
  if (Path == BRING_UP_FULL && Variant == CHIP_VARIANT_3) {
    Path = BRING_UP_SINGLE;
  }
  if (Path == BRING_UP_SINGLE) {
    BringUpSingleController();
  } else {
    BringUpAllControllers(Variant);
  }

  RunRegisterSteps(GLOBAL_WINDOW_BASE, ROOT_COMPLEX_GLOBAL_WRITES);
  WaitForSsdLink();
  LogBootTrace();

  // The event lives in the firmware; this driver never signals or closes it.
  EFI_EVENT ExitBootServicesEvent = nullptr;
  const EFI_STATUS Status = gBS->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY,
                                             OnExitBootServices, nullptr, &ExitBootServicesEvent);
  return EFI_ERROR(Status) ? EFI_ABORTED : EFI_SUCCESS;
}

EFI_STATUS RunDriverLogic(EFI_HANDLE /*ImageHandle*/, EFI_SYSTEM_TABLE* /*SystemTable*/) {
  return BringUpRootComplex();
}
