// The ImagerLauncher image on the simulated firmware: the protocol installation, its failure
// paths, and calls through the installed interface as a caller outside the driver makes them.
#include <gtest/gtest.h>

#include <cstring>

#include <Sim/Status.h>
#include <SimTest.h>

namespace {

using simtest::Event;
using simtest::EventKind;
using simtest::Service;
using simtest::W32;

// E5037DA0-D990-F5CE-D2E0-7D399130A5FF in EFI_GUID byte order.
constexpr uint8_t PROTOCOL_GUID_BYTES[16] = {0xA0, 0x7D, 0x03, 0xE5, 0x90, 0xD9, 0xCE, 0xF5,
                                             0xD2, 0xE0, 0x7D, 0x39, 0x91, 0x30, 0xA5, 0xFF};
// The handle the simulated firmware gives the first image it loads.
constexpr uint64_t IMAGE_HANDLE = 0x1000;
constexpr uint64_t RECORD = 0xC6F36500;

class ImagerLauncherTest : public simtest::SimTest {
protected:
  void SetUp() override {
    Set32(0x8000FFFC, 0x00010000); // emulator: every message reaches the console
    Set32(0x8000FFF8, 1);
  }
  std::vector<sim::ProtocolInstance> Installed() {
    std::vector<sim::ProtocolInstance> Result;
    for (const sim::ProtocolInstance& P : Engine->Fw().Protocols()) {
      if (std::memcmp(&P.Guid, PROTOCOL_GUID_BYTES, 16) == 0) {
        Result.push_back(P);
      }
    }
    return Result;
  }
  // Pool blocks the driver's own logic could have left (the start-up's GUID copy is 16 bytes).
  size_t InterfaceBlocks() {
    size_t Count = 0;
    for (const auto& [Address, Block] : Engine->Fw().Pool()) {
      Count += Block.Size == 24 ? 1 : 0;
    }
    return Count;
  }
  std::vector<Event> ServicesNamed(const std::string& Prefix) {
    std::vector<Event> Result;
    for (const Event& E : simtest::EventsOfKind(Events(), EventKind::Service)) {
      if (E.Text.rfind(Prefix, 0) == 0) {
        Result.push_back(E);
      }
    }
    return Result;
  }
  uint64_t Call(const std::string& Text) {
    sim::CallSpec Spec;
    std::string Error;
    EXPECT_TRUE(sim::ParseCallSpec(Text, Spec, Error)) << Error;
    uint64_t Status = 0xDEAD;
    EXPECT_EQ(sim::MakeCall(*Engine, *Machine, Spec, Status), sim::CallOutcome::Done) << Text;
    return Status;
  }
};

TEST_F(ImagerLauncherTest, InstallsTheInterfaceOnItsImageHandle) {
  Start();
  EXPECT_EQ(RunDriver("ImagerLauncher"), EFI_SUCCESS);

  const std::vector<sim::ProtocolInstance> Protocols = Installed();
  ASSERT_EQ(Protocols.size(), 1u);
  EXPECT_EQ(Protocols[0].Handle, IMAGE_HANDLE);
  const auto Block = Engine->Fw().Pool().find(Protocols[0].Interface);
  ASSERT_NE(Block, Engine->Fw().Pool().end());
  EXPECT_EQ(Block->second.Size, 24u);
  EXPECT_EQ(Block->second.Type, 4u); // EfiBootServicesData
  EXPECT_EQ(ServicesNamed("InstallProtocolInterface"),
            std::vector<Event>{Service(
                "InstallProtocolInterface 0x1000 E5037DA0-D990-F5CE-D2E0-7D399130A5FF 0", 0)});
  // Loading starts nothing: the status record is untouched.
  EXPECT_EQ(Machine->Memory().Peek32(RECORD), 0u);
}

TEST_F(ImagerLauncherTest, AllocatePoolFailureIsReturnedAndLogged) {
  Board.Fail["AllocatePool"] = 0x8000000000000009; // EFI_OUT_OF_RESOURCES
  Start();
  EXPECT_EQ(RunDriver("ImagerLauncher"), 0x8000000000000009u);
  EXPECT_NE(Machine->Console().find("AllocatePool ImagerLaunchProtocol fail, Status = 9!\r\n"),
            std::string::npos)
      << Machine->Console();
  EXPECT_TRUE(Installed().empty());
  EXPECT_TRUE(ServicesNamed("InstallProtocolInterface").empty());
}

TEST_F(ImagerLauncherTest, InstallFailureIsReturnedAndFreesTheBlock) {
  Board.Fail["InstallProtocolInterface"] = 0x8000000000000002; // EFI_INVALID_PARAMETER
  Start();
  EXPECT_EQ(RunDriver("ImagerLauncher"), 0x8000000000000002u);
  EXPECT_TRUE(Installed().empty());
  EXPECT_EQ(InterfaceBlocks(), 0u);
  EXPECT_EQ(ServicesNamed("FreePool"), std::vector<Event>{Service("FreePool 24", 0)});
  EXPECT_TRUE(Engine->Fw().BadFrees().empty());
}

TEST_F(ImagerLauncherTest, MembersCalledThroughTheInstalledInterface) {
  Start();
  ASSERT_EQ(RunDriver("ImagerLauncher"), EFI_SUCCESS);

  EXPECT_EQ(Call("StartIsp:0x80000000:0x81000000:0x100000:0x100000"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD + 4), 1u);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD + 8), 1u);
  EXPECT_EQ(Machine->Memory().Peek32(0xA93031A4), 0x01008000u);
  EXPECT_EQ(Machine->Memory().Peek32(0xA97031A4), 0x01008100u);

  EXPECT_EQ(Call("SetIspStatus:7:0xFFFFFFFA"), EFI_SUCCESS);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD), 0x00495350u);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD + 4), 7u);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD + 8), 0xFFFFFFFAu);
  EXPECT_EQ(Machine->Memory().Peek32(RECORD + 12), 1u);

  ClearEvents();
  EXPECT_EQ(Call("WriteIspMarker"), EFI_SUCCESS);
  EXPECT_EQ(Hardware(), std::vector<Event>{W32(0xCD080C00, 0xABABABAB)});
}

} // namespace
