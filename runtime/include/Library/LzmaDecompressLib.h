// LZMA-compressed GUID-defined sections, registered under gLzmaCustomDecompressGuid.
#pragma once

#include <Uefi.h>

#define LZMA_CUSTOM_DECOMPRESS_GUID                                                                \
  {                                                                                                \
    0xEE4E5898, 0x3914, 0x4259, {                                                                  \
      0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF                                               \
    }                                                                                              \
  }

extern const EFI_GUID gLzmaCustomDecompressGuid;

// Library constructor: registers the two handlers below with the extraction registry and returns
// the registry's status.
RETURN_STATUS LzmaDecompressLibConstructor();

// Both handlers take a whole GUID-defined section (either header form) and read nothing past its
// declared size. Their statuses:
//   RETURN_INVALID_PARAMETER  a null argument; not a GUID-defined section, a section shorter than
//                             its header, or one under another GUID; for decode, a misaligned
//                             scratch buffer
//   RETURN_UNSUPPORTED        the stream's size is unknown or does not fit in 32 bits
//   RETURN_VOLUME_CORRUPTED   the data offset lies outside the section, or the LZMA data is
//                             malformed in any way
// Get-info returns the output size, the exact scratch size (the probability model, which grows
// with the stream's lc + lp) and the section's attributes.
RETURN_STATUS EFIAPI LzmaGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                              UINT32* ScratchBufferSize, UINT16* SectionAttribute);
// Decode fills *OutputBuffer, of the size get-info reported, using ScratchBuffer (2-byte
// aligned, of the size get-info reported), and sets *AuthenticationStatus to 0. It succeeds only
// when the stream yields exactly the declared size; on failure the output holds no meaning.
RETURN_STATUS EFIAPI LzmaGuidedSectionExtraction(const VOID* InputSection, VOID** OutputBuffer,
                                                 VOID* ScratchBuffer, UINT32* AuthenticationStatus);
