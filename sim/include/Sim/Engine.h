// How driver images run: the native engine calls a host build of each image; other engines may
// run the shipped binaries. Everything above this interface (dispatch, calls, the firmware, the
// SoC) is shared by all engines.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <Sim/Firmware.h>

namespace sim {

// A driver image that cannot be loaded; the message names the file and the fault.
class ImageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The signatures through which the simulator calls into an image.
enum class CallShape {
  Notify,       // VOID (EFI_EVENT, VOID*)
  StartIsp,     // EFI_STATUS (UINT64, UINT64, UINT32, UINT32)
  SetIspStatus, // EFI_STATUS (UINT32, UINT32)
  NoArguments,  // EFI_STATUS (VOID)
};

class Engine {
public:
  virtual ~Engine() = default;
  virtual Firmware& Fw() = 0;
  virtual ImageMemory& Memory() = 0;
  // The file that RunDriver loads for the named driver.
  virtual std::string ImageFile(const std::string& Name) const = 0;
  // Checks, before anything runs, that the named driver's image can be loaded; throws
  // ImageError when it cannot.
  virtual void PrepareDriver(const std::string& /*Name*/) {}
  // Loads the named driver as a new image with its own globals and calls its entry point.
  // Returns false when the machine stopped the run.
  virtual bool RunDriver(const std::string& Name, uint64_t& Status) = 0;
  // Calls a function of a loaded image. Returns false when the machine stopped the run.
  virtual bool CallFunction(uint64_t Function, CallShape Shape, const uint64_t* Arguments,
                            uint64_t& Result) = 0;
};

} // namespace sim
