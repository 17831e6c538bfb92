// The cost of the simulator: simulated driver runs per second on the default board, for each
// driver image that is built, and for the whole default run (every driver, then StartIsp and
// ExitBootServices), on both engines: native (the host builds) and aarch64 (the shipped images
// on the emulated processor, when the aarch64-uefi tree is built). Each run is a fresh machine
// and engine and loads its image afresh, as dxesim does. The trace text of a run is measured on
// its own, since dxesim writes it only when asked.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <Sim/Aarch64Engine.h>
#include <Sim/BoardProfile.h>
#include <Sim/Boot.h>
#include <Sim/Machine.h>
#include <Sim/NativeEngine.h>
#include <Sim/Trace.h>

namespace {

const sim::CallSpec START_ISP{"StartIsp", {0x80000000, 0x81000000, 0x200000, 0x180000}};
const sim::CallSpec EXIT_BOOT_SERVICES{"ExitBootServices", {}};

enum class EngineKind { Native, Aarch64 };

const char* EngineName(EngineKind Kind) {
  return Kind == EngineKind::Native ? "native" : "aarch64";
}

std::vector<std::string> BuiltDrivers(EngineKind Kind) {
  std::vector<std::string> Drivers;
  for (const char* Driver : sim::DRIVER_NAMES) {
    const std::string Image = Kind == EngineKind::Native
                                  ? sim::DefaultImageDirectory() + "/" + Driver + ".so"
                                  : sim::DefaultEfiDirectory() + "/" + Driver + ".efi";
    if (std::filesystem::exists(Image)) {
      Drivers.push_back(Driver);
    }
  }
  return Drivers;
}

std::unique_ptr<sim::Engine> MakeEngine(EngineKind Kind, sim::Machine& Machine) {
  if (Kind == EngineKind::Aarch64) {
    return std::make_unique<sim::Aarch64Engine>(Machine);
  }
  return std::make_unique<sim::NativeEngine>(Machine);
}

// One boot on a fresh machine; false when a run did not complete.
bool Boot(EngineKind Kind, const sim::BoardProfile& Board, const std::vector<std::string>& Drivers,
          const std::vector<sim::CallSpec>& Calls, bool KeepEvents,
          std::vector<sim::Event>* Events = nullptr) {
  sim::Machine Machine(Board);
  Machine.SetKeepEvents(KeepEvents);
  const std::unique_ptr<sim::Engine> EnginePointer = MakeEngine(Kind, Machine);
  sim::Engine& Engine = *EnginePointer;
  for (const std::string& Driver : Drivers) {
    const sim::DriverResult Result = sim::DispatchDriver(Engine, Machine, Driver);
    benchmark::DoNotOptimize(Result.Status);
    if (!Result.Completed) {
      return false;
    }
  }
  for (const sim::CallSpec& Call : Calls) {
    uint64_t Status = 0;
    if (sim::MakeCall(Engine, Machine, Call, Status) != sim::CallOutcome::Done) {
      return false;
    }
  }
  if (Events != nullptr) {
    *Events = Machine.Events();
  }
  return true;
}

void SetRunsPerSecond(benchmark::State& State) {
  State.counters["runs_per_second"] =
      benchmark::Counter(static_cast<double>(State.iterations()), benchmark::Counter::kIsRate);
}

void BM_Driver(benchmark::State& State, EngineKind Kind, const std::string& Driver) {
  const sim::BoardProfile Board = sim::DefaultBoardProfile();
  for (auto _ : State) {
    if (!Boot(Kind, Board, {Driver}, {}, false)) {
      State.SkipWithError("the run did not complete");
      break;
    }
  }
  SetRunsPerSecond(State);
}

void BM_DefaultRun(benchmark::State& State, EngineKind Kind,
                   const std::vector<std::string>& Drivers,
                   const std::vector<sim::CallSpec>& Calls) {
  const sim::BoardProfile Board = sim::DefaultBoardProfile();
  for (auto _ : State) {
    if (!Boot(Kind, Board, Drivers, Calls, false)) {
      State.SkipWithError("the run did not complete");
      break;
    }
  }
  SetRunsPerSecond(State);
}

void BM_TraceText(benchmark::State& State, const std::vector<std::string>& Drivers,
                  const std::vector<sim::CallSpec>& Calls) {
  std::vector<sim::Event> Events;
  if (!Boot(EngineKind::Native, sim::DefaultBoardProfile(), Drivers, Calls, true, &Events)) {
    State.SkipWithError("the run did not complete");
    return;
  }
  size_t Bytes = 0;
  for (auto _ : State) {
    const std::string Text = sim::FormatTrace(Events, true);
    Bytes += Text.size();
    benchmark::DoNotOptimize(Text.data());
  }
  State.SetBytesProcessed(static_cast<int64_t>(Bytes));
  State.counters["events"] = static_cast<double>(Events.size());
}

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (const EngineKind Kind : {EngineKind::Native, EngineKind::Aarch64}) {
    const std::string Engine = EngineName(Kind);
    const std::vector<std::string> Drivers = BuiltDrivers(Kind);
    for (const std::string& Driver : Drivers) {
      benchmark::RegisterBenchmark(("BM_Driver/" + Engine + "/" + Driver).c_str(), BM_Driver, Kind,
                                   Driver)
          ->Unit(benchmark::kMicrosecond);
    }
    if (Drivers.empty()) {
      continue;
    }
    std::vector<sim::CallSpec> Calls;
    if (std::find(Drivers.begin(), Drivers.end(), "ImagerLauncher") != Drivers.end()) {
      Calls.push_back(START_ISP);
    }
    Calls.push_back(EXIT_BOOT_SERVICES);
    benchmark::RegisterBenchmark(("BM_DefaultRun/" + Engine).c_str(), BM_DefaultRun, Kind, Drivers,
                                 Calls)
        ->Unit(benchmark::kMillisecond);
    if (Kind == EngineKind::Native) {
      benchmark::RegisterBenchmark("BM_TraceText/DefaultRun", BM_TraceText, Drivers, Calls)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
