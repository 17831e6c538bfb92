// The decoder against liblzma's on the same .lzma stream (13-byte header, then the data): the
// same verdict, and on success the same bytes. liblzma is told the size from the header and
// accepts an end marker after it, as a section's stream may have one.
#include "LzmaDecoder.h"

#include <lzma.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Sizes are brought within reach; liblzma allocates the whole dictionary up front.
constexpr uint64_t OUTPUT_LIMIT = 1u << 20;
constexpr uint32_t DICTIONARY_LIMIT = 1u << 20;

bool DecodeWithLiblzma(const uint8_t* Stream, size_t Size, uint8_t* Output, uint64_t OutputSize) {
  lzma_stream S = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&S, UINT64_MAX) != LZMA_OK) {
    std::abort();
  }
  S.next_in = Stream;
  S.avail_in = Size;
  // One byte of room more than the size: liblzma makes no progress at all without room, and
  // told the size it never writes past it.
  S.next_out = Output;
  S.avail_out = OutputSize + 1;
  lzma_ret Result = lzma_code(&S, LZMA_FINISH);
  bool Complete = Result == LZMA_STREAM_END && S.total_out == OutputSize;
  lzma_end(&S);
  return Complete;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < LZMA_HEADER_SIZE) {
    return 0;
  }
  std::unique_ptr<uint8_t[]> Stream(new uint8_t[Size]);
  std::memcpy(Stream.get(), Data, Size);
  uint64_t OutputSize;
  std::memcpy(&OutputSize, &Stream[5], 8);
  OutputSize %= OUTPUT_LIMIT;
  std::memcpy(&Stream[5], &OutputSize, 8);
  // liblzma's window is the dictionary size rounded up to 16 bytes, and at least 4 KiB; in that
  // form both decoders read the same bound from it.
  uint32_t Dictionary;
  std::memcpy(&Dictionary, &Stream[1], 4);
  Dictionary = Dictionary % DICTIONARY_LIMIT;
  Dictionary = Dictionary < 4096 ? 4096 : (Dictionary + 15) & ~15u;
  std::memcpy(&Stream[1], &Dictionary, 4);

  LZMA_STREAM_INFO Info;
  RETURN_STATUS Status = LzmaReadStreamInfo(Stream.get(), Size, &Info);
  std::unique_ptr<uint8_t[]> Ours(new uint8_t[OutputSize]);
  if (!EFI_ERROR(Status)) {
    std::unique_ptr<uint8_t[]> Scratch(new uint8_t[LzmaGetScratchSize(&Info)]);
    Status = LzmaDecodeStream(Stream.get(), Size, &Info, Ours.get(), Scratch.get());
  }
  // liblzma refuses lc + lp above 4, which the format allows and this decoder accepts.
  if (!EFI_ERROR(Status) && Info.LiteralContextBits + Info.LiteralPositionBits > 4) {
    return 0;
  }
  std::unique_ptr<uint8_t[]> Theirs(new uint8_t[OutputSize + 1]);
  bool TheirsComplete = DecodeWithLiblzma(Stream.get(), Size, Theirs.get(), OutputSize);
  if (TheirsComplete != (Status == RETURN_SUCCESS)) {
    std::abort();
  }
  if (TheirsComplete && std::memcmp(Ours.get(), Theirs.get(), OutputSize) != 0) {
    std::abort();
  }
  return 0;
}
