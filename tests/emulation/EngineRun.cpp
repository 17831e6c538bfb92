#include "EngineRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include <Sim/Aarch64Engine.h>
#include <Sim/Boot.h>
#include <Sim/NativeEngine.h>
#include <Sim/Status.h>

#include "TimerWait.h"

namespace emutest {

std::string EfiSearchPath() {
  return sim::DefaultEfiDirectory() + ":" + DXESIM_PROBE_EFI_DIR;
}

bool ImagesPresent(const std::vector<std::string>& Names) {
  for (const std::string& Name : Names) {
    bool Found = false;
    for (const std::string& Folder :
         {sim::DefaultEfiDirectory(), std::string(DXESIM_PROBE_EFI_DIR)}) {
      Found |= std::filesystem::exists(Folder + "/" + Name + ".efi");
    }
    if (!Found) {
      ADD_FAILURE() << "the AArch64 image " << Name << ".efi is missing from "
                    << sim::DefaultEfiDirectory() << " and " << DXESIM_PROBE_EFI_DIR
                    << ": build the aarch64-uefi preset first (make test does)";
      return false;
    }
  }
  return true;
}

namespace {

std::vector<std::string> FirmwareState(sim::Firmware& Fw) {
  std::vector<std::string> Lines;
  // Pool addresses differ between engines; sizes, types and owners must not.
  std::vector<std::string> Pool;
  for (const auto& [Address, Block] : Fw.Pool()) {
    Pool.push_back("pool " + std::to_string(Block.Size) + " type " + std::to_string(Block.Type) +
                   " " + Block.Owner);
  }
  std::sort(Pool.begin(), Pool.end());
  Lines.insert(Lines.end(), Pool.begin(), Pool.end());
  for (const sim::ConfigurationTable& T : Fw.ConfigurationTables()) {
    Lines.push_back("table " + sim::FormatGuid(T.Guid) + " " + T.Owner);
  }
  for (const sim::ProtocolInstance& P : Fw.Protocols()) {
    Lines.push_back("protocol " + sim::Hex(P.Handle) + " " + sim::FormatGuid(P.Guid) + " " +
                    P.Owner);
  }
  for (const sim::FirmwareEvent& E : Fw.Events()) {
    Lines.push_back("event " + sim::Hex(E.Handle) + " " + sim::Hex(E.Type) + " " +
                    std::to_string(E.Tpl) + " " + E.Owner + (E.Signalled ? " signalled" : ""));
  }
  for (const auto& [Token, Value] : Fw.PcdDatabase()) {
    std::string Bytes;
    for (uint8_t Byte : Value.Value) {
      Bytes += sim::Hex(Byte) + " ";
    }
    Lines.push_back("pcd " + std::to_string(Token) + " " + Bytes);
  }
  Lines.push_back("bad frees " + std::to_string(Fw.BadFrees().size()));
  return Lines;
}

} // namespace

Outcome RunScenario(EngineKind Kind, const Scenario& S) {
  Outcome Result;
  sim::Machine M(S.Board);
  M.SetAccessBudget(S.AccessBudget);
  std::unique_ptr<sim::Engine> E;
  if (Kind == EngineKind::Native) {
    E = std::make_unique<sim::NativeEngine>(M);
  } else {
    E = std::make_unique<sim::Aarch64Engine>(M, EfiSearchPath());
  }
  for (const std::string& Step : S.Steps) {
    if (Step.find(':') == std::string::npos && Step != "WriteIspMarker" &&
        Step != "ExitBootServices") {
      const sim::DriverResult R = sim::DispatchDriver(*E, M, Step);
      Result.Results.push_back(Step + (R.Completed ? " " + sim::StatusName(R.Status) : " stopped"));
      if (!R.Completed) {
        break;
      }
      continue;
    }
    sim::CallSpec Call;
    std::string Error;
    if (!sim::ParseCallSpec(Step, Call, Error)) {
      ADD_FAILURE() << "scenario " << S.Name << ": " << Error;
      break;
    }
    uint64_t Status = 0;
    const sim::CallOutcome How = sim::MakeCall(*E, M, Call, Status);
    Result.Results.push_back(Call.Name + (How == sim::CallOutcome::Done
                                              ? " " + sim::StatusName(Status)
                                          : How == sim::CallOutcome::NotInstalled ? " not installed"
                                                                                  : " stopped"));
    if (How == sim::CallOutcome::Stopped) {
      break;
    }
  }
  Result.Events = M.Events();
  Result.Console = M.Console();
  Result.Stop = M.Stopped();
  Result.StopMessage = M.StopMessage();
  for (const sim::AddressSpace::RamRange& R : M.Memory().RamRanges()) {
    const uint8_t* Bytes = M.Memory().RamPointer(R.Base, R.Size);
    Result.Memory.insert(Result.Memory.end(), Bytes, Bytes + R.Size);
  }
  Result.Firmware = FirmwareState(E->Fw());
  return Result;
}

std::vector<sim::Event> Comparable(const std::vector<sim::Event>& Events, uint64_t Frequency) {
  auto Wait = [](uint64_t Reads) {
    return sim::Event{sim::EventKind::SystemRegister, 0, Reads, "counter reads of a delay"};
  };
  std::vector<sim::Event> Kept;
  for (size_t I = 0; I < Events.size(); ++I) {
    const sim::Event& E = Events[I];
    if (E.Kind == sim::EventKind::Delay) {
      Kept.push_back(Wait(timertest::CounterReadsForDelay(E.Value, Frequency)));
    } else if (E.Kind == sim::EventKind::SystemRegister && E.Text == "CNTFRQ_EL0" &&
               E.Value == Frequency) {
      uint64_t Reads = 0;
      while (I + 1 < Events.size() && Events[I + 1].Kind == sim::EventKind::SystemRegister &&
             Events[I + 1].Text == "CNTPCT_EL0") {
        ++Reads;
        ++I;
      }
      Kept.push_back(Wait(Reads));
    } else {
      Kept.push_back(E);
    }
  }
  return Kept;
}

std::string FirstDifference(const std::vector<sim::Event>& Expected,
                            const std::vector<sim::Event>& Actual) {
  size_t At = 0;
  while (At < Expected.size() && At < Actual.size() && Expected[At] == Actual[At]) {
    ++At;
  }
  if (At == Expected.size() && At == Actual.size()) {
    return {};
  }
  auto Lines = [At](const std::vector<sim::Event>& Events) {
    std::string Text;
    for (size_t I = At >= 3 ? At - 3 : 0; I < std::min(Events.size(), At + 4); ++I) {
      Text += (I == At ? "  > " : "    ") + sim::FormatEvent(Events[I], true) + "\n";
    }
    return Text.empty() ? "    (end of trace)\n" : Text;
  };
  return "first difference at event " + std::to_string(At) + "\nnative:\n" + Lines(Expected) +
         "aarch64:\n" + Lines(Actual);
}

} // namespace emutest
