// LZMA decoder for streams of known size, decoded in one pass into the caller's output buffer.
//
// The output buffer is the dictionary: a match copies from bytes already written, so there is no
// window to wrap and no second copy. Every access is bounds checked once per symbol rather than
// once per byte:
//  - input: while at least INPUT_MARGIN bytes remain, a symbol cannot run out of input and reads
//    unchecked. The last bytes are moved into a zero-padded local buffer and decoding goes on
//    there; a symbol that reaches into the padding means the stream is truncated.
//  - output: a match is checked against the room left before it is copied.
//  - distances: checked against the bytes written so far and the header's dictionary size when
//    they are decoded; repeated distances were checked when they were first seen.
#include "LzmaDecoder.h"

#include <Library/BaseLib.h>

namespace {

constexpr UINT32 PROB_BITS = 11;
constexpr UINT32 PROB_INIT = 1U << (PROB_BITS - 1);
constexpr UINT32 MOVE_BITS = 5;
constexpr UINT32 RANGE_TOP = 1U << 24;
constexpr UINT32 PROB_ROUND_0 = (1U << PROB_BITS) - (1U << MOVE_BITS) + 1;

constexpr UINT32 NUM_STATES = 12;
constexpr UINT32 LITERAL_STATES = 7;
constexpr UINT32 POS_STATES_MAX = 16;
constexpr UINT32 END_POS_SLOT = 14;
constexpr UINT32 FULL_DISTANCES = 128;
constexpr UINT32 ALIGN_BITS = 4;
constexpr UINT32 MATCH_LEN_MIN = 2;
constexpr UINT32 MIN_DICTIONARY_SIZE = 4096;

// Probability model layout, in 16-bit probabilities. The literal coders come first, then the
// rest. Tree decoding loads both children of a node before its bit is known, so the last step
// of a tree reads past the tree (up to 0x100 entries past a literal coder, 0xFF past the high
// length tree, 0x3F past a slot tree); the order keeps those reads inside the model.
constexpr UINT32 LITERAL_CODER_SIZE = 0x300;
constexpr UINT32 LEN_CHOICE = 0;
constexpr UINT32 LEN_CHOICE2 = 1;
constexpr UINT32 LEN_LOW = 2;
constexpr UINT32 LEN_MID = LEN_LOW + POS_STATES_MAX * 8;
constexpr UINT32 LEN_HIGH = LEN_MID + POS_STATES_MAX * 8;
constexpr UINT32 LEN_CODER_SIZE = LEN_HIGH + 256;
constexpr UINT32 LEN_CODER = 0;
constexpr UINT32 REP_LEN_CODER = LEN_CODER + LEN_CODER_SIZE;
constexpr UINT32 IS_MATCH = REP_LEN_CODER + LEN_CODER_SIZE;
constexpr UINT32 IS_REP = IS_MATCH + NUM_STATES * POS_STATES_MAX;
constexpr UINT32 IS_REP_G0 = IS_REP + NUM_STATES;
constexpr UINT32 IS_REP_G1 = IS_REP_G0 + NUM_STATES;
constexpr UINT32 IS_REP_G2 = IS_REP_G1 + NUM_STATES;
constexpr UINT32 IS_REP0_LONG = IS_REP_G2 + NUM_STATES;
constexpr UINT32 POS_SLOT = IS_REP0_LONG + NUM_STATES * POS_STATES_MAX;
constexpr UINT32 SPEC_POS = POS_SLOT + 4 * 64;
constexpr UINT32 ALIGN = SPEC_POS + FULL_DISTANCES - END_POS_SLOT;
constexpr UINT32 BASE_PROBS = ALIGN + (1U << ALIGN_BITS);
static_assert(BASE_PROBS == 1846);
static_assert(BASE_PROBS >= 0x100);
static_assert(REP_LEN_CODER + LEN_HIGH + 2 * 256 <= BASE_PROBS);
static_assert(POS_SLOT + 4 * 64 + 64 <= BASE_PROBS);

// Most input one symbol can consume. A probability bit shrinks the range by at most
// log2(2048 / 31) < 6.05 bits (probabilities stay within 31..2017), a direct bit by one, and each
// byte read restores eight. The longest symbol, a match with a 6-bit slot and 26 direct bits, has
// 22 probability bits: under 1 + (22 * 6.05 + 26) / 8 < 21 bytes.
constexpr UINTN INPUT_MARGIN = 32;

} // namespace

