// The image's registry of GUIDed-section decoders: a section GUID with its get-info and decode
// handlers, kept in the image's own storage.
#pragma once

#include <Uefi.h>

constexpr UINTN EXTRACT_HANDLER_TABLE_SIZE = 16;

typedef RETURN_STATUS(EFIAPI* EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER)(const VOID* InputSection,
                                                                       UINT32* OutputBufferSize,
                                                                       UINT32* ScratchBufferSize,
                                                                       UINT16* SectionAttribute);
typedef RETURN_STATUS(EFIAPI* EXTRACT_GUIDED_SECTION_DECODE_HANDLER)(const VOID* InputSection,
                                                                     VOID** OutputBuffer,
                                                                     VOID* ScratchBuffer,
                                                                     UINT32* AuthenticationStatus);

// Library constructor: gives the registry its room.
RETURN_STATUS DxeExtractGuidedSectionLibConstructor();

RETURN_STATUS
ExtractGuidedSectionRegisterHandlers(const EFI_GUID* SectionGuid,
                                     EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER GetInfoHandler,
                                     EXTRACT_GUIDED_SECTION_DECODE_HANDLER DecodeHandler);
UINTN ExtractGuidedSectionGetGuidList(const EFI_GUID** ExtractHandlerGuidTable);
RETURN_STATUS ExtractGuidedSectionGetHandlers(const EFI_GUID* SectionGuid,
                                              EXTRACT_GUIDED_SECTION_GET_INFO_HANDLER* GetInfo,
                                              EXTRACT_GUIDED_SECTION_DECODE_HANDLER* Decode);
// Dispatch on the GUID of a GUID-defined section.
RETURN_STATUS ExtractGuidedSectionGetInfo(const VOID* InputSection, UINT32* OutputBufferSize,
                                          UINT32* ScratchBufferSize, UINT16* SectionAttribute);
RETURN_STATUS ExtractGuidedSectionDecode(const VOID* InputSection, VOID** OutputBuffer,
                                         VOID* ScratchBuffer, UINT32* AuthenticationStatus);
