// A simulated machine for calling the bring-up's functions directly, with the runtime's globals
// that they use (boot services, log threshold, controller parameters) set and restored.
#pragma once

#include <Library/DebugLogLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include <SimTest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RootPortBringup.h"

namespace rootport {

using namespace simtest;

constexpr uint64_t CHIP_VARIANT = 0x8000FFF8;
constexpr uint64_t PLATFORM_ID = 0x8000FFFC;
constexpr uint64_t BOARD_ID = 0x8000F07C;
constexpr uint64_t SYS_CONFIG = 0x8000E08C;
constexpr uint64_t BOOT_COUNTER = 0x80020008;
constexpr uint32_t PLATFORM_EMULATOR = 0x00010000;

class RootPortTest : public SimTest {
protected:
  // Identification registers; platform id 0 is silicon.
  void SetBoard(uint32_t Variant, uint32_t BoardId, uint32_t SysConfig = 0, uint32_t Platform = 0) {
    Set32(CHIP_VARIANT, Variant);
    Set32(BOARD_ID, BoardId);
    Set32(SYS_CONFIG, SysConfig);
    Set32(PLATFORM_ID, Platform);
  }
  // Starts the machine; on silicon the boot-log ring counts as probed and present, so that a
  // level-1 line shows as the one platform-kind read of the log.
  void StartDirect() {
    Start();
    gST = Engine->SystemTable();
    gBS = gST->BootServices;
    LogThreshold = LOG_WARNING;
  }
  void TearDown() override {
    ControllerParams = DEFAULT_CONTROLLER_PARAMS;
    LogThreshold = LOG_THRESHOLD_UNPROBED;
    gST = nullptr;
    gBS = nullptr;
    SimTest::TearDown();
  }

  // Register accesses and delays without the console's own.
  std::vector<Event> Accesses() { return WithoutConsole(Hardware()); }
  static std::vector<Event> WithoutConsole(const std::vector<Event>& All) {
    std::vector<Event> Result;
    for (const Event& E : All) {
      if (!(sim::IsRegisterAccess(E.Kind) && E.Address >= 0x840C0000 && E.Address < 0x840C1000)) {
        Result.push_back(E);
      }
    }
    return Result;
  }
  std::vector<Event> Writes() { return EventsOfKind(Events(), EventKind::Write32); }
  std::vector<uint64_t> WritesTo(uint64_t Address) {
    std::vector<uint64_t> Values;
    for (const Event& E : Writes()) {
      if (E.Address == Address) {
        Values.push_back(E.Value);
      }
    }
    return Values;
  }
  size_t Reads(uint64_t Address) { return CountAccesses(Events(), EventKind::Read32, Address); }
};

} // namespace rootport
