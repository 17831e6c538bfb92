// LZMA stream decoder: the 13-byte header and the range-coded data after it, decoded in one call
// into a flat output buffer that also serves as the dictionary. No allocation: the probability
// model lives in a scratch buffer that the caller provides.
#pragma once

#include <Uefi.h>

constexpr UINTN LZMA_HEADER_SIZE = 13;

// The properties byte is (pb * 5 + lp) * 9 + lc with lc <= 8, lp <= 4 and pb <= 4, so the largest
// valid value is 224. Every combination the byte can express is decoded: the literal model, and so
// the scratch, grows with lc + lp, up to 6,295,148 bytes for lc 8, lp 4.
constexpr UINT32 LZMA_PROPERTIES_LIMIT = 9 * 5 * 5;

struct LZMA_STREAM_INFO {
  UINT32 LiteralContextBits;
  UINT32 LiteralPositionBits;
  UINT32 PositionBits;
  UINT32 DictionarySize;
  UINT32 UncompressedSize;
};

// Reads the header at the start of Stream. RETURN_UNSUPPORTED when the size is unknown (all ones)
// or does not fit in 32 bits, since the caller must size the output up front;
// RETURN_VOLUME_CORRUPTED when the stream is shorter than the header or the properties byte is out
// of range.
RETURN_STATUS LzmaReadStreamInfo(const UINT8* Stream, UINTN StreamSize, LZMA_STREAM_INFO* Info);

// Bytes of scratch the probability model of this stream needs: two per probability.
UINT32 LzmaGetScratchSize(const LZMA_STREAM_INFO* Info);

// Decodes the whole stream (header included), whose header LzmaReadStreamInfo() has read into
// Info, into Output, which holds exactly Info->UncompressedSize bytes. Scratch is
// LzmaGetScratchSize() bytes, 2-byte aligned. Succeeds only when the stream yields exactly that
// many bytes, optionally followed by the end marker, and the range coder finishes cleanly; bytes
// after the end of the stream are ignored. Any other input is RETURN_VOLUME_CORRUPTED, with no
// access outside Stream, Output and Scratch.
RETURN_STATUS LzmaDecodeStream(const UINT8* Stream, UINTN StreamSize, const LZMA_STREAM_INFO* Info,
                               UINT8* Output, VOID* Scratch);
