// The boot-log decoder reads what the runtime's writer wrote, across a wrap.
#include <gtest/gtest.h>

#include <Library/DebugLogLib.h>
#include <Sim/BootLog.h>

#include "SimTest.h"

namespace {

using sim::BootLog;
using sim::BootLogState;

// The runtime's writer appends four ERROR messages (110 bytes with their prefixes) to the low
// ring, chosen by selector 2, whose data area holds 100: the reader gets the last 100 bytes.
class BootLogWriterAndReader : public simtest::SimTest {
protected:
  void SetUp() override { LogThreshold = LOG_THRESHOLD_UNPROBED; }
  void TearDown() override {
    LogThreshold = LOG_THRESHOLD_UNPROBED;
    SimTest::TearDown();
  }
};

TEST_F(BootLogWriterAndReader, AgreeAcrossAWrap) {
  Set8(0xC6F0800A, 2);
  Set32(0x31280000, 0xEAEA2020);
  Set32(0x31280404, 0x80 + 100);
  Start();
  for (const char* Message :
       {"first message", "second message", "third message", "fourth message"}) {
    LogPrint(LOG_ERROR, "%a\n", Message);
  }
  const BootLog Log = sim::ReadBootLog(Machine->Memory());
  EXPECT_EQ(Log.State, BootLogState::Decoded) << Log.Problem;
  EXPECT_EQ(Log.Ring, 0x31280000u);
  EXPECT_NE(Log.Wrapped, 0u);
  EXPECT_EQ(Log.LevelInForce, 2u);
  EXPECT_EQ(Log.Text, "FI]first message\n[ERROR][UEFI]second message\n[ERROR][UEFI]third "
                      "message\n[ERROR][UEFI]fourth message\n");
}

} // namespace
