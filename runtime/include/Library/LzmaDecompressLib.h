// LZMA-compressed GUID-defined sections, registered under gLzmaCustomDecompressGuid.
#pragma once

#include <Uefi.h>

extern const EFI_GUID gLzmaCustomDecompressGuid;

// Library constructor: registers the two handlers below with the extraction registry.
RETURN_STATUS LzmaDecompressLibConstructor();

RETURN_STATUS EFIAPI LzmaGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                              UINT32* ScratchBufferSize,
                                              UINT16* SectionAttribute);
RETURN_STATUS EFIAPI LzmaGuidedSectionExtraction(const VOID* InputSection, VOID** OutputBuffer,
                                                 VOID* ScratchBuffer,
                                                 UINT32* AuthenticationStatus);
