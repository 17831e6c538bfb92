// Names of the SoC's registers, for trace annotations. One table for the whole simulator.
#include <Sim/Trace.h>

namespace sim {

namespace {

struct RegisterName {
  uint64_t Address;
  const char* Name;
};

constexpr RegisterName REGISTER_NAMES[] = {
    {0x840C0000, "uart.DR"},
    {0x840C0004, "uart.RSR_ECR"},
    {0x840C0018, "uart.FR"},
    {0x840C0024, "uart.IBRD"},
    {0x840C0028, "uart.FBRD"},
    {0x840C002C, "uart.LCR_H"},
    {0x840C0030, "uart.CR"},
    {0x881100F0, "rng.Output0"},
    {0x881100F4, "rng.Output1"},
    {0x80020008, "soc.BootCounter"},
    {0x8000FFF8, "soc.ChipVariant"},
    {0x8000FFFC, "soc.PlatformId"},
    {0x8000F07C, "soc.BoardId"},
    {0x8000E08C, "soc.SysConfig"},
    {0xC6F0800A, "bootlog.Selector"},
};

} // namespace

const char* LookupRegisterName(uint64_t Address) {
  for (const RegisterName& Entry : REGISTER_NAMES) {
    if (Entry.Address == Address) {
      return Entry.Name;
    }
  }
  return nullptr;
}

} // namespace sim
