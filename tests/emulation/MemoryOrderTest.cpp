// The shipped images' accesses to the SoC's ordinary memory, traced with --trace-memory: the
// boot-log ring's header is read and rewritten one 32-bit word at a time in the order of the
// format (FirstOffset, AreaSize, 0x0C, Wrapped, 0x14, WriteOffset, LevelInForce), the text is
// copied without touching anything beside it, and the ISP status record is written, word by
// word in ascending order, before the first register of the ISP start sequence.
#include <gtest/gtest.h>

#include <algorithm>

#include <Sim/Aarch64Engine.h>
#include <Sim/Boot.h>

#include "EngineRun.h"

namespace {

using sim::Event;
using sim::EventKind;

// The default board's ring at 0xC5280000: slot 1 of stride 0x32000 / 10, log base 0x10000 and
// UEFI offset 0x2000 put the area header at R + 0x5000 + 0x10000 + 0x2000 + 0x400.
constexpr uint64_t RING = 0xC5280000;
constexpr uint64_t HEADER = 0xC5297400;
constexpr uint64_t DATA = HEADER + 0x80;
const std::vector<uint64_t> RING_HEADER_READS = {RING, RING + 0x78, RING + 0x10, RING + 0x0C,
                                                 RING + 0x28};
const std::vector<uint64_t> AREA_HEADER_WORDS = {HEADER + 0x00, HEADER + 0x04, HEADER + 0x0C,
                                                 HEADER + 0x10, HEADER + 0x14, HEADER + 0x40,
                                                 HEADER + 0x44};
constexpr uint64_t ISP_STATUS_RECORD = 0xC6F36500;
constexpr uint64_t CHIP_VARIANT = 0x8000FFF8;

bool IsMemory(const Event& E) {
  return E.Kind == EventKind::MemoryRead || E.Kind == EventKind::MemoryWrite;
}

class MemoryOrderTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!emutest::ImagesPresent({"RootPortBringup", "ImagerLauncher"})) {
      GTEST_SKIP();
    }
    Machine = std::make_unique<sim::Machine>(sim::DefaultBoardProfile());
    Machine->SetTraceMemory(true);
    Engine = std::make_unique<sim::Aarch64Engine>(*Machine, emutest::EfiSearchPath());
  }
  std::vector<Event> MemoryEvents() const {
    std::vector<Event> Found;
    for (const Event& E : Machine->Events()) {
      if (IsMemory(E)) {
        Found.push_back(E);
      }
    }
    return Found;
  }
  // Expects at Events[At...] one single 32-bit access of Kind to each address, in order.
  static void ExpectWords(const std::vector<Event>& Events, size_t& At, EventKind Kind,
                          const std::vector<uint64_t>& Addresses) {
    for (const uint64_t Address : Addresses) {
      ASSERT_LT(At, Events.size());
      const Event& E = Events[At++];
      EXPECT_EQ(E.Kind, Kind) << sim::FormatEvent(E);
      EXPECT_EQ(E.Address, Address) << sim::FormatEvent(E);
      EXPECT_EQ(E.Width, 32u) << sim::FormatEvent(E);
      EXPECT_EQ(E.Text, "") << "not a single 32-bit access: " << sim::FormatEvent(E);
    }
  }

  std::unique_ptr<sim::Machine> Machine;
  std::unique_ptr<sim::Aarch64Engine> Engine;
};

TEST_F(MemoryOrderTest, RingHeaderIsReadAndRewrittenWordByWordInTheFormatsOrder) {
  ASSERT_TRUE(sim::DispatchDriver(*Engine, *Machine, "RootPortBringup").Completed);
  const std::vector<Event> Events = MemoryEvents();
  size_t At = 0;
  // The probe: the ring header, then LevelInForce set to 2.
  ExpectWords(Events, At, EventKind::MemoryRead, {RING});
  ExpectWords(Events, At, EventKind::MemoryRead,
              {RING_HEADER_READS.begin() + 1, RING_HEADER_READS.end()});
  ExpectWords(Events, At, EventKind::MemoryWrite, {HEADER + 0x44});
  EXPECT_EQ(Events[At - 1].Value, 2u);

  size_t Messages = 0;
  while (At < Events.size()) {
    ExpectWords(Events, At, EventKind::MemoryRead, RING_HEADER_READS);
    const size_t Reads = At;
    ExpectWords(Events, At, EventKind::MemoryRead, AREA_HEADER_WORDS);
    ASSERT_FALSE(HasFailure());
    const uint64_t WriteOffset = Events[Reads + 5].Value;
    // The text, copied at any width, but only over the bytes it goes to.
    uint64_t Copied = 0;
    while (At < Events.size() && Events[At].Address >= DATA) {
      const Event& E = Events[At++];
      EXPECT_EQ(E.Kind, EventKind::MemoryWrite) << sim::FormatEvent(E);
      EXPECT_EQ(E.Address, DATA + WriteOffset + Copied) << sim::FormatEvent(E);
      Copied += E.Width / 8;
    }
    EXPECT_GT(Copied, 0u);
    const size_t Writes = At;
    ExpectWords(Events, At, EventKind::MemoryWrite, AREA_HEADER_WORDS);
    ASSERT_FALSE(HasFailure());
    // What was read is stored back, but the write offset, which moved past the text.
    for (size_t Word = 0; Word < AREA_HEADER_WORDS.size(); ++Word) {
      EXPECT_EQ(Events[Writes + Word].Value,
                Word == 5 ? WriteOffset + Copied : Events[Reads + Word].Value)
          << sim::FormatEvent(Events[Writes + Word]);
    }
    ++Messages;
  }
  // "Wait PCIE SSD..." and the boot-trace line.
  EXPECT_EQ(Messages, 2u);
}

