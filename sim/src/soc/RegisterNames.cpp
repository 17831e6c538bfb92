// Names of the SoC's registers, for trace annotations and stop messages. One table for the whole
// simulator; addresses not listed stay unnamed.
#include <Sim/Trace.h>

#include <string>
#include <unordered_map>

namespace sim {

namespace {

struct RegisterName {
  uint64_t Address;
  const char* Name;
};

constexpr RegisterName REGISTER_NAMES[] = {
    // PL011 console
    {0x840C0000, "uart.DR"},
    {0x840C0004, "uart.RSR_ECR"},
    {0x840C0018, "uart.FR"},
    {0x840C0024, "uart.IBRD"},
    {0x840C0028, "uart.FBRD"},
    {0x840C002C, "uart.LCR_H"},
    {0x840C0030, "uart.CR"},
    // Random-number generator, identification, boot counter
    {0x881100F0, "rng.Output0"},
    {0x881100F4, "rng.Output1"},
    {0x80020008, "soc.BootCounter"},
    {0x8000FFF8, "soc.ChipVariant"},
    {0x8000FFFC, "soc.PlatformId"},
    {0x8000F07C, "soc.BoardId"},
    {0x8000E08C, "soc.SysConfig"},
    {0xC6F0800A, "bootlog.Selector"},
    // PCIe shared control window: bits p and p + 16 of each belong to controller p / 2
    {0xA2900000, "shared.Ctl00"},
    {0xA2900004, "shared.PortEnable"},
    {0xA2900008, "shared.Ctl08"},
    {0xA290000C, "shared.Ctl0C"},
    {0xA2900080, "shared.PortMode"},
    {0xA29000BC, "shared.LaneCtl"},
    // The boot SSD's link, polled in controller 10's window
    {0xA2916088, "pcie10.LinkStatus"},
    // ISP
    {0xA9303048, "isp0.CoreCtl"},
    {0xA93031A4, "isp0.ImageAddress"},
    {0xA9703048, "isp1.CoreCtl"},
    {0xA97031A4, "isp1.ImageAddress"},
    {0xA0780030, "isp.StartCtl"},
    {0xCD080C00, "isp.Marker"},
};

// The root port's configuration-space image in block 0x5000 of each controller window, by the
// PCI Express names of its registers.
constexpr RegisterName CONFIG_SPACE_NAMES[] = {
    {0x00, "VendorDeviceId"}, {0x48, "DevCtl"},  {0x4C, "LinkCap"}, {0x58, "SlotCtl"},
    {0x5C, "RootCtlCap"},     {0x64, "DevCap2"}, {0x68, "DevCtl2"}, {0x70, "LinkCtl2"},
};

constexpr uint64_t CONTROLLER_WINDOW_BASE = 0xA2900000;
constexpr uint64_t CONTROLLER_WINDOW_STRIDE = 0x8000;
constexpr uint64_t CONFIG_SPACE_BLOCK = 0x5000;
constexpr unsigned FIRST_CONTROLLER = 8; // the bring-up uses controllers 8, 9 and 10
constexpr unsigned CONTROLLER_COUNT = 3;

const std::unordered_map<uint64_t, std::string>& AllNames() {
  static const std::unordered_map<uint64_t, std::string> NAMES = [] {
    std::unordered_map<uint64_t, std::string> Names;
    for (const RegisterName& Entry : REGISTER_NAMES) {
      Names.emplace(Entry.Address, Entry.Name);
    }
    for (unsigned I = 0; I < CONTROLLER_COUNT; ++I) {
      const uint64_t Block = CONTROLLER_WINDOW_BASE +
                             (FIRST_CONTROLLER + I) % 8 * CONTROLLER_WINDOW_STRIDE +
                             CONFIG_SPACE_BLOCK;
      for (const RegisterName& Entry : CONFIG_SPACE_NAMES) {
        Names.emplace(Block + Entry.Address,
                      "pcie" + std::to_string(FIRST_CONTROLLER + I) + "." + Entry.Name);
      }
    }
    return Names;
  }();
  return NAMES;
}

} // namespace

const char* LookupRegisterName(uint64_t Address) {
  const auto& Names = AllNames();
  const auto Found = Names.find(Address);
  return Found == Names.end() ? nullptr : Found->second.c_str();
}

} // namespace sim
