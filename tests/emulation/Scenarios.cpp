// The boots that both engines must run alike: every driver on boards that take each path,
// calls into what the drivers leave behind, firmware failures, access budgets that stop a run
// anywhere, the probe images, and random boards.
#include "Scenarios.h"

#include <random>

namespace emutest {

namespace {

constexpr uint64_t PLATFORM_ID = 0x8000FFFC;
constexpr uint64_t CHIP_VARIANT = 0x8000FFF8;
constexpr uint64_t BOARD_ID = 0x8000F07C;
constexpr uint64_t SYS_CONFIG = 0x8000E08C;
constexpr uint64_t BOOT_COUNTER = 0x80020008;
constexpr uint64_t RNG0 = 0x881100F0;
constexpr uint64_t RNG1 = 0x881100F4;
constexpr uint64_t UART_FR = 0x840C0018;
constexpr uint64_t UART_IBRD = 0x840C0024;
constexpr uint64_t UART_FBRD = 0x840C0028;
constexpr uint64_t UART_LCR_H = 0x840C002C;
constexpr uint64_t UART_CR = 0x840C0030;
constexpr uint64_t SSD_LINK = 0xA2916088;
constexpr uint64_t LOG_SELECTOR = 0xC6F0800A;
constexpr uint64_t RING_HIGH = 0xC5280000;
constexpr uint64_t RING_LOW = 0x31280000;
constexpr uint32_t RING_MAGIC = 0xEAEA2020;
constexpr uint64_t AREA = 0x400;           // area header offset with an all-zero ring header
constexpr uint64_t DEFAULT_AREA = 0x17400; // area header offset of the default board's ring
constexpr uint64_t PROBE_MODE = 0xF0000100;
constexpr uint64_t PROBE_ARGUMENT = 0xF0000104;
constexpr uint64_t PROBE_STATUS_LOW = 0xF0000000;
constexpr uint64_t PROBE_STATUS_HIGH = 0xF0000004;

const std::vector<std::string> DRIVERS = {"RootPortBringup", "ImagerLauncher", "PortErrorSetup",
                                          "NetBootClassId"};
const std::vector<std::string> CALLS = {"StartIsp:0x80000000:0x80100000:0x1000:0x2000",
                                        "SetIspStatus:1:2", "WriteIspMarker", "ExitBootServices"};

// The board of dxesim without a profile (boards/default.toml).
sim::BoardProfile DefaultBoard() {
  return sim::DefaultBoardProfile();
}

sim::BoardProfile With(sim::BoardProfile Board, std::vector<std::pair<uint64_t, uint32_t>> Words,
                       std::vector<std::pair<uint64_t, uint8_t>> Bytes = {}) {
  Board.Mem32.insert(Board.Mem32.end(), Words.begin(), Words.end());
  Board.Mem8.insert(Board.Mem8.end(), Bytes.begin(), Bytes.end());
  return Board;
}

sim::BoardProfile Failing(std::map<std::string, uint64_t> Services, bool Pcd = true) {
  sim::BoardProfile Board = DefaultBoard();
  Board.Fail = std::move(Services);
  Board.Pcd = Pcd;
  return Board;
}

std::vector<std::string> Join(std::vector<std::string> A, const std::vector<std::string>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

// A board drawn from the values each reader distinguishes, with ring headers that are mostly
// sane and sometimes anything at all.
sim::BoardProfile RandomBoard(std::mt19937_64& Random) {
  auto Pick = [&Random](std::initializer_list<uint32_t> Values) {
    return *(Values.begin() + Random() % Values.size());
  };
  sim::BoardProfile Board;
  Board.Name = "random";
  const uint32_t Platform = Pick({0, 0, 0x6006, 0x6007, 0x6005, 0x16006, 0x16007, 0x20000, 0x10000,
                                  static_cast<uint32_t>(Random())});
  Board.Mem32 = {{PLATFORM_ID, Platform},
                 {CHIP_VARIANT, Pick({0, 1, 2, 3, 0x13, static_cast<uint32_t>(Random())})},
                 {BOARD_ID, Pick({0x33, 0x34, 0x1233, static_cast<uint32_t>(Random())})},
                 {SYS_CONFIG, static_cast<uint32_t>(Random())},
                 {BOOT_COUNTER, static_cast<uint32_t>(Random())},
                 {RNG1, static_cast<uint32_t>(Random() % 3)}};
  std::vector<uint32_t> Rng(Random() % 12, 0);
  Rng.push_back(static_cast<uint32_t>(Random()));
  Board.Reads.push_back({RNG0, Rng});
  Board.Reads.push_back({UART_FR, {Pick({0x90, 0xB0}), Pick({0x90, 0xB0}), 0x90}});
  // The SSD's link mostly comes up after a few polls, now and then never.
  if (Random() % 10 != 0) {
    std::vector<uint32_t> Link(Random() % 5, 0);
    Link.push_back(0x40000);
    Board.Reads.push_back({SSD_LINK, Link});
  }
  if (Random() % 2 == 0) {
    Board.Mem32.insert(Board.Mem32.end(),
                       {{UART_CR, 0x301}, {UART_LCR_H, 0x70}, {UART_IBRD, 108}, {UART_FBRD, 32}});
  }
  const uint8_t Selector = static_cast<uint8_t>(Pick({0, 2, 2, 1}));
  Board.Mem8.push_back({LOG_SELECTOR, Selector});
  const uint64_t Ring = Selector == 2 ? RING_LOW : RING_HIGH;
  if (Random() % 5 != 0) {
    const bool Wild = Random() % 4 == 0;
    const uint32_t Size = Wild ? static_cast<uint32_t>(Random()) : 128 + Random() % 600;
    Board.Mem32.insert(
        Board.Mem32.end(),
        {{Ring, RING_MAGIC},
         {Ring + AREA + 0x04, Size},
         {Ring + AREA + 0x10, static_cast<uint32_t>(Random() % 2)},
         {Ring + AREA + 0x40, Wild ? static_cast<uint32_t>(Random())
                                   : static_cast<uint32_t>(Random() % (Size - 127))}});
  }
  return Board;
}

std::vector<std::string> RandomCalls(std::mt19937_64& Random) {
  auto Address = [&Random]() -> uint64_t {
    switch (Random() % 4) {
    case 0:
      return 0;
    case 1:
      return 0x10000000000ULL + Random() % 0x10000;
    default:
      return (Random() % 0x100000000ULL) & ~0xFFFULL;
    }
  };
  auto Size = [&Random]() -> uint64_t {
    return Random() % 3 == 0 ? static_cast<uint32_t>(Random()) : Random() % 0x1400002;
  };
  std::vector<std::string> Calls;
  for (int I = 0; I < 3; ++I) {
    switch (Random() % 4) {
    case 0:
      Calls.push_back("StartIsp:" + Hex(Address()) + ":" + Hex(Address()) + ":" + Hex(Size()) +
                      ":" + Hex(Size()));
      break;
    case 1:
      Calls.push_back("SetIspStatus:" + Hex(static_cast<uint32_t>(Random())) + ":" +
                      Hex(static_cast<uint32_t>(Random())));
      break;
    case 2:
      Calls.push_back("WriteIspMarker");
      break;
    default:
      Calls.push_back("ExitBootServices");
      break;
    }
  }
  return Calls;
}

} // namespace

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> List;
  auto Add = [&List](std::string Name, sim::BoardProfile Board, std::vector<std::string> Steps,
                     uint64_t Budget = sim::DEFAULT_ACCESS_BUDGET) {
    List.push_back({std::move(Name), std::move(Board), std::move(Steps), Budget});
  };

