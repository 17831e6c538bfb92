// The emulation engine as a verifier that an image cannot fool, hang or crash: NetBootClassId
// with its entry code replaced by a few instructions, which either run as the hardware would
// see them or stop the run, naming what they did. One table of instructions, one of firmware
// services handed bad arguments.
#include <gtest/gtest.h>

#include <Sim/Aarch64Engine.h>
#include <Sim/Boot.h>
#include <Sim/Status.h>

#include "EngineRun.h"
#include "PatchedImages.h"

namespace {

using sim::Event;
using sim::EventKind;
using sim::StopKind;
namespace code = patchtest::a64;

constexpr uint64_t UART_FLAGS = 0x840C0018;

struct Outcome {
  bool Completed;
  uint64_t Status;
  std::unique_ptr<sim::Machine> Machine;
  std::unique_ptr<sim::Aarch64Engine> Engine;
};

Outcome RunEntryCode(const std::vector<uint32_t>& Code, uint64_t InstructionBudget,
                     uint64_t AccessBudget = sim::DEFAULT_ACCESS_BUDGET) {
  const std::vector<uint8_t> Image =
      patchtest::ReadBytes(sim::DefaultEfiDirectory() + "/NetBootClassId.efi");
  static int Serial = 0;
  patchtest::Folder Dir("verifier-" + std::to_string(Serial++));
  patchtest::WriteBytes(Dir.Path + "/NetBootClassId.efi", patchtest::WithEntryCode(Image, Code));
  Outcome O;
  O.Machine = std::make_unique<sim::Machine>(sim::DefaultBoardProfile());
  O.Machine->SetInstructionBudget(InstructionBudget);
  O.Machine->SetAccessBudget(AccessBudget);
  O.Engine = std::make_unique<sim::Aarch64Engine>(*O.Machine, Dir.Path);
  const sim::DriverResult R = sim::DispatchDriver(*O.Engine, *O.Machine, "NetBootClassId");
  O.Completed = R.Completed;
  O.Status = R.Status;
  return O;
}

struct InstructionCase {
  const char* Name;
  std::vector<uint32_t> Code;
  StopKind Stop; // None: the run completes
  const char* Message;
};

void PrintTo(const InstructionCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class InstructionTest : public ::testing::TestWithParam<InstructionCase> {
protected:
  void SetUp() override {
    if (!emutest::ImagesPresent({"NetBootClassId"})) {
      GTEST_SKIP();
    }
  }
};

constexpr uint32_t UART_BASE_TO_X1 = 0xD2B08181; // movz x1, #0x840c, lsl #16

TEST_P(InstructionTest, RunsAsTheHardwareWouldSeeItOrStopsNamingIt) {
  const InstructionCase& C = GetParam();
  const Outcome O = RunEntryCode(C.Code, 1000000, 20000);
  if (C.Stop == StopKind::None) {
    EXPECT_TRUE(O.Completed) << O.Machine->StopMessage();
    EXPECT_EQ(O.Status, 0u);
    return;
  }
  ASSERT_FALSE(O.Completed);
  EXPECT_EQ(O.Machine->Stopped(), C.Stop) << O.Machine->StopMessage();
  EXPECT_NE(O.Machine->StopMessage().find(C.Message), std::string::npos)
      << O.Machine->StopMessage();
  EXPECT_EQ(O.Machine->StopMessage().find('\n'), std::string::npos);
  // Nothing of a refused access reaches the SoC.
  for (const Event& E : O.Machine->Events()) {
    EXPECT_FALSE(sim::IsRegisterAccess(E.Kind) && E.Address >= 0x840C0000 &&
                 E.Address < 0x840C0010 && C.Stop == StopKind::ImageFault)
        << sim::FormatEvent(E);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EntryCode, InstructionTest,
    ::testing::Values(
        // Accesses to the UART's data register at 0x840c0000.
        InstructionCase{"PairedLoad",
                        {UART_BASE_TO_X1, 0x29400C22 /* ldp w2, w3, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "NetBootClassId: 32-bit load from 0x840c0000 by ldp w2, w3, [x1] at "
                        "0x4100001004 (NetBootClassId+0x1004): registers take one naturally "
                        "aligned 8-bit or 32-bit load or store of one register"},
        InstructionCase{"UnalignedWord",
                        {UART_BASE_TO_X1, 0xB8402022 /* ldur w2, [x1, #2] */, code::RET},
                        StopKind::ImageFault,
                        "32-bit load from 0x840c0002 by ldur w2, [x1, #2] at 0x"},
        InstructionCase{"HalfwordStore",
                        {UART_BASE_TO_X1, 0x79000022 /* strh w2, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "16-bit store to 0x840c0000 by strh w2, [x1]"},
        InstructionCase{"DoublewordStore",
                        {UART_BASE_TO_X1, 0xF9000022 /* str x2, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "64-bit store to 0x840c0000 by str x2, [x1]"},
        InstructionCase{"ExclusiveLoad",
                        {UART_BASE_TO_X1, 0x885F7C22 /* ldxr w2, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "by ldxr w2, [x1] at 0x"},
        InstructionCase{"AcquiringLoad",
                        {UART_BASE_TO_X1, 0x88DFFC22 /* ldar w2, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "by ldar w2, [x1] at 0x"},
        InstructionCase{"SignExtendingByteLoad",
                        {UART_BASE_TO_X1, 0x39C00022 /* ldrsb w2, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "8-bit load from 0x840c0000 by ldrsb w2, [x1]"},
        InstructionCase{"SimdLoad",
                        {UART_BASE_TO_X1, 0xBD400020 /* ldr s0, [x1] */, code::RET},
                        StopKind::ImageFault,
                        "32-bit load from 0x840c0000 by ldr s0, [x1]"},
        InstructionCase{"ZeroingACacheLine",
                        {UART_BASE_TO_X1, 0xD50B7421 /* dc zva, x1 */, code::RET},
                        StopKind::ImageFault,
                        "dc zva, x1 at 0x"},
        InstructionCase{"CleaningACacheLine",
                        {UART_BASE_TO_X1, 0xD50B7E21 /* dc civac, x1 */, code::RET},
                        StopKind::ImageFault,
                        "dc civac, x1 at 0x"},
        InstructionCase{"AlignedByteAndWordForms",
                        {UART_BASE_TO_X1, code::MovZ(3, 0), 0x39406022 /* ldrb w2, [x1, #24] */,
                         0x38001422 /* strb w2, [x1], #1 */, 0xB8417C22 /* ldr w2, [x1, #23]! */,
                         0xB8236822 /* str w2, [x1, x3] */, code::MovZ(0, 0), code::RET},
                        StopKind::None,
                        ""},
        // System registers.
        InstructionCase{"SystemControlWrite",
                        {0xD5181000 /* msr sctlr_el1, x0 */, code::RET},
                        StopKind::ImageFault,
                        "write to the system-control register SCTLR_EL1 by msr sctlr_el1, x0"},
        InstructionCase{"TimerControlWrite",
                        {0xD51BE220 /* msr cntp_ctl_el0, x0 */, code::RET},
                        StopKind::ImageFault,
                        "write to the timer-control register CNTP_CTL_EL0 by msr cntp_ctl_el0"},
        InstructionCase{"InterruptMaskSet",
                        {0xD50342DF /* msr daifset, #2 */, code::RET},
                        StopKind::ImageFault,
                        "write to the interrupt mask by msr daifset, #2"},
        InstructionCase{"InterruptMaskRegister",
                        {0xD51B4220 /* msr daif, x0 */, code::RET},
                        StopKind::ImageFault,
                        "write to the interrupt-mask register DAIF"},
        InstructionCase{"TimerCompareRead",
                        {0xD53BE200 /* mrs x0, cntp_tval_el0 */, code::RET},
                        StopKind::ImageFault,
                        "read of CNTP_TVAL_EL0 by mrs x0, cntp_tval_el0 at 0x"},
        InstructionCase{"ProcessorStateReads",
                        {0xD53B4202 /* mrs x2, nzcv */, 0xD53B4223 /* mrs x3, daif */,
                         0xD5384244 /* mrs x4, currentel */, 0xD5380005 /* mrs x5, midr_el1 */,
                         code::MovZ(0, 0), code::RET},
                        StopKind::None,
                        ""},
        InstructionCase{"WaitForInterrupt",
                        {0xD503207F /* wfi */, code::RET},
                        StopKind::ImageFault,
                        "waits for an interrupt, which never comes"},
        // Runs that would never end.
        InstructionCase{
            "BranchToItself", {0x14000000 /* b . */}, StopKind::DeadLoop, "dead loop at pc 0x"},
        InstructionCase{
            "CallToItself", {0x94000000 /* bl . */}, StopKind::DeadLoop, "dead loop at pc 0x"},
        InstructionCase{"NopsAndABranchBack",
                        {0xD503201F, 0xD503201F, 0xD503201F, 0xD503201F, code::BackBy(4)},
                        StopKind::DeadLoop,
                        "dead loop at pc 0x"},
        InstructionCase{"CounterReadLoop",
                        {0xD53BE020 /* mrs x0, cntpct_el0 */, code::BackBy(1)},
                        StopKind::InstructionBudget,
                        "instruction budget of 1000000 instructions spent at pc 0x"},
        InstructionCase{"CountdownRunsToItsEnd",
                        {code::MovZ(0, 0x4, 16), 0xF1000400 /* subs x0, x0, #1 */,
                         0x54FFFFE1 /* b.ne .-4 */, code::MovZ(0, 0), code::RET},
                        StopKind::None,
                        ""},
        // A new register page for every store: register space has no page limit.
        InstructionCase{"StoreToANewPageEachTime",
                        {code::MovZ(1, 0x1000, 16), 0xB9000020 /* str w0, [x1] */,
                         0x91400421 /* add x1, x1, #0x1000 */, code::BackBy(2)},
                        StopKind::AccessBudget,
                        "access budget of 20000 accesses spent"}),
    [](const ::testing::TestParamInfo<InstructionCase>& Info) { return Info.param.Name; });

// Register pages are not mapped one by one, so there is no count for the emulator to run out of;
// the pages that hold written values are bounded, so the host's memory cannot run out either.
TEST(VerifierAccessTest, StoresAllOverRegisterSpaceStopAtTheSoCsPageBound) {
  if (!emutest::ImagesPresent({"NetBootClassId"})) {
    return;
  }
  const Outcome O = RunEntryCode({code::MovZ(1, 0x1000, 16), 0xB9000020 /* str w0, [x1] */,
                                  0x91400421 /* add x1, x1, #0x1000 */, code::BackBy(2)},
                                 1000000, 1000000);
  ASSERT_FALSE(O.Completed);
  EXPECT_EQ(O.Machine->Stopped(), StopKind::MemoryFault);
  // Some pages are taken by the board before the image's first store.
  EXPECT_NE(O.Machine->StopMessage().find("NetBootClassId: store to 0x"), std::string::npos)
      << O.Machine->StopMessage();
  EXPECT_NE(O.Machine->StopMessage().find(
                ", a register page beyond the 65536 (256 MiB) that the simulated SoC holds"),
            std::string::npos)
      << O.Machine->StopMessage();
  EXPECT_EQ(O.Machine->Memory().RegisterPages(), 65536u);
}

// The allowed forms make exactly one access each, at their width.
TEST(VerifierAccessTest, EachAllowedFormIsOneTracedAccessOfItsWidth) {
  if (!emutest::ImagesPresent({"NetBootClassId"})) {
    return;
  }
  const Outcome O = RunEntryCode({UART_BASE_TO_X1, code::MovZ(3, 0), 0x39406022, 0x38001422,
                                  0xB8417C22, 0xB8236822, code::MovZ(0, 0), code::RET},
                                 1000);
  ASSERT_TRUE(O.Completed) << O.Machine->StopMessage();
  std::vector<Event> Accesses;
  for (const Event& E : O.Machine->Events()) {
    if (sim::IsRegisterAccess(E.Kind)) {
      Accesses.push_back(E);
    }
  }
  EXPECT_EQ(Accesses, (std::vector<Event>{{EventKind::Read8, UART_FLAGS, 0x90, {}},
                                          {EventKind::Write8, 0x840C0000, 0x90, {}},
                                          {EventKind::Read32, UART_FLAGS, 0x90, {}},
                                          {EventKind::Write32, UART_FLAGS, 0x90, {}}}));
}

// A call of a boot service, the member at Offset, with the arguments that Setup puts in x0 to
// x4; x10 holds the system table and the stack has 32 bytes of locals at sp. The service's
// status is the image's.
std::vector<uint32_t> CallBootService(size_t Offset, const std::vector<uint32_t>& Setup) {
  std::vector<uint32_t> Code = {
      code::SubImm(code::SP, code::SP, 48),
      code::StrX(30, code::SP, 32),
      code::AddImm(10, 1, 0),
      code::LdrX(8, 1, offsetof(EFI_SYSTEM_TABLE, BootServices)),
      code::LdrX(9, 8, static_cast<uint32_t>(Offset)),
  };
  Code.insert(Code.end(), Setup.begin(), Setup.end());
  Code.insert(Code.end(), {code::Blr(9), code::LdrX(30, code::SP, 32),
                           code::AddImm(code::SP, code::SP, 48), code::RET});
  return Code;
}

struct ArgumentCase {
  const char* Name;
  std::vector<uint32_t> Code;
  // Completed runs: the status the service returned and its trace line; stopped runs: what the
  // message must say.
  bool Completes;
  uint64_t Status;
  const char* Text;
};

void PrintTo(const ArgumentCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class FirmwareArgumentTest : public ::testing::TestWithParam<ArgumentCase> {
protected:
  void SetUp() override {
    if (!emutest::ImagesPresent({"NetBootClassId"})) {
      GTEST_SKIP();
    }
  }
};

TEST_P(FirmwareArgumentTest, AnswersAsRealFirmwareOrStopsNamingServiceAndPointer) {
  const ArgumentCase& C = GetParam();
  const Outcome O = RunEntryCode(C.Code, 1000000);
  if (C.Completes) {
    ASSERT_TRUE(O.Completed) << O.Machine->StopMessage();
    EXPECT_EQ(O.Status, C.Status) << sim::StatusName(O.Status);
    std::vector<std::string> Services;
    for (const Event& E : O.Machine->Events()) {
      if (E.Kind == EventKind::Service) {
        Services.push_back(sim::FormatEvent(E));
      }
    }
    EXPECT_EQ(Services, std::vector<std::string>{C.Text});
    EXPECT_TRUE(O.Engine->Fw().Pool().empty());
    return;
  }
  ASSERT_FALSE(O.Completed);
  EXPECT_EQ(O.Machine->Stopped(), StopKind::ImageFault);
  EXPECT_EQ(O.Machine->StopMessage().rfind(std::string("NetBootClassId: ") + C.Text, 0), 0u)
      << O.Machine->StopMessage();
  // A refused call has no effect and no trace line.
  for (const Event& E : O.Machine->Events()) {
    EXPECT_NE(E.Kind, EventKind::Service) << sim::FormatEvent(E);
  }
  EXPECT_TRUE(O.Engine->Fw().Pool().empty());
  EXPECT_TRUE(O.Engine->Fw().Events().empty());
}

constexpr size_t ALLOCATE_POOL = offsetof(EFI_BOOT_SERVICES, AllocatePool);
constexpr size_t CREATE_EVENT = offsetof(EFI_BOOT_SERVICES, CreateEvent);
constexpr size_t LOCATE_PROTOCOL = offsetof(EFI_BOOT_SERVICES, LocateProtocol);
constexpr size_t COPY_MEM = offsetof(EFI_BOOT_SERVICES, CopyMem);
constexpr size_t SET_MEM = offsetof(EFI_BOOT_SERVICES, SetMem);
const uint32_t POOL_TYPE_TO_X0 = code::MovZ(0, 4); // EfiBootServicesData
const uint32_t LOCAL_TO_X2 = code::AddImm(2, code::SP, 8);

INSTANTIATE_TEST_SUITE_P(
    Services, FirmwareArgumentTest,
    ::testing::Values(
        ArgumentCase{
            "PoolOfTheWholeAddressSpace",
            CallBootService(ALLOCATE_POOL, {POOL_TYPE_TO_X0, code::MovN(1, 0), LOCAL_TO_X2}), true,
            EFI_OUT_OF_RESOURCES, "BS AllocatePool 4 18446744073709551615 -> EFI_OUT_OF_RESOURCES"},
        ArgumentCase{"PoolJustAboveTheCapacity",
                     CallBootService(ALLOCATE_POOL, {POOL_TYPE_TO_X0, code::MovZ(1, 0x100, 16),
                                                     code::AddImm(1, 1, 1), LOCAL_TO_X2}),
                     true, EFI_OUT_OF_RESOURCES,
                     "BS AllocatePool 4 16777217 -> EFI_OUT_OF_RESOURCES"},
        ArgumentCase{
            "PoolPointerIntoCode",
            CallBootService(ALLOCATE_POOL, {POOL_TYPE_TO_X0, code::MovZ(1, 16), code::AdrHere(2)}),
            false, 0,
            "AllocatePool was handed a pointer to 8 bytes at 0x410000101c "
            "(NetBootClassId+0x101c) to write, outside the image's data"},
        ArgumentCase{"PoolPointerIntoRegisters",
                     CallBootService(ALLOCATE_POOL, {POOL_TYPE_TO_X0, code::MovZ(1, 16),
                                                     code::MovZ(2, 0x840C, 16)}),
                     false, 0,
                     "AllocatePool was handed a pointer to 8 bytes at 0x840c0000 to write"},
        ArgumentCase{"PoolPointerBelowTheStack",
                     CallBootService(ALLOCATE_POOL, {POOL_TYPE_TO_X0, code::MovZ(1, 16),
                                                     code::SubImm(2, code::SP, 64)}),
                     false, 0, "AllocatePool was handed a pointer to 8 bytes at 0x"},
        ArgumentCase{
            "EventHandleIntoTheFirmwareTables",
            CallBootService(CREATE_EVENT, {code::MovZ(0, 0), code::MovZ(1, 0), code::MovZ(2, 0),
                                           code::MovZ(3, 0), code::AddImm(4, 10, 0)}),
            false, 0,
            "CreateEvent was handed a pointer to 8 bytes at 0x4000100000 "
            "(firmware tables+0x0) to write"},
        ArgumentCase{"ProtocolGuidInRegisters",
                     CallBootService(LOCATE_PROTOCOL,
                                     {code::MovZ(0, 0x840C, 16), code::MovZ(1, 0), LOCAL_TO_X2}),
                     false, 0,
                     "LocateProtocol was handed a pointer to 16 bytes at 0x840c0000 to read, "
                     "outside the image, its stack, its pool and the firmware's tables"},
        ArgumentCase{"ProtocolGuidInTheBootLogRing",
                     CallBootService(LOCATE_PROTOCOL,
                                     {code::MovZ(0, 0xC528, 16), code::MovZ(1, 0), LOCAL_TO_X2}),
                     false, 0, "LocateProtocol was handed a pointer to 16 bytes at 0xc5280000"},
        ArgumentCase{"CopyFromRegisters",
                     CallBootService(COPY_MEM, {code::AddImm(0, code::SP, 0),
                                                code::MovZ(1, 0x840C, 16), code::MovZ(2, 16)}),
                     false, 0, "CopyMem was handed a pointer to 16 bytes at 0x840c0000 to read"},
        ArgumentCase{
            "CopyOfATerabyte",
            CallBootService(COPY_MEM, {code::AddImm(0, code::SP, 0), code::AddImm(1, code::SP, 8),
                                       code::MovZ(2, 0x100, 32)}),
            false, 0, "CopyMem was handed a pointer to 1099511627776 bytes at 0x"},
        ArgumentCase{
            "FillOfCode",
            CallBootService(SET_MEM, {code::AdrHere(0), code::MovZ(1, 4), code::MovZ(2, 0)}), false,
            0, "SetMem was handed a pointer to 4 bytes at 0x4100001014"}),
    [](const ::testing::TestParamInfo<ArgumentCase>& Info) { return Info.param.Name; });

// Service calls count against the instruction budget: an image that calls one for ever stops.
TEST(VerifierServiceTest, ServiceCallsInALoopSpendTheBudget) {
  if (!emutest::ImagesPresent({"NetBootClassId"})) {
    return;
  }
  const Outcome O = RunEntryCode({code::LdrX(19, 1, offsetof(EFI_SYSTEM_TABLE, BootServices)),
                                  code::LdrX(9, 19, offsetof(EFI_BOOT_SERVICES, FreePool)),
                                  code::MovZ(0, 0), code::Blr(9), code::BackBy(3)},
                                 1000000);
  ASSERT_FALSE(O.Completed);
  EXPECT_EQ(O.Machine->Stopped(), StopKind::InstructionBudget) << O.Machine->StopMessage();
  size_t Calls = 0;
  for (const Event& E : O.Machine->Events()) {
    Calls += E.Kind == EventKind::Service;
  }
  // Each call counts as 256 instructions, besides the few of the loop and the stub.
  EXPECT_LE(Calls, 1000000u / 256);
  EXPECT_GE(Calls, 1000000u / 270);
}

// Each dispatch loads a fresh image; a thousand of them run on both engines.
TEST(VerifierDispatchTest, ADriverNamedAThousandTimesRunsOnBothEngines) {
  if (!emutest::ImagesPresent({"NetBootClassId"})) {
    return;
  }
  emutest::Scenario S;
  S.Name = "thousand";
  S.Steps.assign(1000, "NetBootClassId");
  for (const emutest::EngineKind Kind :
       {emutest::EngineKind::Native, emutest::EngineKind::Aarch64}) {
    const emutest::Outcome O = emutest::RunScenario(Kind, S);
    EXPECT_EQ(O.Stop, StopKind::None) << O.StopMessage;
    ASSERT_EQ(O.Results.size(), 1000u);
    EXPECT_EQ(O.Results.back(), O.Results.front());
  }
}

} // namespace
