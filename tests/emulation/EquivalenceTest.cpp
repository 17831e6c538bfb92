// Every scenario on both engines: the shipped AArch64 images must do exactly what the host
// builds of the same sources do, access for access, service call for service call.
#include <gtest/gtest.h>

#include "EngineRun.h"
#include "Scenarios.h"

namespace {

using namespace emutest;

class EquivalenceTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(EquivalenceTest, BothEnginesAgree) {
  const Scenario& S = GetParam();
  std::vector<std::string> Images;
  for (const std::string& Step : S.Steps) {
    if (Step.find(':') == std::string::npos && Step != "WriteIspMarker" &&
        Step != "ExitBootServices") {
      Images.push_back(Step);
    }
  }
  if (!ImagesPresent(Images)) {
    return;
  }
  const Outcome Native = RunScenario(EngineKind::Native, S);
  const Outcome Emulated = RunScenario(EngineKind::Aarch64, S);

  const uint64_t Frequency = S.Board.TimerFrequency;
  const std::string Difference =
      FirstDifference(Comparable(Native.Events, Frequency), Comparable(Emulated.Events, Frequency));
  EXPECT_TRUE(Difference.empty()) << Difference;
  EXPECT_EQ(Native.Results, Emulated.Results);
  EXPECT_EQ(Native.Stop, Emulated.Stop);
  EXPECT_EQ(Native.StopMessage, Emulated.StopMessage);
  EXPECT_EQ(Native.Console, Emulated.Console);
  EXPECT_TRUE(Native.Memory == Emulated.Memory) << "the SoC's memory differs";
  EXPECT_EQ(Native.Firmware, Emulated.Firmware);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EquivalenceTest, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& Info) {
                           return Info.param.Name;
                         });

} // namespace
