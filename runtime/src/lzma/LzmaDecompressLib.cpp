// GUIDed-section handlers for LZMA-compressed sections.
//
// A GUID-defined section is the common section header (a 24-bit size and the type; a size of
// 0xFFFFFF means that a 32-bit size follows), the section GUID, a 16-bit data offset and 16-bit
// attributes. The LZMA stream runs from the data offset to the end of the section. The section
// size is the only bound on the input the caller gives, so every read stays inside it; only the
// common header that carries the size (4 bytes, or 8 in the extended form) is read before it is
// known.
#include <Library/BaseLib.h>
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/LzmaDecompressLib.h>

#include "LzmaDecoder.h"

namespace {

constexpr UINT8 EFI_SECTION_GUID_DEFINED = 0x02;
constexpr UINT32 SECTION_SIZE_EXTENDED = 0xFFFFFF;
constexpr UINTN COMMON_HEADER_SIZE = 4;
constexpr UINTN COMMON_HEADER2_SIZE = 8;
// After the common header: the GUID, the data offset and the attributes.
constexpr UINTN GUID_DEFINED_FIELDS_SIZE = sizeof(EFI_GUID) + 2 + 2;

// Finds the LZMA data of a GUID-defined section after checking that the section is one, that it
// is under the LZMA GUID and that its headers and data offset fit within its size.
RETURN_STATUS GetLzmaSectionData(const VOID* InputSection, const UINT8** Data, UINTN* DataSize,
                                 UINT16* Attributes) {
  const UINT8* Section = (const UINT8*)InputSection;
  UINTN SectionSize = Section[0] | ((UINT32)Section[1] << 8) | ((UINT32)Section[2] << 16);
  if (Section[3] != EFI_SECTION_GUID_DEFINED) {
    return RETURN_INVALID_PARAMETER;
  }
  UINTN HeaderSize = COMMON_HEADER_SIZE;
  if (SectionSize == SECTION_SIZE_EXTENDED) {
    SectionSize = ReadUnaligned32(Section + COMMON_HEADER_SIZE);
    HeaderSize = COMMON_HEADER2_SIZE;
  }
  HeaderSize += GUID_DEFINED_FIELDS_SIZE;
  if (SectionSize < HeaderSize) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINT8* Fields = Section + HeaderSize - GUID_DEFINED_FIELDS_SIZE;
  // Compared bytewise: the section need not be aligned for an EFI_GUID.
  if (__builtin_memcmp(Fields, &gLzmaCustomDecompressGuid, sizeof(EFI_GUID)) != 0) {
    return RETURN_INVALID_PARAMETER;
  }
  UINTN DataOffset = ReadUnaligned16(Fields + sizeof(EFI_GUID));
  if (DataOffset < HeaderSize || DataOffset > SectionSize) {
    return RETURN_VOLUME_CORRUPTED;
  }
  *Data = Section + DataOffset;
  *DataSize = SectionSize - DataOffset;
  *Attributes = ReadUnaligned16(Fields + sizeof(EFI_GUID) + 2);
  return RETURN_SUCCESS;
}

} // namespace

RETURN_STATUS LzmaDecompressLibConstructor() {
  return ExtractGuidedSectionRegisterHandlers(&gLzmaCustomDecompressGuid, LzmaGuidedSectionGetInfo,
                                              LzmaGuidedSectionExtraction);
}

RETURN_STATUS EFIAPI LzmaGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                              UINT32* ScratchBufferSize, UINT16* SectionAttribute) {
  if (InputSection == nullptr || OutputBufferSize == nullptr || ScratchBufferSize == nullptr ||
      SectionAttribute == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINT8* Data;
  UINTN DataSize;
  UINT16 Attributes;
  RETURN_STATUS Status = GetLzmaSectionData(InputSection, &Data, &DataSize, &Attributes);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  LZMA_STREAM_INFO Info;
  Status = LzmaReadStreamInfo(Data, DataSize, &Info);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  *OutputBufferSize = Info.UncompressedSize;
  *ScratchBufferSize = LzmaGetScratchSize(&Info);
  *SectionAttribute = Attributes;
  return RETURN_SUCCESS;
}

RETURN_STATUS EFIAPI LzmaGuidedSectionExtraction(const VOID* InputSection, VOID** OutputBuffer,
                                                 VOID* ScratchBuffer,
                                                 UINT32* AuthenticationStatus) {
  if (InputSection == nullptr || OutputBuffer == nullptr || AuthenticationStatus == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINT8* Data;
  UINTN DataSize;
  UINT16 Attributes;
  RETURN_STATUS Status = GetLzmaSectionData(InputSection, &Data, &DataSize, &Attributes);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The section carries no signature of its own that this handler could check.
  *AuthenticationStatus = 0;
  // The probabilities are 16-bit words.
  if (ScratchBuffer == nullptr || ((UINTN)ScratchBuffer & 1) != 0) {
    return RETURN_INVALID_PARAMETER;
  }
  LZMA_STREAM_INFO Info;
  Status = LzmaReadStreamInfo(Data, DataSize, &Info);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (*OutputBuffer == nullptr && Info.UncompressedSize != 0) {
    return RETURN_INVALID_PARAMETER;
  }
  return LzmaDecodeStream(Data, DataSize, &Info, (UINT8*)*OutputBuffer, ScratchBuffer);
}
