// LZMA GUIDed sections: the registration and the get-info handler. (The decoder arrives with the
// range decoder; until then decoding reports EFI_UNSUPPORTED.)
#include <Library/BaseLib.h>
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/LzmaDecompressLib.h>

namespace {

constexpr UINT32 SECTION_SIZE_EXTENDED = 0xFFFFFF;
constexpr UINT8 SECTION_TYPE_GUID_DEFINED = 0x02;
constexpr UINTN GUID_DEFINED_HEADER_SIZE = 24;
constexpr UINTN GUID_DEFINED_HEADER2_SIZE = 28;
constexpr UINTN LZMA_HEADER_SIZE = 13;
constexpr UINT64 LZMA_SIZE_UNKNOWN = ~0ULL;
constexpr UINT8 LZMA_PROPERTIES_LIMIT = 9 * 5 * 5;

} // namespace

RETURN_STATUS LzmaDecompressLibConstructor() {
  return ExtractGuidedSectionRegisterHandlers(&gLzmaCustomDecompressGuid, LzmaGuidedSectionGetInfo,
                                              LzmaGuidedSectionExtraction);
}

RETURN_STATUS EFIAPI LzmaGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                              UINT32* ScratchBufferSize,
                                              UINT16* SectionAttribute) {
  if (InputSection == nullptr || OutputBufferSize == nullptr || ScratchBufferSize == nullptr ||
      SectionAttribute == nullptr) {
    return RETURN_INVALID_PARAMETER;
  }
  const auto* Section = static_cast<const UINT8*>(InputSection);
  const UINT32 Size24 = Section[0] | Section[1] << 8 | Section[2] << 16;
  const BOOLEAN Extended = Size24 == SECTION_SIZE_EXTENDED ? 1 : 0;
  const UINT32 SectionSize = Extended ? ReadUnaligned32(Section + 4) : Size24;
  const UINTN HeaderSize = Extended ? GUID_DEFINED_HEADER2_SIZE : GUID_DEFINED_HEADER_SIZE;
  if (Section[3] != SECTION_TYPE_GUID_DEFINED || SectionSize < HeaderSize) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINT8* GuidField = Section + HeaderSize - 20;
  if (!CompareGuid(reinterpret_cast<const EFI_GUID*>(GuidField), &gLzmaCustomDecompressGuid)) {
    return RETURN_INVALID_PARAMETER;
  }
  const UINT16 DataOffset = ReadUnaligned16(GuidField + 16);
  const UINT16 Attributes = ReadUnaligned16(GuidField + 18);
  if (DataOffset < HeaderSize || DataOffset > SectionSize ||
      SectionSize - DataOffset < LZMA_HEADER_SIZE) {
    return RETURN_VOLUME_CORRUPTED;
  }
  const UINT8* Stream = Section + DataOffset;
  const UINT64 OutputSize = ReadUnaligned64(Stream + 5);
  if (OutputSize == LZMA_SIZE_UNKNOWN || OutputSize > 0xFFFFFFFFULL) {
    return RETURN_UNSUPPORTED;
  }
  if (Stream[0] >= LZMA_PROPERTIES_LIMIT) {
    return RETURN_VOLUME_CORRUPTED;
  }
  const UINT32 LiteralBits = Stream[0] % 9 + Stream[0] / 9 % 5;
  *OutputBufferSize = static_cast<UINT32>(OutputSize);
  *ScratchBufferSize = (1984 + (0x300U << LiteralBits)) * 2;
  *SectionAttribute = Attributes;
  return RETURN_SUCCESS;
}

RETURN_STATUS EFIAPI LzmaGuidedSectionExtraction(const VOID* /*InputSection*/,
                                                 VOID** /*OutputBuffer*/, VOID* /*ScratchBuffer*/,
                                                 UINT32* /*AuthenticationStatus*/) {
  return RETURN_UNSUPPORTED;
}