RETURN_STATUS LzmaReadStreamInfo(const UINT8* Stream, UINTN StreamSize, LZMA_STREAM_INFO* Info) {
  if (StreamSize < LZMA_HEADER_SIZE) {
    return RETURN_VOLUME_CORRUPTED;
  }
  UINT64 Size = ReadUnaligned64(Stream + 5);
  if (Size > 0xFFFFFFFFU) {
    return RETURN_UNSUPPORTED;
  }
  UINT32 Properties = Stream[0];
  if (Properties >= LZMA_PROPERTIES_LIMIT) {
    return RETURN_VOLUME_CORRUPTED;
  }
  Info->LiteralContextBits = Properties % 9;
  Properties /= 9;
  Info->LiteralPositionBits = Properties % 5;
  Info->PositionBits = Properties / 5;
  Info->DictionarySize = ReadUnaligned32(Stream + 1);
  Info->UncompressedSize = (UINT32)Size;
  return RETURN_SUCCESS;
}

UINT32 LzmaGetScratchSize(const LZMA_STREAM_INFO* Info) {
  UINT32 LiteralCoders = 1U << (Info->LiteralContextBits + Info->LiteralPositionBits);
  return (BASE_PROBS + LITERAL_CODER_SIZE * LiteralCoders) * sizeof(UINT16);
}

