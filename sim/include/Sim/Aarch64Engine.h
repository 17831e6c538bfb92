// The emulation engine: runs the shipped AArch64 PE32+ images on an emulated processor against
// the same simulated SoC and firmware as the native engine. Every load and store outside the
// engine's own memory reaches the SoC model with its width and value; the firmware tables live
// in emulated memory and their members trap to the host firmware.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <Sim/Engine.h>
#include <Sim/Machine.h>

namespace sim {

// Emulated memory that belongs to the engine (firmware tables and their service stubs, stack,
// pool, loaded images); no SoC register lies there. Any access by an image to an address in it
// that the engine has not mapped stops the run.
constexpr uint64_t EMULATOR_WINDOW_BASE = 0x4000000000;
constexpr uint64_t EMULATOR_WINDOW_END = 0x5000000000;

// $DXESIM_EFI_DIR, else the drivers/ folder of the aarch64-uefi build tree this program was
// configured with. Either may be a list of folders separated by ':', searched in order.
std::string DefaultEfiDirectory();

class Aarch64Engine final : public Engine {
public:
  explicit Aarch64Engine(Machine& M, std::string ImageDirectory = DefaultEfiDirectory());
  ~Aarch64Engine() override;
  Aarch64Engine(const Aarch64Engine&) = delete;
  Aarch64Engine& operator=(const Aarch64Engine&) = delete;

  Firmware& Fw() override;
  ImageMemory& Memory() override;
  std::string ImageFile(const std::string& Name) const override;
  void PrepareDriver(const std::string& Name) override;
  bool RunDriver(const std::string& Name, uint64_t& Status) override;
  bool CallFunction(uint64_t Function, CallShape Shape, const uint64_t* Arguments,
                    uint64_t& Result) override;

  uint64_t SystemTableAddress() const;
  // Where an emulated address lies, for messages: "NetBootClassId+0x1334", "stack+0x10"...
  std::string Describe(uint64_t Address) const;

private:
  class Impl;
  std::unique_ptr<Impl> P;
};

} // namespace sim