  Add("DefaultBoardAllDriversAndCalls", DefaultBoard(), Join(DRIVERS, CALLS));
  for (const std::string& Driver : DRIVERS) {
    Add(Driver + "Alone", DefaultBoard(), {Driver});
  }
  Add("EachDispatchHasItsOwnGlobals", DefaultBoard(),
      {"NetBootClassId", "NetBootClassId", "ImagerLauncher", "ImagerLauncher", "WriteIspMarker"});

  Add("LowRingSelected",
      With(DefaultBoard(), {{RING_LOW, RING_MAGIC}, {RING_LOW + AREA + 4, 0x400}},
           {{LOG_SELECTOR, 2}}),
      Join(DRIVERS, CALLS));
  Add("NoRing", With(DefaultBoard(), {{RING_HIGH, 0}}), Join(DRIVERS, CALLS));
  Add("RingWrapsWhenFull",
      With(DefaultBoard(),
           {{RING_HIGH + DEFAULT_AREA + 0x04, 0xC0}, {RING_HIGH + DEFAULT_AREA + 0x40, 0x30}}),
      Join(DRIVERS, CALLS));
  Add("UartAlreadyConfigured",
      With(DefaultBoard(),
           {{UART_CR, 0x301}, {UART_LCR_H, 0x70}, {UART_IBRD, 108}, {UART_FBRD, 32}}),
      Join(DRIVERS, CALLS));
  Add(
      "GeneratorGivesNothing",
      [] {
        sim::BoardProfile Board = DefaultBoard();
        Board.Reads.push_back({RNG0, std::vector<uint32_t>(10, 0)});
        return Board;
      }(),
      DRIVERS);

