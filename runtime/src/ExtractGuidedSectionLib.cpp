// Registry of GUIDed-section decoders, in the image's own storage. The first registration of a
// GUID also publishes a pool copy of it as a configuration table, so that later boot stages can
// see which section formats the firmware decodes.
#include <Library/BaseLib.h>
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/UefiBootServicesTableLib.h>

namespace {

struct EXTRACT_HANDLER {
  EFI_GUID Guid;
  EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfo;
  EXTRACT_GUIDED_SECTION_DECODE_HANDLER Decode;
};

EXTRACT_HANDLER mHandlers[EXTRACT_HANDLER_TABLE_SIZE];
EFI_GUID mHandlerGuids[EXTRACT_HANDLER_TABLE_SIZE];
UINTN mHandlerCount = 0;
UINTN mHandlerRoom = 0;

constexpr UINTN GUID_COPY_SIZE = sizeof(EFI_GUID);
constexpr UINT32 SECTION_SIZE_EXTENDED = 0xFFFFFF;
constexpr UINTN COMMON_HEADER_SIZE = 4;
constexpr UINTN COMMON_HEADER2_SIZE = 8;

EXTRACT_HANDLER* FindHandler(const EFI_GUID* Guid) {
  for (UINTN Index = 0; Index < mHandlerCount; ++Index) {
    if (CompareGuid(&mHandlers[Index].Guid, Guid)) {
      return &mHandlers[Index];
    }
  }
  return nullptr;
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

RETURN_STATUS ExtractGuidedSectionRegisterHandlers(
    const EFI_GUID* SectionGuid, EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfoHandler,
    EXTRACT_GUIDED_SECTION_DECODE_HANDLER DecodeHandler) {
  if (SectionGuid == nullptr || GetInfoHandler == nullptr || DecodeHandler == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  if (EXTRACT_HANDLER* Existing = FindHandler(SectionGuid)) {
    Existing->GetInfo = GetInfoHandler;
    Existing->Decode = DecodeHandler;
    return RETURN_SUCCESS;
  }
  if (mHandlerCount >= mHandlerRoom) {
    return RETURN_OUT_OF_RESOURCES;
  }
  EXTRACT_HANDLER& Entry = mHandlers[mHandlerCount];
  CopyGuid(&Entry.Guid, SectionGuid);
  CopyGuid(&mHandlerGuids[mHandlerCount], SectionGuid);
  Entry.GetInfo = GetInfoHandler;
  Entry.Decode = DecodeHandler;
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
  const EXTRACT_HANDLER* Entry = FindHandler(Guid);
  if (Entry == nullptr) {
    return RETURN_NOT_FOUND;
  }
  if (GetInfo != nullptr) {
    *GetInfo = Entry->GetInfo;
  }
  if (Decode != nullptr) {
    *Decode = Entry->Decode;
  }
  return RETURN_SUCCESS;
}

RETURN_STATUS ExtractGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                          UINT32* ScratchBufferSize, UINT16* SectionAttribute) {
  if (InputSection == nullptr || OutputBufferSize == nullptr || ScratchBufferSize == nullptr ||
      SectionAttribute == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const EXTRACT_HANDLER* Entry = FindHandler(SectionGuid(InputSection));
  if (Entry == nullptr) {
    return RETURN_UNSUPPORTED;
  }
  return Entry->GetInfo(InputSection, OutputBufferSize, ScratchBufferSize, SectionAttribute);
}

RETURN_STATUS ExtractGuidedSectionDecode(const VOID* InputSection, VOID** OutputBuffer,
                                         VOID* ScratchBuffer, UINT32* AuthenticationStatus) {
  if (InputSection == nullptr || OutputBuffer == nullptr || AuthenticationStatus == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const EXTRACT_HANDLER* Entry = FindHandler(SectionGuid(InputSection));
  if (Entry == nullptr) {
    return RETURN_UNSUPPORTED;
  }
  return Entry->Decode(InputSection, OutputBuffer, ScratchBuffer, AuthenticationStatus);
}
