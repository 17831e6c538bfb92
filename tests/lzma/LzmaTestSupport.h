// Helpers of the LZMA tests: GUID-defined sections around a stream, streams from the real tools
// (the xz program and liblzma's encoders), a decode through the two handlers with buffers of
// exactly the sizes get-info reports, and a small encoder that writes the symbols a test lists,
// for streams that no real encoder makes.
#pragma once

#include <Library/LzmaDecompressLib.h>

#include <lzma.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef XZ_PROGRAM
#define XZ_PROGRAM "xz"
#endif

namespace lzmatest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t LZMA_GUID_BYTES[16] = {0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42,
                                         0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF};

inline void PutLe(Bytes& B, size_t At, uint64_t Value, int Count) {
  for (int I = 0; I < Count; I++) {
    B[At + I] = (uint8_t)(Value >> (8 * I));
  }
}

// A GUID-defined section: common header (24-bit size or 0xFFFFFF and a 32-bit size), GUID, data
// offset, attributes, then Pad bytes of zeros and the data.
inline Bytes MakeSection(const Bytes& Data, bool Extended, uint16_t Attributes = 0x0001,
                         size_t Pad = 0, const uint8_t* Guid = LZMA_GUID_BYTES) {
  size_t Header = Extended ? 28 : 24;
  Bytes S(Header + Pad);
  S.insert(S.end(), Data.begin(), Data.end());
  if (Extended) {
    PutLe(S, 0, 0xFFFFFF, 3);
    PutLe(S, 4, S.size(), 4);
  } else {
    PutLe(S, 0, S.size(), 3);
  }
  S[3] = 0x02;
  std::memcpy(&S[Header - 20], Guid, 16);
  PutLe(S, Header - 4, Header + Pad, 2);
  PutLe(S, Header - 2, Attributes, 2);
  return S;
}

// Runs `xz --format=lzma` with the given options on Data. xz writes an unknown size and the end
// marker; the real size goes into the header, as a section carries it.
inline Bytes XzLzma(const Bytes& Data, const std::string& Options) {
  char Path[] = "/tmp/lzma_test_XXXXXX";
  int Fd = mkstemp(Path);
  if (Fd < 0) {
    std::abort();
  }
  FILE* In = fdopen(Fd, "wb");
  fwrite(Data.data(), 1, Data.size(), In);
  fclose(In);
  std::string Command =
      std::string(XZ_PROGRAM) + " --format=lzma --stdout -q " + Options + " < " + Path;
  FILE* Pipe = popen(Command.c_str(), "r");
  Bytes Out;
  uint8_t Buffer[65536];
  for (size_t N; (N = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0;) {
    Out.insert(Out.end(), Buffer, Buffer + N);
  }
  int Status = pclose(Pipe);
  std::remove(Path);
  if (Status != 0 || Out.size() < 13) {
    std::abort();
  }
  PutLe(Out, 5, Data.size(), 8);
  return Out;
}

// liblzma's .lzma encoder: unknown size and end marker; the real size is patched in.
inline Bytes LiblzmaAlone(const Bytes& Data, uint32_t Preset) {
  lzma_options_lzma Options;
  lzma_lzma_preset(&Options, Preset);
  lzma_stream S = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&S, &Options) != LZMA_OK) {
    std::abort();
  }
  Bytes Out(Data.size() + Data.size() / 2 + 1024);
  S.next_in = Data.data();
  S.avail_in = Data.size();
  S.next_out = Out.data();
  S.avail_out = Out.size();
  if (lzma_code(&S, LZMA_FINISH) != LZMA_STREAM_END) {
    std::abort();
  }
  Out.resize(S.total_out);
  lzma_end(&S);
  PutLe(Out, 5, Data.size(), 8);
  return Out;
}

