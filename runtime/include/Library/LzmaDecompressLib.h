// LZMA-compressed GUID-defined sections, registered under gLzmaCustomDecompressGuid.
#pragma once

#include <Uefi.h>

#define LZMA_CUSTOM_DECOMPRESS_GUID                                                              \
  {                                                                                              \
    0xEE4E5898, 0x3914, 0x4259, { 0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF }              \
  }

extern const EFI_GUID gLzmaCustomDecompressGuid;

// Library constructor: registers the two handlers below with the extraction registry.
RETURN_STATUS LzmaDecompressLibConstructor();

RETURN_STATUS EFIAPI LzmaGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                              UINT32* ScratchBufferSize,
                                              UINT16* SectionAttribute);
RETURN_STATUS EFIAPI LzmaGuidedSectionExtraction(const VOID* InputSection, VOID** OutputBuffer,
                                                 VOID* ScratchBuffer,
                                                 UINT32* AuthenticationStatus);
