// Test helpers over the simulated machine: event constructors in the trace's own terms, a filter
// for the hardware-visible events, and a fixture that builds a machine and a native engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <Sim/Boot.h>
#include <Sim/Machine.h>
#include <Sim/NativeEngine.h>
#include <Sim/Trace.h>

namespace sim {
inline void PrintTo(const Event& E, std::ostream* Out) {
  *Out << FormatEvent(E, true);
}
} // namespace sim

namespace simtest {

using sim::Event;
using sim::EventKind;

inline Event R32(uint64_t Address, uint64_t Value) {
  return {EventKind::Read32, Address, Value, {}};
}
inline Event W32(uint64_t Address, uint64_t Value) {
  return {EventKind::Write32, Address, Value, {}};
}
inline Event R8(uint64_t Address, uint64_t Value) {
  return {EventKind::Read8, Address, Value, {}};
}
inline Event W8(uint64_t Address, uint64_t Value) {
  return {EventKind::Write8, Address, Value, {}};
}
inline Event Dsb() {
  return {EventKind::Barrier, 0, 0, {}};
}
inline Event Delay(uint64_t Microseconds) {
  return {EventKind::Delay, 0, Microseconds, {}};
}
inline Event Service(const std::string& Text, uint64_t Status) {
  return {EventKind::Service, 0, Status, Text};
}

// Register accesses, barriers and delays: what the hardware sees.
inline std::vector<Event> HardwareEvents(const std::vector<Event>& All) {
  std::vector<Event> Result;
  for (const Event& E : All) {
    if (sim::IsRegisterAccess(E.Kind) || E.Kind == EventKind::Barrier ||
        E.Kind == EventKind::Delay) {
      Result.push_back(E);
    }
  }
  return Result;
}

inline std::vector<Event> EventsOfKind(const std::vector<Event>& All, EventKind Kind) {
  std::vector<Event> Result;
  for (const Event& E : All) {
    if (E.Kind == Kind) {
      Result.push_back(E);
    }
  }
  return Result;
}

inline size_t CountAccesses(const std::vector<Event>& All, EventKind Kind, uint64_t Address) {
  size_t Count = 0;
  for (const Event& E : All) {
    Count += E.Kind == Kind && E.Address == Address ? 1 : 0;
  }
  return Count;
}

// A machine built from Board at Start(), with a native engine for the firmware.
class SimTest : public ::testing::Test {
protected:
  void Start() {
    Engine.reset();
    Machine.reset();
    Machine = std::make_unique<sim::Machine>(Board);
    Engine = std::make_unique<sim::NativeEngine>(*Machine);
  }
  void TearDown() override {
    Engine.reset();
    Machine.reset();
  }
  void Set32(uint64_t Address, uint32_t Value) { Board.Mem32.push_back({Address, Value}); }
  void Set8(uint64_t Address, uint8_t Value) { Board.Mem8.push_back({Address, Value}); }
  void Script(uint64_t Address, std::vector<uint32_t> Values) {
    Board.Reads.push_back({Address, std::move(Values)});
  }
  std::vector<Event>& Events() { return Machine->Events(); }
  std::vector<Event> Hardware() { return HardwareEvents(Machine->Events()); }
  void ClearEvents() { Machine->Events().clear(); }
  // Dispatches a driver image; fails the test when the run does not complete.
  uint64_t RunDriver(const std::string& Name) {
    const sim::DriverResult Result = sim::DispatchDriver(*Engine, *Machine, Name);
    EXPECT_TRUE(Result.Completed) << Machine->StopMessage();
    return Result.Status;
  }

  sim::BoardProfile Board;
  std::unique_ptr<sim::Machine> Machine;
  std::unique_ptr<sim::NativeEngine> Engine;
};

} // namespace simtest
