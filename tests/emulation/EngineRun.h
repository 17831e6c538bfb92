// A boot on a fresh machine with either engine, and what it leaves behind, so that two runs can
// be compared: the trace, the console, how the run ended, the SoC's memory and the firmware's
// state.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <Sim/BoardProfile.h>
#include <Sim/Machine.h>
#include <Sim/Trace.h>

namespace emutest {

enum class EngineKind { Native, Aarch64 };

struct Scenario {
  std::string Name;
  sim::BoardProfile Board;
  // Images to dispatch (drivers or probes) and calls, in order, as dxesim makes them.
  std::vector<std::string> Steps;
  uint64_t AccessBudget = sim::DEFAULT_ACCESS_BUDGET;
};

inline void PrintTo(const Scenario& S, std::ostream* Out) {
  *Out << S.Name;
}

struct Outcome {
  std::vector<sim::Event> Events;
  std::string Console;
  sim::StopKind Stop = sim::StopKind::None;
  std::string StopMessage;
  std::vector<std::string> Results;  // one line per step: its status or how the call went
  std::vector<uint8_t> Memory;       // the SoC's ordinary memory, region after region
  std::vector<std::string> Firmware; // pool, tables, protocols, events and PCD values
};

// The folders of the AArch64 images: drivers, then probes.
std::string EfiSearchPath();
// Fails the calling test with a clear message when an image is missing.
bool ImagesPresent(const std::vector<std::string>& Names);

Outcome RunScenario(EngineKind Kind, const Scenario& S);

// The events both engines must agree on. A delay becomes the number of counter reads it takes
// at the board's timer Frequency: natively computed from the DELAY event's argument, in the
// image counted from its CNTPCT_EL0 reads after a CNTFRQ_EL0 read of Frequency.
std::vector<sim::Event> Comparable(const std::vector<sim::Event>& Events, uint64_t Frequency);

// Empty when equal, else the first difference with a few events of context.
std::string FirstDifference(const std::vector<sim::Event>& Expected,
                            const std::vector<sim::Event>& Actual);

} // namespace emutest
