// The engine's public face and its assembly: the emulator opened, the firmware's areas mapped
// and the hooks installed. The parts live beside this file (EngineImpl.h lists them).
#include <Sim/Aarch64Engine.h>

#include <cstdlib>
#include <cstring>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

std::string DefaultEfiDirectory() {
  if (const char* Directory = std::getenv("DXESIM_EFI_DIR")) {
    return Directory;
  }
  return DXESIM_DEFAULT_EFI_DIR;
}

Aarch64Engine::Impl::Impl(Machine& Machine_, std::string Directory_)
    : M(Machine_), Directory(std::move(Directory_)), Fw(Machine_, *this) {
  Check(uc_open(UC_ARCH_ARM64, UC_MODE_ARM, &Uc), "cannot start the AArch64 emulator");
  Check(uc_ctl_set_cpu_model(Uc, UC_CPU_ARM64_A72), "cannot select the processor model");

  uint8_t* Stubs = MapArea(STUB_BASE, STUB_SIZE, UC_PROT_READ | UC_PROT_EXEC, "service stubs");
  for (size_t I = 0; I < MEMBER_COUNT; ++I) {
    const uint32_t Stub[2] = {a64::SVC_0, a64::RET};
    std::memcpy(Stubs + I * STUB_STRIDE, Stub, sizeof(Stub));
  }
  std::memcpy(Stubs + (RETURN_TRAP - STUB_BASE), &a64::BRK_0, sizeof(a64::BRK_0));
  Tables = MapArea(TABLE_BASE, TABLE_SIZE, UC_PROT_READ, "firmware tables");
  MapArea(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE, "stack");
  MapArea(POOL_BASE, POOL_CAPACITY, UC_PROT_READ | UC_PROT_WRITE, "pool");
  MapMachineMemory();
  BuildFirmwareTables();

  Fw.SetFailures(M.Profile().Fail);
  if (M.Profile().Pcd) {
    Fw.InstallPcdProtocol(PCD_PROTOCOL_ADDRESS);
  }
  InstallHooks();
}

Aarch64Engine::Impl::~Impl() {
  if (Uc != nullptr) {
    uc_close(Uc);
  }
}

void Aarch64Engine::Impl::Check(uc_err Error, const char* What) const {
  if (Error != UC_ERR_OK) {
    throw std::runtime_error(std::string("dxesim: ") + What + ": " + uc_strerror(Error));
  }
}

uint64_t Aarch64Engine::Impl::ReadRegister(int Register) const {
  uint64_t Value = 0;
  uc_reg_read(Uc, Register, &Value);
  return Value;
}

void Aarch64Engine::Impl::WriteRegister(int Register, uint64_t Value) {
  uc_reg_write(Uc, Register, &Value);
}

void Aarch64Engine::Impl::Stop(StopKind Kind, const std::string& Text) {
  StopText = Text;
  Guarded([this, Kind] { M.Halt(Kind, StopText); });
}

void Aarch64Engine::Impl::RaiseFault() {
  Stop(StopKind::ImageFault, FaultText);
}

void Aarch64Engine::Impl::NoteFault(const std::string& Text) {
  if (FaultText.empty()) {
    FaultText = Text;
  }
}

Aarch64Engine::Aarch64Engine(Machine& M, std::string ImageDirectory)
    : P(std::make_unique<Impl>(M, std::move(ImageDirectory))) {}

Aarch64Engine::~Aarch64Engine() = default;

Firmware& Aarch64Engine::Fw() {
  return P->Fw;
}

ImageMemory& Aarch64Engine::Memory() {
  return *P;
}

std::string Aarch64Engine::ImageFile(const std::string& Name) const {
  return P->FindImage(Name);
}

void Aarch64Engine::PrepareDriver(const std::string& Name) {
  P->Prepare(Name);
}

uint64_t Aarch64Engine::SystemTableAddress() const {
  return SYSTEM_TABLE_ADDRESS;
}

std::string Aarch64Engine::Describe(uint64_t Address) const {
  return P->Describe(Address);
}

} // namespace sim
