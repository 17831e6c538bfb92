// Fuzz: the board-profile parser and the boot-log decoder, the two readers of files that users
// hand to dxesim. Input starting with the ring magic is ring memory; anything else is a profile.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <Sim/BoardProfile.h>
#include <Sim/BootLog.h>

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
    if (Profile.TimerFrequency == 0 || Profile.TimerFrequency > UINT32_MAX) {
      __builtin_trap();
    }
  } catch (const sim::ProfileError& Error) {
    if (std::strncmp(Error.what(), "f:", 2) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
