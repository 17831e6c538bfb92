// StartIsp and SetIspStatus called directly on a simulated machine: the argument checks, the
// status record and the ordered register program that starts the ISP cores.
#include <gtest/gtest.h>

#include <cstring>

#include <SimTest.h>

#include "ImagerLauncher.h"

namespace {

using simtest::Dsb;
using simtest::Event;
using simtest::EventKind;
using simtest::R32;
using simtest::W32;

constexpr uint64_t CHIP_VARIANT = 0x8000FFF8;
constexpr uint64_t BOOT_COUNTER = 0x80020008;
constexpr uint64_t PLATFORM_ID = 0x8000FFFC;
constexpr uint64_t RECORD = 0xC6F36500;
constexpr uint32_t ONES = 0xFFFFFFFF;

// Core 1 registers of the core set-up; none may be touched unless core 1 starts.
constexpr uint64_t CORE1_REGISTERS[] = {0xAA0600D0, 0xA9703048, 0xA97031A4, 0xA9703058, 0xA970304C,
                                        0xA9703068, 0xA970306C, 0xA9604038, 0xA9701000};

struct Record {
  uint32_t Magic, Value0, Value1, Sum;
  bool operator==(const Record&) const = default;
};
void PrintTo(const Record& R, std::ostream* Out) {
  *Out << std::hex << "{0x" << R.Magic << ", 0x" << R.Value0 << ", 0x" << R.Value1 << ", 0x"
       << R.Sum << "}";
}

class IspStartTest : public simtest::SimTest {
protected:
  void SetUp() override {
    // Emulator: every message reaches the console, unfiltered and without prefix.
    Set32(PLATFORM_ID, 0x00010000);
    // A record left by someone else, so that every word must be written.
    for (uint64_t Offset = 0; Offset < 16; Offset += 4) {
      Set32(RECORD + Offset, 0xEEEEEEEE);
    }
  }
  void StartOnVariant(uint32_t Variant) {
    Set32(CHIP_VARIANT, Variant);
    Start();
  }
  // What the ISP and the identification registers see: the console's own accesses and the
  // log's platform-kind reads left out.
  std::vector<Event> IspAccesses() {
    std::vector<Event> Result;
    for (const Event& E : Hardware()) {
      const bool Console = E.Address >= 0x840C0000 && E.Address < 0x840C1000;
      if (!Console && E.Address != PLATFORM_ID) {
        Result.push_back(E);
      }
    }
    return Result;
  }
  size_t Reads(uint64_t Address) {
    return simtest::CountAccesses(Events(), EventKind::Read32, Address);
  }
  bool Touched(uint64_t Address) {
    return Reads(Address) + simtest::CountAccesses(Events(), EventKind::Write32, Address) > 0;
  }
  std::vector<uint32_t> WritesTo(uint64_t Address) {
    std::vector<uint32_t> Values;
    for (const Event& E : Events()) {
      if (E.Kind == EventKind::Write32 && E.Address == Address) {
        Values.push_back(static_cast<uint32_t>(E.Value));
      }
    }
    return Values;
  }
  Record ReadRecord() {
    return {Machine->Memory().Peek32(RECORD), Machine->Memory().Peek32(RECORD + 4),
            Machine->Memory().Peek32(RECORD + 8), Machine->Memory().Peek32(RECORD + 12)};
  }
};

TEST_F(IspStartTest, TwoCoresOnVariant1InTableOrder) {
  Set32(BOOT_COUNTER, 115507199); // 3007.99 ms
  Set32(0xA80600D0, 0x00000010);
  Set32(0xA9303048, 0xA5A5A5A5);
  Set32(0xA93031A4, 0xFEFFFFFF);
  Set32(0xA9303058, 0xFFFFFFFF);
  Set32(0xA9703048, 0x5A5A5A5A);
  Set32(0xA9701000, 0x000000F0);
  Set32(0xA0780030, 0x00000080);
  StartOnVariant(0x31); // only bits 3:0 are the variant

  EXPECT_EQ(StartIsp(0x80000000, 0x81000000, 0x100000, 0x1400000), EFI_SUCCESS);

  const std::vector<Event> Expected = {
      R32(CHIP_VARIANT, 0x31), R32(BOOT_COUNTER, 115507199), R32(CHIP_VARIANT, 0x31),
      // Shared configuration block: eight zeros, then eight times 0x48.
      W32(0xA80E0000, 0), W32(0xA80E0004, 0), W32(0xA80E0008, 0), W32(0xA80E000C, 0),
      W32(0xA80E0010, 0), W32(0xA80E0014, 0), W32(0xA80E0018, 0), W32(0xA80E001C, 0),
      W32(0xA80E0800, 0x48), W32(0xA80E0804, 0x48), W32(0xA80E0808, 0x48), W32(0xA80E080C, 0x48),
      W32(0xA80E0810, 0x48), W32(0xA80E0814, 0x48), W32(0xA80E0818, 0x48), W32(0xA80E081C, 0x48),
      // Thirteen all-ones writes, in their unsorted order.
      W32(0xA80C0334, ONES), W32(0xA80C0344, ONES), W32(0xA80C0364, ONES), W32(0xA80C037C, ONES),
      W32(0xA80C038C, ONES), W32(0xA80C0350, ONES), W32(0xA80C0368, ONES), W32(0xA80C0C4C, ONES),
      W32(0xA80C0330, ONES), W32(0xA80C0340, ONES), W32(0xA80C0360, ONES), W32(0xA80C0378, ONES),
      W32(0xA80C0388, ONES),
      // Core 0.
      R32(0xA80600D0, 0x10), W32(0xA80600D0, 0x12), R32(0xA9303048, 0xA5A5A5A5),
      W32(0xA9303048, 0xA5A5AFA0), R32(0xA93031A4, 0xFEFFFFFF), W32(0xA93031A4, 0xFF008000),
      R32(CHIP_VARIANT, 0x31), R32(0xA9303048, 0xA5A5AFA0), W32(0xA9303048, 0xA5A5A0A0),
      R32(0xA9303058, 0xFFFFFFFF), W32(0xA9303058, 0xA93E1FFF), W32(0xA9303068, ONES),
      R32(CHIP_VARIANT, 0x31), W32(0xA930306C, 0xFFFF), W32(0xA9204038, ONES), R32(0xA9301000, 0),
      W32(0xA9301000, 0x8),
      // Core 1.
      R32(0xAA0600D0, 0), W32(0xAA0600D0, 0x2), R32(0xA9703048, 0x5A5A5A5A),
      W32(0xA9703048, 0x5A5A5F50), R32(0xA97031A4, 0), W32(0xA97031A4, 0x01008100),
      R32(CHIP_VARIANT, 0x31), R32(0xA9703048, 0x5A5A5F50), W32(0xA9703048, 0x5A5A5150),
      R32(0xA9703058, 0), W32(0xA9703058, 0xA97E0000), W32(0xA9703068, ONES),
      R32(CHIP_VARIANT, 0x31), W32(0xA970306C, 0xFFFF), W32(0xA9604038, ONES),
      R32(0xA9701000, 0xF0), W32(0xA9701000, 0xF8),
      // Start bit between the barriers, then the final control writes.
      Dsb(), R32(CHIP_VARIANT, 0x31), R32(0xA0780030, 0x80), W32(0xA0780030, 0x180), Dsb(),
      R32(0xA9303048, 0xA5A5A0A0), W32(0xA9303048, 0xA5AFA0A0), R32(0xA9703048, 0x5A5A5150),
      W32(0xA9703048, 0x5A5F5150)};
  EXPECT_EQ(IspAccesses(), Expected);
  EXPECT_EQ(ReadRecord(), (Record{0x00495350, 1, 1, 2}));
  EXPECT_EQ(Machine->Console(), "[3.007] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n");
}

TEST_F(IspStartTest, OneCoreOnVariant3IgnoresTheSecondImage) {
  StartOnVariant(3);

  EXPECT_EQ(StartIsp(0x80000000, 0x81000000, 0x100000, 0x100000), EFI_SUCCESS);

  const std::vector<Event> Expected = {
      R32(CHIP_VARIANT, 3), R32(BOOT_COUNTER, 0), R32(CHIP_VARIANT, 3),
      // Shared configuration block: ten zeros from 0x20.
      W32(0xA80E0020, 0), W32(0xA80E0024, 0), W32(0xA80E0028, 0), W32(0xA80E002C, 0),
      W32(0xA80E0030, 0), W32(0xA80E0034, 0), W32(0xA80E0038, 0), W32(0xA80E003C, 0),
      W32(0xA80E0040, 0), W32(0xA80E0044, 0), W32(0xA80C0334, ONES), W32(0xA80C0344, ONES),
      W32(0xA80C0364, ONES), W32(0xA80C037C, ONES), W32(0xA80C038C, ONES), W32(0xA80C0350, ONES),
      W32(0xA80C0368, ONES), W32(0xA80C0C4C, ONES), W32(0xA80C0330, ONES), W32(0xA80C0340, ONES),
      W32(0xA80C0360, ONES), W32(0xA80C0378, ONES), W32(0xA80C0388, ONES),
      // Core 0, with the variant-3 write to CB+0x4C and the fixed all-ones register.
      R32(0xA80600D0, 0), W32(0xA80600D0, 0x2), R32(0xA9303048, 0), W32(0xA9303048, 0xF00),
      R32(0xA93031A4, 0), W32(0xA93031A4, 0x01008000), R32(CHIP_VARIANT, 3), R32(0xA9303048, 0xF00),
      W32(0xA9303048, 0), R32(0xA9303058, 0), W32(0xA9303058, 0xA93E0000), W32(0xA930304C, 0x37FFF),
      W32(0xA9303068, ONES), R32(CHIP_VARIANT, 3), W32(0xA930306C, 0xFFFF), W32(0xA9122038, ONES),
      R32(0xA9301000, 0), W32(0xA9301000, 0x8),
      // Start bit 7 between the barriers, then core 0's final control write only.
      Dsb(), R32(CHIP_VARIANT, 3), R32(0xA0780030, 0), W32(0xA0780030, 0x80), Dsb(),
      R32(0xA9303048, 0), W32(0xA9303048, 0xF0000)};
  EXPECT_EQ(IspAccesses(), Expected);
  EXPECT_EQ(ReadRecord(), (Record{0x00495350, 1, 0, 1}));
  EXPECT_EQ(Machine->Console(), "[0.000] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n");
}

TEST_F(IspStartTest, ChipVariantReadFiveTimesForOneCoreAndSevenForTwo) {
  StartOnVariant(1);
  StartIsp(0x80000000, 0, 0x100000, 0);
  EXPECT_EQ(Reads(CHIP_VARIANT), 5u);
  EXPECT_EQ(Reads(BOOT_COUNTER), 1u);

  ClearEvents();
  StartIsp(0x80000000, 0x81000000, 0x100000, 0x100000);
  EXPECT_EQ(Reads(CHIP_VARIANT), 7u);
  EXPECT_EQ(Reads(BOOT_COUNTER), 1u);
}

// Bits 23:0 take address bits 39:16, bit 24 is set, bits 31:25 keep their value.
TEST_F(IspStartTest, ImageAddressFieldTakesBits39To16) {
  struct Case {
    uint64_t Fw0, Fw1;
    uint32_t Old0, Old1, New0, New1;
  };
  const Case Cases[] = {
      {0x80000000, 0x81000000, 0, 0, 0x01008000, 0x01008100},
      {0x80001234, 0x8100FFFF, 0, 0, 0x01008000, 0x01008100},
      {0xFFFFFFFFFF, 0x12345678, 0xFEFFFFFF, 0x80FFFFFF, 0xFFFFFFFF, 0x81001234},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << C.Fw0 << " " << C.Fw1);
    Set32(0xA93031A4, C.Old0);
    Set32(0xA97031A4, C.Old1);
    StartOnVariant(1);
    StartIsp(C.Fw0, C.Fw1, 0x100000, 0x100000);
    EXPECT_EQ(WritesTo(0xA93031A4), std::vector<uint32_t>{C.New0});
    EXPECT_EQ(WritesTo(0xA97031A4), std::vector<uint32_t>{C.New1});
  }
}

