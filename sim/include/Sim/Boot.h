// A boot on the simulated system, independent of the engine: drivers dispatched in order, then
// calls into what they left behind, as a later boot stage would make them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Sim/Engine.h>
#include <Sim/Machine.h>

namespace sim {

extern const char* const DRIVER_NAMES[4]; // dispatch order when none is named
bool IsDriverName(const std::string& Name);

// StartIsp:FW0:FW1:SIZE1:SIZE2, SetIspStatus:V0:V1, WriteIspMarker or ExitBootServices.
struct CallSpec {
  std::string Name;
  std::vector<uint64_t> Arguments;
};

// Parses a call; on error returns false with a one-line message.
bool ParseCallSpec(const std::string& Text, CallSpec& Spec, std::string& Error);
// A C integer literal (0x hex or decimal) that fits in 64 bits.
bool ParseInteger(const std::string& Text, uint64_t& Value);

enum class CallOutcome { Done, NotInstalled, Stopped };

struct DriverResult {
  std::string Name;
  uint64_t Status = 0;
  bool Completed = false;
};

// Dispatches one driver: ENTRY, the image's run, EXIT.
DriverResult DispatchDriver(Engine& E, Machine& M, const std::string& Name);
// Makes one call; Status receives the member's status where it returns one.
CallOutcome MakeCall(Engine& E, Machine& M, const CallSpec& Spec, uint64_t& Status);

extern const EFI_GUID IMAGER_LAUNCH_PROTOCOL_GUID_VALUE;

} // namespace sim
