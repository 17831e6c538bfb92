// Fuzz: the board-profile reader (toml++ and the profile's rules) and the boot-log decoder, the two
// readers of files that users hand to dxesim. Input starting with the ring magic is ring memory;
// anything else is a profile.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <Sim/BoardProfile.h>
#include <Sim/BootLog.h>
#include <Sim/Machine.h>
#include <Sim/UserInput.h>

namespace {

bool IsOrdinaryMemory(uint64_t At) {
  return (At >= sim::RING_AREA_LOW && At - sim::RING_AREA_LOW < sim::RING_AREA_SIZE) ||
         (At >= sim::RING_AREA_HIGH && At - sim::RING_AREA_HIGH < sim::RING_AREA_SIZE) ||
         (At >= sim::ISP_STATUS_RECORD &&
          At - sim::ISP_STATUS_RECORD < sim::ISP_STATUS_RECORD_SIZE);
}

// What every accepted profile satisfies, whatever the text was.
bool KeepsTheRules(const sim::BoardProfile& Profile) {
  if (Profile.TimerFrequency == 0 || Profile.TimerFrequency > UINT32_MAX) {
    return false;
  }
  for (const auto& [At, Value] : Profile.Mem32) {
    if (At % 4 != 0) {
      return false;
    }
  }
  for (const auto& [At, Values] : Profile.Reads) {
    if (At % 4 != 0 || IsOrdinaryMemory(At)) {
      return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const uint8_t MAGIC[] = {0x20, 0x20, 0xEA, 0xEA};
  if (Size >= sizeof(MAGIC) && std::memcmp(Data, MAGIC, sizeof(MAGIC)) == 0) {
    const sim::BootLog Log = sim::DecodeBootLog(Data, Size, 0xC5280000);
    if (Log.State == sim::BootLogState::Decoded &&
        (Log.Text.size() > Log.Capacity || Log.WriteOffset > Log.Capacity)) {
      __builtin_trap();
    }
    return 0;
  }
  try {
    const sim::BoardProfile Profile =
        sim::ParseBoardProfile(std::string_view(reinterpret_cast<const char*>(Data), Size), "f");
    if (!KeepsTheRules(Profile)) {
      __builtin_trap();
    }
  } catch (const sim::ProfileError& Error) {
    // One printable line that names the file.
    const std::string_view Message = Error.what();
    if (Message.substr(0, 2) != "f:" || sim::PrintableText(Message) != Message) {
      __builtin_trap();
    }
  }
  return 0;
}