TEST_F(IspStartTest, CoreControlEndsWithIndexAndFinalBits) {
  Script(0xA9303048, {0, 0, 0});
  Script(0xA9703048, {0, 0, 0});
  StartOnVariant(2);
  StartIsp(0x80000000, 0x81000000, 0x100000, 0x100000);
  EXPECT_EQ(WritesTo(0xA9303048), (std::vector<uint32_t>{0x00000F00, 0x00000000, 0x000F0000}));
  EXPECT_EQ(WritesTo(0xA9703048), (std::vector<uint32_t>{0x00000F00, 0x00000100, 0x000F0000}));
}

TEST_F(IspStartTest, SetIspStatusWritesMagicValuesAndWrappingSum) {
  Start();
  EXPECT_EQ(SetIspStatus(0xFFFFFFFF, 1), EFI_SUCCESS);
  const uint8_t* Bytes = Machine->Memory().RamPointer(RECORD, 16);
  ASSERT_NE(Bytes, nullptr);
  EXPECT_EQ(std::memcmp(Bytes, "PSI\0", 4), 0);
  EXPECT_EQ(ReadRecord(), (Record{0x00495350, 0xFFFFFFFF, 1, 0}));
  EXPECT_TRUE(Hardware().empty()); // ordinary memory, not a register
}