struct IspCase {
  const char* Name;
  sim::CallSpec Call;
  std::vector<uint64_t> Record; // Magic, Value0, Value1, Sum
  bool Starts;                  // whether the start sequence follows
};

void PrintTo(const IspCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class IspRecordTest : public MemoryOrderTest, public ::testing::WithParamInterface<IspCase> {};

// Between the call and the record only the chip-variant read and the log of a refused image may
// come; the record's four words follow each other, and the start sequence comes after them.
TEST_P(IspRecordTest, RecordIsWrittenInAscendingOrderBeforeTheStartSequence) {
  ASSERT_TRUE(sim::DispatchDriver(*Engine, *Machine, "ImagerLauncher").Completed);
  uint64_t Status = 0;
  const size_t CallAt = Machine->Events().size();
  ASSERT_EQ(sim::MakeCall(*Engine, *Machine, GetParam().Call, Status), sim::CallOutcome::Done);
  const std::vector<Event> Events(Machine->Events().begin() + CallAt, Machine->Events().end());

  size_t First = 0;
  while (First < Events.size() && Events[First].Address != ISP_STATUS_RECORD) {
    ++First;
  }
  ASSERT_LE(First + 4, Events.size());
  for (size_t Word = 0; Word < 4; ++Word) {
    const Event& E = Events[First + Word];
    EXPECT_EQ(sim::FormatEvent(E), sim::FormatEvent({EventKind::MemoryWrite,
                                                     ISP_STATUS_RECORD + 4 * Word,
                                                     GetParam().Record[Word],
                                                     {},
                                                     32}));
  }
  std::vector<Event> Before;
  for (size_t I = 0; I < First; ++I) {
    if (sim::IsRegisterAccess(Events[I].Kind) && Events[I].Address != CHIP_VARIANT &&
        (Events[I].Address < 0x840C0000 || Events[I].Address >= 0x840C1000) &&
        Events[I].Address != 0x8000FFFC && Events[I].Address != 0xC6F0800A) {
      Before.push_back(Events[I]);
    }
  }
  EXPECT_TRUE(Before.empty()) << sim::FormatTrace(Before);
  const auto Call = std::find_if(Events.begin(), Events.end(),
                                 [](const Event& E) { return E.Kind == EventKind::Call; });
  ASSERT_LT(Call + 1, Events.end());
  EXPECT_EQ(sim::FormatEvent(Call[1]), "R32 0x8000fff8 0x1");
  size_t After = 0;
  for (size_t I = First + 4; I < Events.size(); ++I) {
    After += sim::IsRegisterAccess(Events[I].Kind);
  }
  EXPECT_EQ(After > 0, GetParam().Starts);
}

INSTANTIATE_TEST_SUITE_P(
    StartIsp, IspRecordTest,
    ::testing::Values(IspCase{"BothImages",
                              {"StartIsp", {0x80000000, 0x81000000, 0x200000, 0x180000}},
                              {0x00495350, 1, 1, 2},
                              true},
                      IspCase{"FirstImageOnly",
                              {"StartIsp", {0x80000000, 0, 0x200000, 0}},
                              {0x00495350, 1, 0, 1},
                              true},
                      IspCase{"FirstImageRefused",
                              {"StartIsp", {0x80000000, 0, 0x1400001, 0}},
                              {0x00495350, 0, 0, 0},
                              false}),
    [](const ::testing::TestParamInfo<IspCase>& Info) { return Info.param.Name; });

} // namespace
