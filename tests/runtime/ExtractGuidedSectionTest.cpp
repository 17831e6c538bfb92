// The GUIDed-section registry: registration with its configuration table, replacement, the
// sixteen-entry limit and dispatch by the section's GUID. The registry is the image's own static
// storage; each test runs in its own process under ctest, and in file order they also hold when
// the executable runs them all at once.
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include <cstring>

#include "SimTest.h"

namespace {

using namespace simtest;

RETURN_STATUS EFIAPI InfoA(const VOID*, UINT32* Output, UINT32* Scratch, UINT16* Attributes) {
  *Output = 0xA;
  *Scratch = 0;
  *Attributes = 1;
  return RETURN_SUCCESS;
}
RETURN_STATUS EFIAPI DecodeA(const VOID*, VOID**, VOID*, UINT32*) {
  return RETURN_SUCCESS;
}
RETURN_STATUS EFIAPI InfoB(const VOID*, UINT32* Output, UINT32* Scratch, UINT16* Attributes) {
  *Output = 0xB;
  *Scratch = 0;
  *Attributes = 2;
  return RETURN_SUCCESS;
}
RETURN_STATUS EFIAPI DecodeB(const VOID*, VOID**, VOID*, UINT32*) {
  return EFI_ABORTED;
}

EFI_GUID TestGuid(UINT32 Data1) {
  return {Data1, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
}

// A GUID-defined section header, in the 24-bit or the extended form.
std::vector<UINT8> Section(const EFI_GUID& Guid, bool Extended) {
  std::vector<UINT8> Bytes(Extended ? 28 : 24, 0);
  if (Extended) {
    Bytes[0] = Bytes[1] = Bytes[2] = 0xFF;
    Bytes[4] = 28;
  } else {
    Bytes[0] = 24;
  }
  Bytes[3] = 0x02;
  std::memcpy(Bytes.data() + (Extended ? 8 : 4), &Guid, sizeof(Guid));
  return Bytes;
}

class ExtractGuidedSectionTest : public SimTest {
protected:
  void SetUp() override {
    Start();
    gST = Engine->SystemTable();
    gBS = gST->BootServices;
    DxeExtractGuidedSectionLibConstructor();
  }
};

TEST_F(ExtractGuidedSectionTest, FirstRegistrationPublishesAGuidCopyOnlyOnce) {
  const EFI_GUID Guid = TestGuid(0x100);
  EXPECT_EQ(ExtractGuidedSectionRegisterHandlers(&Guid, InfoA, DecodeA), RETURN_SUCCESS);
  EXPECT_EQ(ExtractGuidedSectionRegisterHandlers(&Guid, InfoB, DecodeB), RETURN_SUCCESS);
  ASSERT_EQ(Engine->Fw().ConfigurationTables().size(), 1u);
  const auto& Table = Engine->Fw().ConfigurationTables()[0];
  EXPECT_EQ(std::memcmp(&Table.Guid, &Guid, 16), 0);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(Table.Table), &Guid, 16), 0);
  EXPECT_EQ(Engine->Fw().Pool().at(Table.Table).Size, 16u);

  // The second registration replaced both handlers.
  for (bool Extended : {false, true}) {
    const std::vector<UINT8> Bytes = Section(Guid, Extended);
    UINT32 Output = 0, Scratch = 0;
    UINT16 Attributes = 0;
    EXPECT_EQ(ExtractGuidedSectionGetInfo(Bytes.data(), &Output, &Scratch, &Attributes),
              RETURN_SUCCESS);
    EXPECT_EQ(Output, 0xBu);
    VOID* Out = nullptr;
    UINT32 Authentication = 0;
    EXPECT_EQ(ExtractGuidedSectionDecode(Bytes.data(), &Out, nullptr, &Authentication),
              EFI_ABORTED);
  }
}

TEST_F(ExtractGuidedSectionTest, UnregisteredGuidIsUnsupported) {
  const std::vector<UINT8> Bytes = Section(TestGuid(0xDEAD), false);
  UINT32 Output = 0, Scratch = 0;
  UINT16 Attributes = 0;
  EXPECT_EQ(ExtractGuidedSectionGetInfo(Bytes.data(), &Output, &Scratch, &Attributes),
            RETURN_UNSUPPORTED);
  VOID* Out = nullptr;
  UINT32 Authentication = 0;
  EXPECT_EQ(ExtractGuidedSectionDecode(Bytes.data(), &Out, nullptr, &Authentication),
            RETURN_UNSUPPORTED);
}

TEST_F(ExtractGuidedSectionTest, FailedAllocationRegistersWithoutATable) {
  Board.Fail = {{"AllocatePool", EFI_OUT_OF_RESOURCES}};
  SetUp();
  const EFI_GUID Guid = TestGuid(0x200);
  EXPECT_EQ(ExtractGuidedSectionRegisterHandlers(&Guid, InfoA, DecodeA), RETURN_SUCCESS);
  EXPECT_TRUE(Engine->Fw().ConfigurationTables().empty());
  EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER Info = nullptr;
  EXPECT_EQ(ExtractGuidedSectionGetHandlers(&Guid, &Info, nullptr), RETURN_SUCCESS);
  EXPECT_EQ(Info, InfoA);
}

TEST_F(ExtractGuidedSectionTest, SixteenGuidsFitAndTheSeventeenthIsRefused) {
  UINT32 Next = 0x1000;
  while (ExtractGuidedSectionGetGuidList(nullptr) < EXTRACT_HANDLER_TABLE_SIZE) {
    const EFI_GUID Guid = TestGuid(Next++);
    ASSERT_EQ(ExtractGuidedSectionRegisterHandlers(&Guid, InfoA, DecodeA), RETURN_SUCCESS);
  }
  const EFI_GUID Extra = TestGuid(Next);
  EXPECT_EQ(ExtractGuidedSectionRegisterHandlers(&Extra, InfoA, DecodeA), RETURN_OUT_OF_RESOURCES);
  const EFI_GUID* List = nullptr;
  EXPECT_EQ(ExtractGuidedSectionGetGuidList(&List), 16u);
  EXPECT_EQ(std::memcmp(&List[15], &Extra, 16) == 0, false);
}

} // namespace