// The argument checks: which record, which message, which cores start.
struct CheckCase {
  const char* Name;
  uint32_t Variant;
  uint64_t Fw0, Fw1;
  uint32_t Size1, Size2;
  Record Expected;
  const char* Message; // before the boot-trace lines, if any
  bool Core0, Core1;
};

void PrintTo(const CheckCase& C, std::ostream* Out) {
  *Out << C.Name;
}

constexpr Record REJECTED = {0x00495350, 0, 0, 0};
constexpr Record CORE0 = {0x00495350, 1, 0, 1};
constexpr Record BOTH = {0x00495350, 1, 1, 2};

const CheckCase CHECK_CASES[] = {
    {"BothAtSizeLimit", 1, 0x80000000, 0x81000000, 0x1400000, 0x1400000, BOTH, "", true, true},
    {"Size1OverLimit", 1, 0x80000000, 0x81000000, 0x1400001, 0x1000, REJECTED,
     "isp_fw0 image load Size1: 0x1400001\r\n", false, false},
    {"Size1Zero", 1, 0x80000000, 0x81000000, 0, 0x1000, REJECTED,
     "isp_fw0 image load Size1: 0x0\r\n", false, false},
    {"Fw0AddressZero", 1, 0, 0x81000000, 0x1000, 0x1000, REJECTED,
     "isp_fw0 image load Size1: 0x1000\r\n", false, false},
    {"Size2OverLimit", 1, 0x80000000, 0x81000000, 0x1000, 0x1400001, CORE0,
     "isp_fw1 image load Size2: 0x1400001\r\n", true, false},
    {"OneImageOnly", 1, 0x80000000, 0, 0x1000, 0, CORE0, "isp_fw1 image load Size2: 0x0\r\n", true,
     false},
    {"Fw1AddressZero", 2, 0x80000000, 0, 0x1000, 0x2000, CORE0,
     "isp_fw1 image load Size2: 0x2000\r\n", true, false},
    {"Variant3ValidSecondImage", 3, 0x80000000, 0x81000000, 0x1000, 0x1000, CORE0, "", true, false},
    {"Variant3BadSecondImage", 3, 0x80000000, 0, 0x1000, 0x1400001, CORE0, "", true, false},
    // An image address register holds address bits 39:16 only: images at or above 1 TiB are
    // refused rather than started at a wrong address.
    {"Fw0AtOneTiB", 1, 0x10000000000, 0x81000000, 0x1000, 0x1000, REJECTED,
     "isp_fw0 image load Size1: 0x1000\r\n", false, false},
    {"Fw1AtOneTiB", 1, 0x80000000, 0x10000000000, 0x1000, 0x3000, CORE0,
     "isp_fw1 image load Size2: 0x3000\r\n", true, false},
    {"BothJustBelowOneTiB", 1, 0xFFFFFF0000, 0xFFFFFFFFFF, 0x1000, 0x1000, BOTH, "", true, true},
};

class IspStartCheckTest : public IspStartTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(IspStartCheckTest, RecordMessageAndCores) {
  const CheckCase& C = GetParam();
  StartOnVariant(C.Variant);

  EXPECT_EQ(StartIsp(C.Fw0, C.Fw1, C.Size1, C.Size2), EFI_SUCCESS);

  EXPECT_EQ(ReadRecord(), C.Expected);
  const std::string Started =
      C.Core0 ? "[0.000] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n" : "";
  EXPECT_EQ(Machine->Console(), C.Message + Started);
  if (!C.Core0) {
    EXPECT_EQ(IspAccesses(), std::vector<Event>{R32(CHIP_VARIANT, C.Variant)});
  } else {
    // Core 0 reached its final control write.
    const std::vector<uint32_t> Writes = WritesTo(0xA9303048);
    ASSERT_FALSE(Writes.empty());
    EXPECT_EQ(Writes.back(), 0x000F0000u);
  }
  for (uint64_t Register : CORE1_REGISTERS) {
    EXPECT_EQ(Touched(Register), C.Core1 && Register != 0xA970304C) << std::hex << Register;
  }
}

INSTANTIATE_TEST_SUITE_P(Checks, IspStartCheckTest, ::testing::ValuesIn(CHECK_CASES),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
