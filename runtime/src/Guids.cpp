#include <Library/LzmaDecompressLib.h>
#include <Protocol/Pcd.h>

const EFI_GUID gLzmaCustomDecompressGuid = LZMA_CUSTOM_DECOMPRESS_GUID;
const EFI_GUID gPcdProtocolGuid = PCD_PROTOCOL_GUID;
