// Registry of GUIDed-section decoders, in the image's own storage. The first registration of a
// GUID also publishes a pool copy of it as a configuration table, so that later boot stages can
// see which section formats the firmware decodes.
#include <Library/BaseLib.h>
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/UefiBootServicesTableLib.h>

namespace {

// Entry i is the GUID mHandlerGuids[i] with its two handlers; the GUIDs are kept as one array
// because that array is what ExtractGuidedSectionGetGuidList hands out.
EFI_GUID mHandlerGuids[EXTRACT_HANDLER_TABLE_SIZE];
EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER mGetInfoHandlers[EXTRACT_HANDLER_TABLE_SIZE];
EXTRACT_GUIDED_SECTION_DECODE_HANDLER mDecodeHandlers[EXTRACT_HANDLER_TABLE_SIZE];
UINTN mHandlerCount = 0;
UINTN mHandlerRoom = 0;

constexpr UINTN GUID_COPY_SIZE = sizeof(EFI_GUID);
constexpr UINT32 SECTION_SIZE_EXTENDED = 0xFFFFFF;
constexpr UINTN COMMON_HEADER_SIZE = 4;
constexpr UINTN COMMON_HEADER2_SIZE = 8;

// Index of the entry for Guid, or mHandlerCount when there is none.
UINTN FindHandler(const EFI_GUID* Guid) {
  UINTN Index = 0;
  while (Index < mHandlerCount && !CompareGuid(&mHandlerGuids[Index], Guid)) {
    ++Index;
  }
  return Index;
}

// The section GUID follows the common header, whose form its 24-bit size field tells.
const EFI_GUID* SectionGuid(const VOID* InputSection) {
  const auto* Bytes = static_cast<const UINT8*>(InputSection);
  const UINT32 Size = Bytes[0] | Bytes[1] << 8 | Bytes[2] << 16;
  return reinterpret_cast<const EFI_GUID*>(
      Bytes + (Size == SECTION_SIZE_EXTENDED ? COMMON_HEADER2_SIZE : COMMON_HEADER_SIZE));
}

} // namespace

RETURN_STATUS DxeExtractGuidedSectionLibConstructor() {
  mHandlerRoom = EXTRACT_HANDLER_TABLE_SIZE;
  return RETURN_SUCCESS;
}

RETURN_STATUS
ExtractGuidedSectionRegisterHandlers(const EFI_GUID* SectionGuid,
                                     EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfoHandler,
                                     EXTRACT_GUIDED_SECTION_DECODE_HANDLER DecodeHandler) {
  if (SectionGuid == nullptr || GetInfoHandler == nullptr || DecodeHandler == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINTN Existing = FindHandler(SectionGuid);
  if (Existing < mHandlerCount) {
    mGetInfoHandlers[Existing] = GetInfoHandler;
    mDecodeHandlers[Existing] = DecodeHandler;
    return RETURN_SUCCESS;
  }
  if (mHandlerCount >= mHandlerRoom) {
    return RETURN_OUT_OF_RESOURCES;
  }
  CopyGuid(&mHandlerGuids[mHandlerCount], SectionGuid);
  mGetInfoHandlers[mHandlerCount] = GetInfoHandler;
  mDecodeHandlers[mHandlerCount] = DecodeHandler;
  ++mHandlerCount;

  VOID* GuidCopy = nullptr;
  if (!EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, GUID_COPY_SIZE, &GuidCopy))) {
    CopyGuid(static_cast<EFI_GUID*>(GuidCopy), SectionGuid);
    gBS->InstallConfigurationTable(const_cast<EFI_GUID*>(SectionGuid), GuidCopy);
  }
  return RETURN_SUCCESS;
}

UINTN ExtractGuidedSectionGetGuidList(const EFI_GUID** ExtractHandlerGuidTable) {
  if (ExtractHandlerGuidTable != nullptr) {
    *ExtractHandlerGuidTable = mHandlerGuids;
  }
  return mHandlerCount;
}

RETURN_STATUS ExtractGuidedSectionGetHandlers(const EFI_GUID* Guid,
                                              EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER* GetInfo,
                                              EXTRACT_GUIDED_SECTION_DECODE_HANDLER* Decode) {
  if (Guid == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINTN Index = FindHandler(Guid);
  if (Index == mHandlerCount) {
    return RETURN_NOT_FOUND;
  }
  if (GetInfo != nullptr) {
    *GetInfo = mGetInfoHandlers[Index];
  }
  if (Decode != nullptr) {
    *Decode = mDecodeHandlers[Index];
  }
  return RETURN_SUCCESS;
}

RETURN_STATUS ExtractGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                          UINT32* ScratchBufferSize, UINT16* SectionAttribute) {
  if (InputSection == nullptr || OutputBufferSize == nullptr || ScratchBufferSize == nullptr ||
      SectionAttribute == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINTN Index = FindHandler(SectionGuid(InputSection));
  if (Index == mHandlerCount) {
    return RETURN_UNSUPPORTED;
  }
  return mGetInfoHandlers[Index](InputSection, OutputBufferSize, ScratchBufferSize,
                                 SectionAttribute);
}

RETURN_STATUS ExtractGuidedSectionDecode(const VOID* InputSection, VOID** OutputBuffer,
                                         VOID* ScratchBuffer, UINT32* AuthenticationStatus) {
  if (InputSection == nullptr || OutputBuffer == nullptr || AuthenticationStatus == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINTN Index = FindHandler(SectionGuid(InputSection));
  if (Index == mHandlerCount) {
    return RETURN_UNSUPPORTED;
  }
  return mDecodeHandlers[Index](InputSection, OutputBuffer, ScratchBuffer, AuthenticationStatus);
}