// liblzma's raw LZMA1 encoder told the size: no end marker, as the firmware build's compressor
// writes. The 13-byte header is put in front.
inline Bytes LiblzmaRaw(const Bytes& Data, uint32_t Preset, uint32_t Lc = 3, uint32_t Lp = 0,
                        uint32_t Pb = 2) {
  lzma_options_lzma Options;
  lzma_lzma_preset(&Options, Preset);
  Options.lc = Lc;
  Options.lp = Lp;
  Options.pb = Pb;
  Options.ext_flags = 0;
  lzma_set_ext_size(Options, Data.size());
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream S = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&S, Filters) != LZMA_OK) {
    std::abort();
  }
  Bytes Out(13 + Data.size() + Data.size() / 2 + 1024);
  Out[0] = (uint8_t)((Pb * 5 + Lp) * 9 + Lc);
  PutLe(Out, 1, Options.dict_size, 4);
  PutLe(Out, 5, Data.size(), 8);
  S.next_in = Data.data();
  S.avail_in = Data.size();
  S.next_out = Out.data() + 13;
  S.avail_out = Out.size() - 13;
  if (lzma_code(&S, LZMA_FINISH) != LZMA_STREAM_END) {
    std::abort();
  }
  Out.resize(13 + S.total_out);
  lzma_end(&S);
  return Out;
}

struct Decoded {
  RETURN_STATUS Status;
  Bytes Output;
  UINT32 ScratchSize = 0;
  UINT16 Attributes = 0;
  UINT32 Authentication = 0;
};

// liblzma's decoder of the .lzma format (13-byte header, then the stream) on Data, which must
// yield exactly the size the header gives; empty on any error.
inline Bytes LiblzmaDecodeAlone(const uint8_t* Data, size_t Size) {
  if (Size < 13) {
    return {};
  }
  uint64_t Expected = 0;
  for (int I = 0; I < 8; I++) {
    Expected |= (uint64_t)Data[5 + I] << (8 * I);
  }
  if (Expected > (1u << 30)) {
    return {};
  }
  lzma_stream Stream = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&Stream, UINT64_MAX) != LZMA_OK) {
    return {};
  }
  Bytes Out(Expected + 1);
  Stream.next_in = Data;
  Stream.avail_in = Size;
  Stream.next_out = Out.data();
  Stream.avail_out = Out.size();
  const lzma_ret Status = lzma_code(&Stream, LZMA_FINISH);
  const size_t Produced = Out.size() - Stream.avail_out;
  lzma_end(&Stream);
  if (Status != LZMA_STREAM_END || Produced != Expected) {
    return {};
  }
  Out.resize(Produced);
  return Out;
}

// Get-info, then decode into an output and a scratch buffer of exactly the reported sizes. The
// section is copied into a buffer of exactly its own length, so that AddressSanitizer catches a
// read past it. The scratch starts filled with 0xA5.
inline Decoded DecodeSection(const Bytes& Section) {
  Decoded Result{};
  UINT32 OutputSize = 0;
  Result.Status = LzmaGuidedSectionGetInfo(Section.data(), &OutputSize, &Result.ScratchSize,
                                           &Result.Attributes);
  if (EFI_ERROR(Result.Status)) {
    return Result;
  }
  std::unique_ptr<uint8_t[]> In(new uint8_t[Section.size()]);
  std::memcpy(In.get(), Section.data(), Section.size());
  std::unique_ptr<uint8_t[]> Out(new uint8_t[OutputSize]);
  std::unique_ptr<uint8_t[]> Scratch(new uint8_t[Result.ScratchSize]);
  std::memset(Scratch.get(), 0xA5, Result.ScratchSize);
  VOID* OutputBuffer = Out.get();
  Result.Authentication = 0xFFFFFFFF;
  Result.Status =
      LzmaGuidedSectionExtraction(In.get(), &OutputBuffer, Scratch.get(), &Result.Authentication);
  Result.Output.assign(Out.get(), Out.get() + OutputSize);
  // Every probability was initialised: the model fills the scratch exactly.
  for (UINT32 I = 0; I + 1 < Result.ScratchSize; I += 2) {
    if (Scratch[I] == 0xA5 && Scratch[I + 1] == 0xA5) {
      Result.ScratchSize = 0;
      break;
    }
  }
  return Result;
}

// Writes LZMA symbols as a test lists them, for streams that real encoders never make (matches
// past the output, end markers in the middle, large lc and lp). It follows the format on its own
// terms rather than the decoder's code: separate tables, forward range encoding.
class SymbolEncoder {
public:
  SymbolEncoder(uint32_t Lc, uint32_t Lp, uint32_t Pb) : Lc(Lc), Lp(Lp), Pb(Pb) {
    Literal.assign(0x300u << (Lc + Lp), 1024);
    for (auto* Table : {&IsMatch, &IsRep0Long}) {
      Table->assign(12 * 16, 1024);
    }
    for (auto* Table : {&IsRep, &IsRepG0, &IsRepG1, &IsRepG2}) {
      Table->assign(12, 1024);
    }
    PosSlot.assign(4 * 64, 1024);
    SpecPos.assign(114, 1024);
    Align.assign(16, 1024);
    for (auto* Len : {&MatchLen, &RepLen}) {
      Len->assign(2 + 16 * 8 + 16 * 8 + 256, 1024);
    }
  }