// Kept out of line: inlined into its caller, which is built for size, the loop would be too.
__attribute__((noinline)) RETURN_STATUS LzmaDecodeStream(const UINT8* Stream, UINTN StreamSize,
                                                         const LZMA_STREAM_INFO* Info,
                                                         UINT8* Output, VOID* Scratch) {
  const UINT8* In = Stream + LZMA_HEADER_SIZE;
  const UINT8* InEnd = Stream + StreamSize;
  // The range coder's first byte is always 0; the next four start the code.
  if (InEnd - In < 5 || In[0] != 0) {
    return RETURN_VOLUME_CORRUPTED;
  }

  UINT16* const Literals = (UINT16*)Scratch;
  UINT16* const Probs =
      Literals + (LITERAL_CODER_SIZE << (Info->LiteralContextBits + Info->LiteralPositionBits));
  for (UINT16* P = Literals; P < Probs + BASE_PROBS; P++) {
    *P = PROB_INIT;
  }
  UINT32 Code = ((UINT32)In[1] << 24) | ((UINT32)In[2] << 16) | ((UINT32)In[3] << 8) | In[4];
  UINT32 Range = 0xFFFFFFFFU;
  In += 5;

  UINT8 Tail[2 * INPUT_MARGIN];
  bool InTail = false;
  const UINT8* InLimit = (UINTN)(InEnd - In) > INPUT_MARGIN ? InEnd - INPUT_MARGIN : In;

  UINT8* const OutStart = Output;
  UINT8* const OutEnd = Output + Info->UncompressedSize;
  UINT8* Out = Output;

  const UINT32 Lc = Info->LiteralContextBits;
  const UINT32 LpMask = (1U << Info->LiteralPositionBits) - 1;
  const UINT32 PbMask = (1U << Info->PositionBits) - 1;
  const UINT32 Window =
      Info->DictionarySize > MIN_DICTIONARY_SIZE ? Info->DictionarySize : MIN_DICTIONARY_SIZE;

  UINT32 State = 0;
  UINT32 Rep0 = 0;
  UINT32 Rep1 = 0;
  UINT32 Rep2 = 0;
  UINT32 Rep3 = 0;
  UINT32 Len;
  UINT16* LenProbs;
  UINT32 PosState;

  auto Normalize = [&]() {
    if (Range < RANGE_TOP) {
      Range <<= 8;
      Code = (Code << 8) | *In++;
    }
  };
  // Normalize() without a branch. The next input byte is always readable: see INPUT_MARGIN.
  auto NormalizeFlat = [&]() {
    UINT32 Shift = Range < RANGE_TOP ? 8 : 0;
    Code = (UINT32)((((UINT64)Code << 8) | *In) >> (8 - Shift));
    Range <<= Shift;
    In += Shift >> 3;
  };
  auto DecodeBit = [&](UINT16* Prob) -> UINT32 {
    UINT32 P = *Prob;
    UINT32 Bound = (Range >> PROB_BITS) * P;
    UINT32 Bit;
    if (Code < Bound) {
      Range = Bound;
      *Prob = (UINT16)(P + (((1U << PROB_BITS) - P) >> MOVE_BITS));
      Bit = 0;
    } else {
      Range -= Bound;
      Code -= Bound;
      *Prob = (UINT16)(P - (P >> MOVE_BITS));
      Bit = 1;
    }
    Normalize();
    return Bit;
  };
  // DecodeBit without branches on the bit, for bits that are hard to predict. The caller has
  // loaded the probability already, so that the load can be issued ahead.
  auto DecodeBitLoaded = [&](UINT16* Prob, UINT32 P) -> UINT32 {
    UINT32 Bound = (Range >> PROB_BITS) * P;
    UINT32 Bit = Code >= Bound;
    UINT32 Mask = 0U - Bit;
    Range = Bit ? Range - Bound : Bound;
    Code -= Bound & Mask;
    // P + (2048 - P) / 32 after a 0, P - P / 32 after a 1.
    *Prob = (UINT16)(P - (UINT32)((INT32)(P - (~Mask & PROB_ROUND_0)) >> MOVE_BITS));
    NormalizeFlat();
    return Bit;
  };
  // Bit-tree decoding. Both children of a node are loaded before its bit is known, which keeps
  // the loads off the range coder's critical path.
  auto DecodeTree = [&](UINT16* Tree, UINT32 Bits) -> UINT32 {
    UINT32 Symbol = 1;
    UINT32 P = Tree[1];
    do {
      UINT32 P0 = Tree[Symbol * 2];
      UINT32 P1 = Tree[Symbol * 2 + 1];
      UINT32 Bit = DecodeBitLoaded(Tree + Symbol, P);
      Symbol = Symbol * 2 + Bit;
      P = Bit ? P1 : P0;
    } while (Symbol < (1U << Bits));
    return Symbol - (1U << Bits);
  };

  for (;;) {
    if (In >= InLimit) {
      if (InTail) {
        return RETURN_VOLUME_CORRUPTED;
      }
      // Near the end of the input: go on from a zero-padded copy of what is left.
      UINTN Left = (UINTN)(InEnd - In);
      __builtin_memset(Tail, 0, sizeof(Tail));
      __builtin_memcpy(Tail, In, Left);
      In = Tail;
      InLimit = Tail + Left + 1;
      InTail = true;
    }

    PosState = (UINT32)(Out - OutStart) & PbMask;
    if (Out == OutEnd) {
      // All output is there: the stream ends here, or an end marker follows.
      if (Code == 0) {
        return RETURN_SUCCESS;
      }
      if (DecodeBit(Probs + IS_MATCH + (State << 4) + PosState) == 0 ||
          DecodeBit(Probs + IS_REP + State) != 0) {
        return RETURN_VOLUME_CORRUPTED;
      }
      goto Match;
    }

    if (DecodeBit(Probs + IS_MATCH + (State << 4) + PosState) == 0) {
      UINT32 Prev = Out > OutStart ? Out[-1] : 0;
      UINT32 Coder = ((((UINT32)(Out - OutStart) & LpMask) << Lc) + (Prev >> (8 - Lc)));
      UINT16* Lit = Literals + LITERAL_CODER_SIZE * Coder;
      UINT32 Symbol = 1;
      if (State < LITERAL_STATES) {
        Symbol = DecodeTree(Lit, 8);
      } else {
        // After a match the byte at the last distance predicts this one, bit by bit, until
        // the first bit that differs. Offset is 0x100 while they agree, 0 after.
        UINT32 MatchByte = (UINT32)Out[-(INTN)Rep0 - 1] << 1;
        UINT32 Offset = 0x100;
        UINT32 Index = Offset + (MatchByte & Offset) + Symbol;
        UINT32 P = Lit[Index];
        do {
          UINT32 MatchBit = MatchByte & Offset;
          MatchByte <<= 1;
          UINT32 Offset0 = Offset & ~MatchBit;
          UINT32 Offset1 = Offset & MatchBit;
          UINT32 Index0 = Offset0 + (MatchByte & Offset0) + Symbol * 2;
          UINT32 Index1 = Offset1 + (MatchByte & Offset1) + Symbol * 2 + 1;
          UINT32 P0 = Lit[Index0];
          UINT32 P1 = Lit[Index1];
          UINT32 Bit = DecodeBitLoaded(Lit + Index, P);
          Symbol = Symbol * 2 + Bit;
          Offset = Bit ? Offset1 : Offset0;
          Index = Bit ? Index1 : Index0;
          P = Bit ? P1 : P0;
        } while (Symbol < 0x100);
      }
      *Out++ = (UINT8)Symbol;
      State = State < 4 ? 0 : (State < 10 ? State - 3 : State - 6);
      continue;
    }

    if (DecodeBit(Probs + IS_REP + State) == 0) {
    Match:
      LenProbs = Probs + LEN_CODER;
    } else {
      if (Out == OutStart) {
        return RETURN_VOLUME_CORRUPTED;
      }
      if (DecodeBit(Probs + IS_REP_G0 + State) == 0) {
        if (DecodeBit(Probs + IS_REP0_LONG + (State << 4) + PosState) == 0) {
          *Out = Out[-(INTN)Rep0 - 1];
          Out++;
          State = State < LITERAL_STATES ? 9 : 11;
          continue;
        }
      } else {
        UINT32 Distance;
        if (DecodeBit(Probs + IS_REP_G1 + State) == 0) {
          Distance = Rep1;
        } else {
          if (DecodeBit(Probs + IS_REP_G2 + State) == 0) {
            Distance = Rep2;
          } else {
            Distance = Rep3;
            Rep3 = Rep2;
          }
          Rep2 = Rep1;
        }
        Rep1 = Rep0;
        Rep0 = Distance;
      }
      LenProbs = Probs + REP_LEN_CODER;
    }

    if (DecodeBit(LenProbs + LEN_CHOICE) == 0) {
      Len = DecodeTree(LenProbs + LEN_LOW + (PosState << 3), 3);
    } else if (DecodeBit(LenProbs + LEN_CHOICE2) == 0) {
      Len = 8 + DecodeTree(LenProbs + LEN_MID + (PosState << 3), 3);
    } else {
      Len = 16 + DecodeTree(LenProbs + LEN_HIGH, 8);
    }

    if (LenProbs == Probs + LEN_CODER) {
      UINT32 Slot = DecodeTree(Probs + POS_SLOT + ((Len < 3 ? Len : 3) << 6), 6);
      UINT32 Distance = Slot;
      if (Slot >= 4) {
        UINT32 Direct = (Slot >> 1) - 1;
        Distance = (2 | (Slot & 1)) << Direct;
        UINT16* Reverse;
        if (Slot < END_POS_SLOT) {
          Reverse = Probs + SPEC_POS + Distance - Slot - 1;
        } else {
          UINT32 Bits = 0;
          for (Direct -= ALIGN_BITS; Direct != 0; Direct--) {
            Range >>= 1;
            Code -= Range;
            UINT32 Mask = 0U - (Code >> 31);
            Code += Range & Mask;
            Bits = (Bits << 1) + Mask + 1;
            NormalizeFlat();
          }
          Distance += Bits << ALIGN_BITS;
          Reverse = Probs + ALIGN;
          Direct = ALIGN_BITS;
        }
        UINT32 Node = 1;
        for (UINT32 Bit = 0; Bit < Direct; Bit++) {
          UINT32 B = DecodeBitLoaded(Reverse + Node, Reverse[Node]);
          Node = (Node << 1) | B;
          Distance |= B << Bit;
        }
      }
      if (Distance == 0xFFFFFFFFU) {
        // End marker: valid only once all the output is there and the coder is flushed.
        if (Out == OutEnd && Code == 0 && (!InTail || In < InLimit)) {
          return RETURN_SUCCESS;
        }
        return RETURN_VOLUME_CORRUPTED;
      }
      if (Distance >= (UINTN)(Out - OutStart) || Distance >= Window) {
        return RETURN_VOLUME_CORRUPTED;
      }
      Rep3 = Rep2;
      Rep2 = Rep1;
      Rep1 = Rep0;
      Rep0 = Distance;
      State = State < LITERAL_STATES ? 7 : 10;
    } else {
      State = State < LITERAL_STATES ? 8 : 11;
    }

    Len += MATCH_LEN_MIN;
    if (Len > (UINTN)(OutEnd - Out)) {
      return RETURN_VOLUME_CORRUPTED;
    }
    const UINT8* Src = Out - Rep0 - 1;
    UINT8* End = Out + Len;
    if (Rep0 >= 7 && (UINTN)(OutEnd - End) >= 8) {
      // Eight bytes at a time; a copy that runs past the match is overwritten later.
      do {
        UINT64 Chunk;
        __builtin_memcpy(&Chunk, Src, 8);
        __builtin_memcpy(Out, &Chunk, 8);
        Out += 8;
        Src += 8;
      } while (Out < End);
      Out = End;
    } else {
      do {
        *Out++ = *Src++;
      } while (Out < End);
    }
  }
}
