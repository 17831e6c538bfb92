// Arbitrary bytes as a GUID-defined section through get-info and decode. Whatever the bytes, the
// handlers return a status and stay inside the section, the output and the scratch (checked by
// AddressSanitizer: each gets a heap block of exactly its size).
#include <Library/LzmaDecompressLib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // Outputs are bounded so that a run stays fast; the decoder's bounds do not depend on the size.
  constexpr UINT32 OUTPUT_LIMIT = 8u << 20;
  if (Size < 8) {
    return 0;
  }
  std::unique_ptr<uint8_t[]> Section(new uint8_t[Size]);
  std::memcpy(Section.get(), Data, Size);
  // A caller hands over a section readable for its declared size: a larger declared size is cut
  // down to the bytes there are, and the section gets exactly that many.
  bool Extended = Section[0] == 0xFF && Section[1] == 0xFF && Section[2] == 0xFF;
  UINT32 Declared;
  std::memcpy(&Declared, Section.get() + (Extended ? 4 : 0), 4);
  Declared = Extended ? Declared : Declared & 0xFFFFFF;
  if (Declared > Size) {
    Declared = (UINT32)Size;
    if (Extended) {
      std::memcpy(Section.get() + 4, &Declared, 4);
    } else {
      Section[0] = (uint8_t)Size;
      Section[1] = (uint8_t)(Size >> 8);
      Section[2] = (uint8_t)(Size >> 16);
    }
  }
  size_t Header = Extended ? 8 : 4;
  size_t Length = Declared < Header ? Header : Declared;
  std::unique_ptr<uint8_t[]> Exact(new uint8_t[Length]);
  std::memcpy(Exact.get(), Section.get(), Length);

  UINT32 OutputSize = 0, ScratchSize = 0, Authentication = 1;
  UINT16 Attributes = 0;
  RETURN_STATUS Info =
      LzmaGuidedSectionGetInfo(Exact.get(), &OutputSize, &ScratchSize, &Attributes);
  if (EFI_ERROR(Info)) {
    // Decode refuses the same section for the same reason, before it touches any buffer.
    uint16_t Dummy = 0;
    VOID* Output = nullptr;
    if (LzmaGuidedSectionExtraction(Exact.get(), &Output, &Dummy, &Authentication) != Info) {
      std::abort();
    }
    return 0;
  }
  if (OutputSize > OUTPUT_LIMIT) {
    return 0;
  }
  std::unique_ptr<uint8_t[]> Output(new uint8_t[OutputSize]);
  std::unique_ptr<uint8_t[]> Scratch(new uint8_t[ScratchSize]);
  VOID* OutputBuffer = Output.get();
  RETURN_STATUS Status =
      LzmaGuidedSectionExtraction(Exact.get(), &OutputBuffer, Scratch.get(), &Authentication);
  if ((Status != RETURN_SUCCESS && Status != RETURN_VOLUME_CORRUPTED) || Authentication != 0) {
    std::abort();
  }
  return 0;
}