  void PutLiteral(uint8_t Byte) {
    uint32_t Pos = (uint32_t)History.size();
    Bit(IsMatch[State * 16 + (Pos & ((1u << Pb) - 1))], 0);
    uint32_t Prev = History.empty() ? 0 : History.back();
    uint16_t* Probs = &Literal[0x300 * (((Pos & ((1u << Lp) - 1)) << Lc) + (Prev >> (8 - Lc)))];
    uint32_t Symbol = 1;
    bool Matched = State >= 7;
    uint32_t MatchByte = Matched ? At(Reps[0] + 1) : 0;
    for (int I = 7; I >= 0; I--) {
      uint32_t B = (Byte >> I) & 1;
      if (Matched) {
        uint32_t MatchBit = (MatchByte >> I) & 1;
        Bit(Probs[0x100 + (MatchBit << 8) + Symbol], B);
        Matched = MatchBit == B;
      } else {
        Bit(Probs[Symbol], B);
      }
      Symbol = Symbol * 2 + B;
    }
    History.push_back(Byte);
    State = State < 4 ? 0 : State < 10 ? State - 3 : State - 6;
  }
  void PutLiterals(const std::string& Text) {
    for (char C : Text) {
      PutLiteral((uint8_t)C);
    }
  }
  // A match with a new distance (1 = the byte before); Distance 0 writes the end marker.
  void PutMatch(uint32_t Distance, uint32_t Length) {
    uint32_t PosState = (uint32_t)History.size() & ((1u << Pb) - 1);
    Bit(IsMatch[State * 16 + PosState], 1);
    Bit(IsRep[State], 0);
    PutLength(MatchLen, Length, PosState);
    uint32_t D = Distance - 1;
    uint32_t Slot = D < 4 ? D : 2 * (31 - __builtin_clz(D)) + ((D >> (30 - __builtin_clz(D))) & 1);
    Tree(&PosSlot[64 * (Length - 2 < 3 ? Length - 2 : 3)], 6, Slot);
    if (Slot >= 4) {
      uint32_t Footer = (Slot >> 1) - 1;
      uint32_t Base = (2 | (Slot & 1)) << Footer;
      uint32_t Rest = D - Base;
      if (Slot < 14) {
        ReverseTree(SpecPos, (int)Base - (int)Slot - 1, Footer, Rest);
      } else {
        for (int I = (int)Footer - 5; I >= 0; I--) {
          Range >>= 1;
          Low += Range & (0u - ((Rest >> (I + 4)) & 1));
          Normalize();
        }
        ReverseTree(Align, 0, 4, Rest & 15);
      }
    }
    Reps[3] = Reps[2];
    Reps[2] = Reps[1];
    Reps[1] = Reps[0];
    Reps[0] = D;
    State = State < 7 ? 7 : 10;
    if (Distance != 0) {
      Copy(Length);
    }
  }
  void PutEndMarker() { PutMatch(0, 2); }
  // A match at the Index-th most recent distance (0 to 3).
  void PutRep(uint32_t Index, uint32_t Length) {
    uint32_t PosState = (uint32_t)History.size() & ((1u << Pb) - 1);
    Bit(IsMatch[State * 16 + PosState], 1);
    Bit(IsRep[State], 1);
    Bit(IsRepG0[State], Index != 0);
    if (Index == 0) {
      Bit(IsRep0Long[State * 16 + PosState], 1);
    } else {
      Bit(IsRepG1[State], Index != 1);
      if (Index != 1) {
        Bit(IsRepG2[State], Index != 2);
      }
      uint32_t D = Reps[Index];
      for (uint32_t I = Index; I > 0; I--) {
        Reps[I] = Reps[I - 1];
      }
      Reps[0] = D;
    }
    PutLength(RepLen, Length, PosState);
    State = State < 7 ? 8 : 11;
    Copy(Length);
  }
  // One byte from the last distance.
  void PutShortRep() {
    uint32_t PosState = (uint32_t)History.size() & ((1u << Pb) - 1);
    Bit(IsMatch[State * 16 + PosState], 1);
    Bit(IsRep[State], 1);
    Bit(IsRepG0[State], 0);
    Bit(IsRep0Long[State * 16 + PosState], 0);
    State = State < 7 ? 9 : 11;
    Copy(1);
  }

