// NetBootClassId as the DXE core runs it: the PCD set, its failure paths and the image status.
#include "SimTest.h"

namespace {

using namespace simtest;

// "PXEClient:Arch:xxxxx:UNDI:003000" and its terminator.
const char* const VENDOR_CLASS_HEX =
    "505845436c69656e743a417263683a78787878783a554e44493a30303330303000";

class NetBootClassIdTest : public SimTest {
protected:
  void SetUp() override { Set32(0x8000FFFC, 0x00010000); } // emulator: every log line is echoed
  std::vector<Event> Services() { return EventsOfKind(Events(), EventKind::Service); }
};

TEST_F(NetBootClassIdTest, StoresTheVendorClassInTokenTwoAndLogsNothing) {
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  const std::vector<Event> Expected = {
      Service("AllocatePool 4 16", EFI_SUCCESS),
      Service("InstallConfigurationTable EE4E5898-3914-4259-9D6E-DC7BD79403CF", EFI_SUCCESS),
      Service("LocateProtocol 11B34006-D85B-4D0A-A290-D5A571310EF7", EFI_SUCCESS),
      Service(std::string("SetPtr 2 33 ") + VENDOR_CLASS_HEX, EFI_SUCCESS),
  };
  EXPECT_EQ(Services(), Expected);
  const std::vector<uint8_t>& Value = Engine->Fw().PcdDatabase().at(2).Value;
  EXPECT_EQ(std::string(Value.begin(), Value.end()),
            std::string("PXEClient:Arch:xxxxx:UNDI:003000\0", 33));
  EXPECT_EQ(Machine->Console(), "");
}

TEST_F(NetBootClassIdTest, FailedSetIsLoggedWithTheStatusTextAndStillSucceeds) {
  Board.Fail = {{"SetPtr", EFI_INVALID_PARAMETER}};
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Console(), "PXEClient set string failed: Invalid Parameter\r\n");
}

TEST_F(NetBootClassIdTest, WarningFromTheSetIsNotAFailure) {
  Board.Fail = {{"SetPtr", EFI_WARN_STALE_DATA}};
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Console(), "");
}

TEST_F(NetBootClassIdTest, MissingPcdServiceIsReportedNotCalledThrough) {
  Board.Pcd = false;
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Console(), "PCD protocol not found: Not Found\r\n");
  const std::vector<Event> S = Services();
  ASSERT_EQ(S.size(), 3u);
  EXPECT_EQ(S.back(),
            Service("LocateProtocol 11B34006-D85B-4D0A-A290-D5A571310EF7", EFI_NOT_FOUND));
}

TEST_F(NetBootClassIdTest, FailedLookupThatLeavesThePointerAloneIsReportedToo) {
  Board.Fail = {{"LocateProtocol", EFI_DEVICE_ERROR}};
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Console(), "PCD protocol not found: Device Error\r\n");
}

TEST_F(NetBootClassIdTest, OnSiliconTheFailureLineAlsoReachesTheRing) {
  Board.Mem32 = {{0x8000FFFC, 0}, {0xC5280000, 0xEAEA2020}, {0xC5280404, 0x1000}};
  Board.Fail = {{"SetPtr", EFI_OUT_OF_RESOURCES}};
  Start();
  EXPECT_EQ(RunDriver("NetBootClassId"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Console(), "PXEClient set string failed: Out of Resources\r\n");
  const std::string Line = "[ERROR][UEFI]PXEClient set string failed: Out of Resources\n";
  std::string Ring(Line.size(), '\0');
  Machine->Memory().Load(0xC5280480, Ring.data(), Ring.size());
  EXPECT_EQ(Ring, Line);
}

TEST_F(NetBootClassIdTest, EachImageLooksThePcdServiceUpAgain) {
  Start();
  RunDriver("NetBootClassId");
  RunDriver("NetBootClassId");
  size_t Lookups = 0;
  for (const Event& E : Services()) {
    Lookups += E.Text.rfind("LocateProtocol", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(Lookups, 2u);
}

} // namespace
