// The native engine: each driver is a host shared object built from the same sources as the
// shipped image, loaded afresh for every dispatch so that it has its own globals, with the
// firmware tables built in host memory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Protocol/Pcd.h>
#include <Sim/Engine.h>
#include <Sim/Machine.h>

namespace sim {

// $DXESIM_IMAGE_DIR, else the images/ folder beside the running executable.
std::string DefaultImageDirectory();

// Throws ImageError naming Path unless it is an ELF shared object for this machine whose segments
// and section headers all lie within the file.
void CheckHostImage(const std::string& Path);

class NativeEngine final : public Engine, private ImageMemory {
public:
  explicit NativeEngine(Machine& M, std::string ImageDirectory = DefaultImageDirectory());
  ~NativeEngine() override;

  Firmware& Fw() override { return Firmware_; }
  ImageMemory& Memory() override { return *this; }
  std::string ImageFile(const std::string& Name) const override;
  // Refuses an image file that is not a whole host shared object (see CheckHostImage).
  void PrepareDriver(const std::string& Name) override;
  bool RunDriver(const std::string& Name, uint64_t& Status) override;
  bool CallFunction(uint64_t Function, CallShape Shape, const uint64_t* Arguments,
                    uint64_t& Result) override;

  EFI_SYSTEM_TABLE* SystemTable() { return &SystemTable_; }
  static NativeEngine& Active();

private:
  void Read(uint64_t Address, void* Buffer, size_t Length) override;
  void Write(uint64_t Address, const void* Buffer, size_t Length) override;
  uint64_t AllocatePool(size_t Length) override;
  void FreePool(uint64_t Address) override;
  void PublishConfigurationTables() override;
  void BuildBootServices();
  void BuildPcdProtocol();

  Machine& M;
  std::string ImageDirectory;
  Firmware Firmware_;
  EFI_SYSTEM_TABLE SystemTable_{};
  EFI_BOOT_SERVICES BootServices_{};
  PCD_PROTOCOL Pcd_{};
  std::vector<EFI_CONFIGURATION_TABLE> TableArray;
  std::vector<void*> Libraries;
};

} // namespace sim
