// What only the emulation engine does: the generic timer read by the image itself, the dead
// loop found in machine code, the firmware tables in emulated memory, and faults that a host
// build could not survive, each stopping the run with a message that names the image.
#include <gtest/gtest.h>

#include <filesystem>

#include <Sim/Aarch64Engine.h>
#include <Sim/Boot.h>
#include <Sim/Trace.h>

#include "EngineRun.h"

namespace {

using sim::Event;
using sim::EventKind;

constexpr uint64_t PROBE_MODE = 0xF0000100;
constexpr uint64_t PROBE_ARGUMENT = 0xF0000104;
constexpr uint64_t PROBE_RESULT = 0xF0000108;

class Aarch64EngineTest : public ::testing::Test {
protected:
  // Dispatches the probe in Mode with Argument; false when the run stopped.
  bool RunProbe(uint32_t Mode, uint32_t Argument) {
    Board.Mem32.push_back({PROBE_MODE, Mode});
    Board.Mem32.push_back({PROBE_ARGUMENT, Argument});
    Machine = std::make_unique<sim::Machine>(Board);
    Engine = std::make_unique<sim::Aarch64Engine>(*Machine, emutest::EfiSearchPath());
    return sim::DispatchDriver(*Engine, *Machine, "EmulationProbe").Completed;
  }
  std::vector<Event> OfKind(EventKind Kind, uint64_t Address = 0) {
    std::vector<Event> Found;
    for (const Event& E : Machine->Events()) {
      if (E.Kind == Kind && (Address == 0 || E.Address == Address)) {
        Found.push_back(E);
      }
    }
    return Found;
  }
  void SetUp() override {
    if (!emutest::ImagesPresent({"EmulationProbe", "NetBootClassId"})) {
      GTEST_SKIP();
    }
  }

