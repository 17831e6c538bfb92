// Generic-timer delay arithmetic (ticks from microseconds, 56-bit counter steps) and the
// simulated delay.
#include <Library/GenericTimer.h>
#include <Library/TimerLib.h>

#include "SimTest.h"

namespace {

using namespace simtest;

// Replays counter readings and records how many were taken.
struct ScriptedCounter {
  std::vector<UINT64> Readings;
  size_t Taken = 0;
  UINT64 operator()() { return Readings.at(Taken++); }
};

TEST(GenericTimerTest, TicksTruncateAfterTheProduct) {
  EXPECT_EQ(GenericTimerTicks(1, 100000000), 100u);
  EXPECT_EQ(GenericTimerTicks(10000, 24000000), 240000u);
  EXPECT_EQ(GenericTimerTicks(3, 333333), 0u); // 999999 / 1000000
  EXPECT_EQ(GenericTimerTicks(7, 1000001), 7u);
}

TEST(GenericTimerTest, ZeroTicksReturnAfterOneReading) {
  ScriptedCounter Counter{{5}};
  GenericTimerWait(0, std::ref(Counter));
  EXPECT_EQ(Counter.Taken, 1u);
}

TEST(GenericTimerTest, WaitsUntilTheAdvancesCoverTheTicks) {
  ScriptedCounter Counter{{100, 130, 160, 199, 200, 500}};
  GenericTimerWait(100, std::ref(Counter));
  EXPECT_EQ(Counter.Taken, 5u); // 30 + 30 + 39 = 99, then one more tick
}

TEST(GenericTimerTest, CounterWrapAt56BitsCostsNothing) {
  const UINT64 Top = 0x00FFFFFFFFFFFFF0ULL;
  ScriptedCounter Counter{{Top, 0x5, 0x100}};
  GenericTimerWait(0x15, std::ref(Counter)); // 0x10 to the wrap, then 5 more
  EXPECT_EQ(Counter.Taken, 2u);
}

TEST(GenericTimerTest, UpperByteOfTheCounterIsIgnored) {
  ScriptedCounter Counter{{0xAB00000000000010ULL, 0xCD00000000000020ULL, 0xCD00000000000030ULL}};
  GenericTimerWait(0x20, std::ref(Counter));
  EXPECT_EQ(Counter.Taken, 3u);
}

class SimulatedDelayTest : public SimTest {};

TEST_F(SimulatedDelayTest, DelayIsOneEventAndAdvancesTheCounter) {
  Board.TimerFrequency = 24000000;
  Start();
  EXPECT_EQ(MicroSecondDelay(10000), 10000u);
  EXPECT_EQ(Hardware(), (std::vector<Event>{Delay(10000)}));
  const uint64_t Before = Machine->ReadCounter();
  MicroSecondDelay(1000);
  EXPECT_GE(Machine->ReadCounter() - Before, 24000u);
}

} // namespace
