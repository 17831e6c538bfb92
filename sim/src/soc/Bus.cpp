// The C entry points of the simulation backend: each forwards to the current machine.
#include <Sim/Bus.h>

#include <cstdio>
#include <cstdlib>

#include <Sim/Machine.h>

namespace {

sim::Machine& CurrentMachine() {
  sim::Machine* M = sim::Machine::Current();
  if (M == nullptr) {
    std::fprintf(stderr, "dxesim: an image touched the SoC with no simulated machine\n");
    std::abort();
  }
  return *M;
}

} // namespace

extern "C" {

uint32_t SimMmioRead32(uint64_t Address) {
  return CurrentMachine().Read32(Address);
}
void SimMmioWrite32(uint64_t Address, uint32_t Value) {
  CurrentMachine().Write32(Address, Value);
}
uint8_t SimMmioRead8(uint64_t Address) {
  return CurrentMachine().Read8(Address);
}
void SimMmioWrite8(uint64_t Address, uint8_t Value) {
  CurrentMachine().Write8(Address, Value);
}
void SimDataSynchronizationBarrier(void) {
  CurrentMachine().Barrier();
}
uint64_t SimReadCntFrq(void) {
  return CurrentMachine().TimerFrequency();
}
uint64_t SimReadCntPct(void) {
  return CurrentMachine().ReadCounter();
}
uint64_t SimMicroSecondDelay(uint64_t Microseconds) {
  return CurrentMachine().Delay(Microseconds);
}
void SimCpuPause(void) {
  CurrentMachine().DeadLoop();
}
void* SimPhysicalAddressToPointer(uint64_t Address, size_t Length) {
  return CurrentMachine().MapRam(Address, Length);
}
}