  // The range coder's bytes after a flush, behind a header with this size and dictionary.
  Bytes Finish(uint64_t Size, uint32_t Dictionary = 1u << 16) {
    for (int I = 0; I < 5; I++) {
      ShiftLow();
    }
    Bytes Stream(13);
    Stream[0] = (uint8_t)((Pb * 5 + Lp) * 9 + Lc);
    PutLe(Stream, 1, Dictionary, 4);
    PutLe(Stream, 5, Size, 8);
    Stream.insert(Stream.end(), Coded.begin(), Coded.end());
    return Stream;
  }
  Bytes Finish() { return Finish(History.size()); }
  const Bytes& Output() const { return History; }

private:
  uint8_t At(uint32_t Distance) const {
    return Distance <= History.size() ? History[History.size() - Distance] : 0;
  }
  void Copy(uint32_t Length) {
    uint32_t Distance = Reps[0] + 1;
    for (uint32_t I = 0; I < Length; I++) {
      History.push_back(At(Distance));
    }
  }
  void ShiftLow() {
    if (Low < 0xFF000000u || Low >= (1ull << 32)) {
      uint8_t Carry = (uint8_t)(Low >> 32);
      for (; CacheSize != 0; CacheSize--) {
        Coded.push_back((uint8_t)(Cache + Carry));
        Cache = 0xFF;
      }
      Cache = (uint8_t)(Low >> 24);
    }
    CacheSize++;
    Low = (Low & 0x00FFFFFF) << 8;
  }
  void Normalize() {
    while (Range < (1u << 24)) {
      Range <<= 8;
      ShiftLow();
    }
  }
  void Bit(uint16_t& Prob, uint32_t B) {
    uint32_t Bound = (Range >> 11) * Prob;
    if (B == 0) {
      Range = Bound;
      Prob += (2048 - Prob) >> 5;
    } else {
      Low += Bound;
      Range -= Bound;
      Prob -= Prob >> 5;
    }
    Normalize();
  }
  void Tree(uint16_t* Probs, int Bits, uint32_t Value) {
    uint32_t Node = 1;
    for (int I = Bits - 1; I >= 0; I--) {
      uint32_t B = (Value >> I) & 1;
      Bit(Probs[Node], B);
      Node = Node * 2 + B;
    }
  }
  // Distance bits, low bit first; node 1 of the tree is at Table[Offset + 1].
  void ReverseTree(std::vector<uint16_t>& Table, int Offset, uint32_t Bits, uint32_t Value) {
    uint32_t Node = 1;
    for (uint32_t I = 0; I < Bits; I++) {
      uint32_t B = (Value >> I) & 1;
      Bit(Table[Offset + Node], B);
      Node = Node * 2 + B;
    }
  }
  void PutLength(std::vector<uint16_t>& Len, uint32_t Length, uint32_t PosState) {
    uint32_t L = Length - 2;
    Bit(Len[0], L >= 8);
    if (L < 8) {
      Tree(&Len[2 + PosState * 8], 3, L);
      return;
    }
    Bit(Len[1], L >= 16);
    if (L < 16) {
      Tree(&Len[2 + 128 + PosState * 8], 3, L - 8);
    } else {
      Tree(&Len[2 + 256], 8, L - 16);
    }
  }

  uint32_t Lc, Lp, Pb;
  std::vector<uint16_t> Literal, IsMatch, IsRep, IsRepG0, IsRepG1, IsRepG2, IsRep0Long, PosSlot,
      SpecPos, Align, MatchLen, RepLen;
  uint32_t State = 0;
  uint32_t Reps[4] = {0, 0, 0, 0};
  Bytes History;
  uint64_t Low = 0;
  uint32_t Range = 0xFFFFFFFF;
  uint8_t Cache = 0;
  uint64_t CacheSize = 1;
  Bytes Coded;
};

} // namespace lzmatest