  // Platform kinds, chip variants and board ids that choose paths in the drivers.
  const std::pair<const char*, uint32_t> PLATFORMS[] = {{"Fpga2P", 0x6006},
                                                        {"FpgaOtherVersion", 0x6005},
                                                        {"Emulator2P", 0x16007},
                                                        {"EmulatorOtherVersion", 0x10001},
                                                        {"OtherPlatform", 0x20000}};
  for (const auto& [Name, Id] : PLATFORMS) {
    Add(Name, With(DefaultBoard(), {{PLATFORM_ID, Id}}), Join(DRIVERS, CALLS));
  }
  for (uint32_t Slot = 0; Slot < 8; ++Slot) {
    Add("SlotField" + std::to_string(Slot), With(DefaultBoard(), {{SYS_CONFIG, Slot << 26}}),
        {"RootPortBringup", "ExitBootServices"});
  }
  Add(
      "SsdNeverComesUp",
      [] {
        sim::BoardProfile Board = With(DefaultBoard(), {{SSD_LINK, 0}});
        Board.Reads.clear();
        return Board;
      }(),
      Join(DRIVERS, CALLS));
  Add("BoardId34", With(DefaultBoard(), {{BOARD_ID, 0x34}}), Join(DRIVERS, CALLS));
  Add("SiliconSecondChip", With(DefaultBoard(), {{SYS_CONFIG, 0x10000020}}), DRIVERS);
  Add("WideBoardId", With(DefaultBoard(), {{SYS_CONFIG, 0x10008000}, {BOARD_ID, 0xAB1234}}),
      DRIVERS);
  for (uint32_t Variant : {0u, 2u, 3u}) {
    Add("ChipVariant" + std::to_string(Variant), With(DefaultBoard(), {{CHIP_VARIANT, Variant}}),
        Join(DRIVERS, CALLS));
  }

  // Arguments that StartIsp refuses, one image or both.
  const char* const REFUSED[] = {"StartIsp:0:0x80100000:0x1000:0x2000",
                                 "StartIsp:0x80000000:0:0x1000:0x2000",
                                 "StartIsp:0x80000000:0x80100000:0:0x2000",
                                 "StartIsp:0x80000000:0x80100000:0x1000:0x1400001",
                                 "StartIsp:0x10000000000:0x80100000:0x1000:0x2000",
                                 "StartIsp:0xFFFFFFFFFF0000:0xFFFFFFFF0000:0x1400000:0x1400000"};
  for (size_t I = 0; I < std::size(REFUSED); ++I) {
    Add("StartIspArguments" + std::to_string(I), DefaultBoard(), {"ImagerLauncher", REFUSED[I]});
  }
  Add("CallsWithoutTheProtocol", DefaultBoard(), Join({"NetBootClassId"}, CALLS));