  sim::BoardProfile Board;
  std::unique_ptr<sim::Machine> Machine;
  std::unique_ptr<sim::Aarch64Engine> Engine;
};

// 50 us at 100 MHz is 5000 ticks; each counter reading advances the simulated counter by one
// microsecond, so the image reads it once to start and 50 times to wait.
TEST_F(Aarch64EngineTest, DelayRunsOnTheGenericTimerInTheImage) {
  Board.TimerFrequency = 100000000;
  ASSERT_TRUE(RunProbe(3, 50)) << Machine->StopMessage();
  const std::vector<Event> Reads = OfKind(EventKind::SystemRegister);
  ASSERT_EQ(Reads.size(), 52u);
  EXPECT_EQ(Reads[0], (Event{EventKind::SystemRegister, 0, 100000000, "CNTFRQ_EL0"}));
  EXPECT_EQ(Reads[1], (Event{EventKind::SystemRegister, 0, 100, "CNTPCT_EL0"}));
  EXPECT_EQ(Reads[2], (Event{EventKind::SystemRegister, 0, 200, "CNTPCT_EL0"}));
  EXPECT_EQ(Reads[51], (Event{EventKind::SystemRegister, 0, 5100, "CNTPCT_EL0"}));
  EXPECT_TRUE(OfKind(EventKind::Delay).empty());
  EXPECT_EQ(OfKind(EventKind::Write32, PROBE_RESULT),
            (std::vector<Event>{{EventKind::Write32, PROBE_RESULT, 50, {}},
                                {EventKind::Write32, PROBE_RESULT, 0, {}}}));
}

// The probe's pointers are absolute addresses for base 0; loaded elsewhere, they lead to the
// words only once the loader has applied the image's DIR64 relocations.
TEST_F(Aarch64EngineTest, PointersInTheImageAreRelocatedToWhereItLoaded) {
  ASSERT_TRUE(RunProbe(8, 0)) << Machine->StopMessage();
  std::vector<uint64_t> Words;
  for (const Event& E : OfKind(EventKind::Write32, PROBE_RESULT)) {
    Words.push_back(E.Value);
  }
  EXPECT_EQ(Words, (std::vector<uint64_t>{0x0BAD0003, 0, 0x0BAD0001, 0, 0x0BAD0002, 0}));
}

TEST_F(Aarch64EngineTest, StackOverrunStopsInTheDeadLoop) {
  EXPECT_FALSE(RunProbe(2, 64));
  EXPECT_EQ(Machine->Stopped(), sim::StopKind::StackCheckFailure);
  EXPECT_EQ(Machine->StopMessage(),
            "stack-check failure in EmulationProbe: the image is in its dead loop");
  EXPECT_TRUE(OfKind(EventKind::Exit).empty());
}

TEST_F(Aarch64EngineTest, ImageGetsTheSystemTableWithBootServicesInEmulatedMemory) {
  ASSERT_TRUE(RunProbe(0, 0));
  EFI_SYSTEM_TABLE System;
  Engine->Memory().Read(Engine->SystemTableAddress(), &System, sizeof(System));
  EXPECT_EQ(System.Hdr.Signature, 0x5453595320494249ULL);
  // The configuration table that start-up installs is published in the table.
  EXPECT_EQ(System.NumberOfTableEntries, 1u);
  EFI_CONFIGURATION_TABLE Entry;
  Engine->Memory().Read(reinterpret_cast<uintptr_t>(System.ConfigurationTable), &Entry,
                        sizeof(Entry));
  EXPECT_EQ(Entry.VendorGuid.Data1, 0xEE4E5898u);
  EFI_BOOT_SERVICES Services;
  Engine->Memory().Read(reinterpret_cast<uintptr_t>(System.BootServices), &Services,
                        sizeof(Services));
  EXPECT_EQ(Services.Hdr.Signature, 0x56524553544f4f42ULL);
  EXPECT_EQ(Services.Hdr.HeaderSize, 0x178u);
  EXPECT_EQ(Services.Reserved, nullptr);
  EXPECT_NE(reinterpret_cast<uintptr_t>(Services.CreateEventEx), 0u);
}

struct FaultCase {
  const char* Name;
  uint32_t Mode;
  uint32_t Argument;
  const char* Message; // what the stop message must contain
};

void PrintTo(const FaultCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class FaultTest : public Aarch64EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, StopsWithAMessageNamingTheImage) {
  EXPECT_FALSE(RunProbe(GetParam().Mode, GetParam().Argument));
  EXPECT_EQ(Machine->Stopped(), sim::StopKind::ImageFault);
  EXPECT_NE(Machine->StopMessage().find(GetParam().Message), std::string::npos)
      << Machine->StopMessage();
  EXPECT_EQ(Machine->StopMessage().rfind("EmulationProbe: ", 0), 0u) << Machine->StopMessage();
  EXPECT_TRUE(OfKind(EventKind::Exit).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Probe, FaultTest,
    ::testing::Values(
        FaultCase{"MergedRegisterRead", 4, 0, "64-bit load from 0xf0000108 by ldr x"},
        FaultCase{"JumpToNull", 5, 0, "jump into register space at 0x0"},
        FaultCase{"JumpIntoRegisters", 5, 0xF0000000, "jump into register space at 0xf0000000"},
        FaultCase{"JumpIntoSocMemory", 5, 0xC5280000,
                  "jump to non-executable memory at 0xc5280000"},
        FaultCase{"ServiceGivenARegisterAddress", 6, 0xF0000000,
                  "LocateProtocol was handed a pointer to 16 bytes at 0xf0000000 to read"},
        FaultCase{"WriteToConstantData", 7, 1, "write to read-only memory at 0x"}),
    [](const ::testing::TestParamInfo<FaultCase>& Info) { return Info.param.Name; });

TEST(Aarch64EngineImages, MissingImageIsReportedBeforeAnythingRuns) {
  sim::Machine M(sim::BoardProfile{});
  sim::Aarch64Engine Engine(M, "/nonexistent/drivers");
  try {
    Engine.PrepareDriver("NetBootClassId");
    ADD_FAILURE() << "no error for a missing image";
  } catch (const sim::ImageError& Error) {
    EXPECT_EQ(std::string(Error.what())
                  .rfind("NetBootClassId.efi: no such AArch64 image in "
                         "/nonexistent/drivers",
                         0),
              0u)
        << Error.what();
  }
  EXPECT_TRUE(M.Events().empty());
}

} // namespace