  // Firmware failures, one service at a time and all at once.
  Add("AllocatePoolFails", Failing({{"AllocatePool", 0x8000000000000009}}), Join(DRIVERS, CALLS));
  Add("InstallConfigurationTableFails",
      Failing({{"InstallConfigurationTable", 0x8000000000000009}}), DRIVERS);
  Add("InstallProtocolInterfaceFails", Failing({{"InstallProtocolInterface", 0x8000000000000002}}),
      Join(DRIVERS, CALLS));
  Add("CreateEventFails", Failing({{"CreateEvent", 0x8000000000000009}}), Join(DRIVERS, CALLS));
  Add("LocateProtocolFails", Failing({{"LocateProtocol", 0x800000000000000E}}), DRIVERS);
  Add("SetPtrFails", Failing({{"SetPtr", 0x8000000000000002}}), DRIVERS);
  Add("NoPcdProtocol", Failing({}, false), DRIVERS);
  Add("EverythingFails",
      Failing({{"AllocatePool", 0x8000000000000009},
               {"InstallConfigurationTable", 1},
               {"CreateEvent", 0x8000000000000015},
               {"InstallProtocolInterface", 7},
               {"LocateProtocol", 0x800000000000000E},
               {"SetPtr", 0xFFFFFFFFFFFFFFFF}},
              false),
      Join(DRIVERS, CALLS));

  // The budget runs out during start-up, in the register programs and inside a call.
  for (uint64_t Budget : {1, 2, 11, 40, 120, 400, 700}) {
    Add("BudgetOf" + std::to_string(Budget), DefaultBoard(), Join(DRIVERS, CALLS), Budget);
  }

  // The probes: every firmware member through the tables, a stack overrun, delays.
  const sim::BoardProfile CallEveryMember = With(DefaultBoard(), {{PROBE_MODE, 1}});
  Add("EveryFirmwareMember", CallEveryMember, {"EmulationProbe"});
  Add("EveryFirmwareMemberWithoutPcd",
      [&] {
        sim::BoardProfile Board = CallEveryMember;
        Board.Pcd = false;
        return Board;
      }(),
      {"EmulationProbe"});
  Add("EveryFirmwareMemberFailing",
      [&] {
        sim::BoardProfile Board = CallEveryMember;
        Board.Fail = {{"AllocatePool", 0x8000000000000009}, {"SetPtr", 0x8000000000000003}};
        return Board;
      }(),
      {"EmulationProbe"});
  Add("StackBufferFilled", With(DefaultBoard(), {{PROBE_MODE, 2}, {PROBE_ARGUMENT, 16}}),
      {"EmulationProbe", "NetBootClassId"});
  Add("StackBufferOverrunEndsInTheDeadLoop",
      With(DefaultBoard(), {{PROBE_MODE, 2}, {PROBE_ARGUMENT, 64}}),
      {"EmulationProbe", "NetBootClassId"});
  Add("ReadThroughRelocatedPointers", With(DefaultBoard(), {{PROBE_MODE, 8}}), {"EmulationProbe"});
  for (uint32_t Delay : {0u, 1u, 250u}) {
    for (uint64_t Frequency : {100000000ULL, 24000000ULL, 3ULL}) {
      sim::BoardProfile Board = With(DefaultBoard(), {{PROBE_MODE, 3}, {PROBE_ARGUMENT, Delay}});
      Board.TimerFrequency = Frequency;
      Add("Delay" + std::to_string(Delay) + "At" + std::to_string(Frequency) + "Hz", Board,
          {"EmulationProbe"});
    }
  }
  for (uint64_t Status :
       {0x0ULL, 0x7ULL, 0x8000000000000009ULL, 0x123456789ABCDEF0ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    Add("EntryStatus" + Hex(Status),
        With(DefaultBoard(), {{PROBE_STATUS_LOW, static_cast<uint32_t>(Status)},
                              {PROBE_STATUS_HIGH, static_cast<uint32_t>(Status >> 32)}}),
        {"StartupProbe"});
  }

  std::mt19937_64 Random(20261208);
  for (int I = 0; I < 40; ++I) {
    sim::BoardProfile Board = RandomBoard(Random);
    std::vector<std::string> Steps = DRIVERS;
    std::shuffle(Steps.begin(), Steps.end(), Random);
    Add("RandomBoard" + std::to_string(I), Board, Join(Steps, RandomCalls(Random)));
  }
  return List;
}

} // namespace emutest
