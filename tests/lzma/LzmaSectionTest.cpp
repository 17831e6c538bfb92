// LZMA sections through the two handlers and through the registry: round trips with the real
// tools, crafted streams for each kind of malformed input, and the size of the model's scratch.
#include <Library/ExtractGuidedSectionLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include <fstream>
#include <iterator>

#include "LzmaTestSupport.h"
#include "SimTest.h"

namespace {

using namespace lzmatest;

Bytes Text(size_t Size) {
  Bytes Data;
  for (uint32_t Line = 0; Data.size() < Size; Line++) {
    std::string S = "entry " + std::to_string(Line * 7919 % 1000) + ": status ok, next " +
                    std::to_string(Line % 13) + "\n";
    Data.insert(Data.end(), S.begin(), S.end());
  }
  Data.resize(Size);
  return Data;
}

Bytes Noise(size_t Size) {
  Bytes Data(Size);
  uint64_t X = 0x9E3779B97F4A7C15ULL;
  for (auto& B : Data) {
    X ^= X << 13;
    X ^= X >> 7;
    X ^= X << 17;
    B = (uint8_t)X;
  }
  return Data;
}

// Machine code and data of a real program: this test's own executable.
Bytes Executable(size_t Size) {
  std::ifstream File("/proc/self/exe", std::ios::binary);
  Bytes Data((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  Data.resize(std::min(Data.size(), Size));
  return Data;
}

std::vector<Bytes> Inputs() {
  return {{}, {0x42}, Text(48 << 10), Noise(64 << 10), Bytes(256 << 10, 0), Executable(384 << 10)};
}

void ExpectRoundTrip(const Bytes& Data, const Bytes& Stream, const std::string& What) {
  for (bool Extended : {false, true}) {
    Decoded D = DecodeSection(MakeSection(Stream, Extended, 0x0002));
    ASSERT_EQ(D.Status, RETURN_SUCCESS) << What << (Extended ? " extended" : "");
    EXPECT_TRUE(D.Output == Data) << What;
    EXPECT_EQ(D.Attributes, 0x0002);
    EXPECT_EQ(D.Authentication, 0u);
    EXPECT_NE(D.ScratchSize, 0u) << "scratch not fully used: " << What;
  }
}

TEST(LzmaRoundTrip, XzPresetsPropertiesAndDictionaries) {
  const char* Options[] = {
      "-0",
      "-6",
      "-6e",
      "--lzma1=preset=6,lc=0,lp=0,pb=0",
      "--lzma1=preset=6,lc=4,lp=0,pb=4",
      "--lzma1=preset=6,lc=0,lp=4,pb=1",
      "--lzma1=preset=6,lc=1,lp=3,pb=3",
      "--lzma1=preset=6,lc=2,lp=2,pb=2",
      "--lzma1=preset=1,dict=4KiB",
      "--lzma1=preset=6,dict=64KiB,mf=bt2,nice=273",
  };
  for (const Bytes& Data : Inputs()) {
    for (const char* Option : Options) {
      ExpectRoundTrip(Data, XzLzma(Data, Option),
                      std::string(Option) + " size " + std::to_string(Data.size()));
    }
  }
}

TEST(LzmaRoundTrip, LiblzmaWithAndWithoutEndMarker) {
  for (const Bytes& Data : Inputs()) {
    const std::string Size = " size " + std::to_string(Data.size());
    ExpectRoundTrip(Data, LiblzmaAlone(Data, 1), "alone 1" + Size);
    ExpectRoundTrip(Data, LiblzmaAlone(Data, 6), "alone 6" + Size);
    ExpectRoundTrip(Data, LiblzmaRaw(Data, 0), "raw 0" + Size);
    ExpectRoundTrip(Data, LiblzmaRaw(Data, 6), "raw 6" + Size);
    ExpectRoundTrip(Data, LiblzmaRaw(Data, 6, 0, 2, 4), "raw lc0 lp2 pb4" + Size);
  }
}

// Every kind of symbol, every distance slot, the longest length, and lc/lp at the top of their
// range, against an encoder written from the format rather than from the decoder.
TEST(LzmaRoundTrip, EverySymbolKindAndTheLargestLiteralModel) {
  struct {
    uint32_t Lc, Lp, Pb;
  } Properties[] = {{3, 0, 2}, {0, 0, 0}, {8, 4, 4}, {8, 0, 0}, {0, 4, 4}};
  for (const auto& P : Properties) {
    SymbolEncoder E(P.Lc, P.Lp, P.Pb);
    E.PutLiterals("a model of every symbol: ");
    E.PutMatch(3, 2);
    E.PutLiteral('x');
    E.PutShortRep();
    E.PutRep(0, 273);
    E.PutMatch(7, 9);
    E.PutMatch(20, 17);
    E.PutRep(2, 4);
    E.PutRep(3, 5);
    E.PutRep(1, 6);
    for (uint32_t I = 0; E.Output().size() < (300u << 10); I++) {
      E.PutLiteral((uint8_t)(I * 37 >> 3));
    }
    for (uint32_t Distance = 1; Distance < (300u << 10); Distance = Distance * 3 / 2 + 1) {
      E.PutMatch(Distance, 2 + Distance % 200);
      E.PutLiteral((uint8_t)Distance);
    }
    Bytes Plain = E.Output();
    E.PutEndMarker();
    ExpectRoundTrip(Plain, E.Finish(Plain.size(), 1u << 20),
                    "lc " + std::to_string(P.Lc) + " lp " + std::to_string(P.Lp));
  }
}

TEST(LzmaSectionInfo, ScratchFollowsLcPlusLpAndSizesAreChecked) {
  struct {
    uint8_t Properties;
    uint64_t Size;
    RETURN_STATUS Status;
    UINT32 Scratch;
  } Cases[] = {
      {0x5D, 1000, RETURN_SUCCESS, 15980},       // lc 3, lp 0, pb 2
      {0x00, 0, RETURN_SUCCESS, 5228},           // lc 0, lp 0, pb 0
      {224, 7, RETURN_SUCCESS, 6295148},         // lc 8, lp 4, pb 4
      {0x5D, 0xFFFFFFFF, RETURN_SUCCESS, 15980}, // the largest output
      {0x5D, 1ULL << 32, RETURN_UNSUPPORTED, 0}, // does not fit the 32-bit output size
      {0x5D, ~0ULL, RETURN_UNSUPPORTED, 0},      // size unknown
      {225, 1000, RETURN_VOLUME_CORRUPTED, 0},   // pb 5
      {255, 1000, RETURN_VOLUME_CORRUPTED, 0},
  };
  for (const auto& C : Cases) {
    Bytes Stream(13 + 5);
    Stream[0] = C.Properties;
    PutLe(Stream, 1, 1 << 16, 4);
    PutLe(Stream, 5, C.Size, 8);
    for (bool Extended : {false, true}) {
      Bytes Section = MakeSection(Stream, Extended, 0x1234);
      UINT32 Output = 0xEEEE, Scratch = 0xEEEE;
      UINT16 Attributes = 0;
      EXPECT_EQ(LzmaGuidedSectionGetInfo(Section.data(), &Output, &Scratch, &Attributes), C.Status)
          << (int)C.Properties << " " << C.Size;
      if (C.Status == RETURN_SUCCESS) {
        EXPECT_EQ(Output, (UINT32)C.Size);
        EXPECT_EQ(Scratch, C.Scratch);
        EXPECT_EQ(Attributes, 0x1234);
      }
      // Decode refuses the same headers with the same status, before it uses any buffer.
      if (C.Status != RETURN_SUCCESS) {
        UINT32 Authentication;
        UINT16 Work = 0;
        VOID* Out = nullptr;
        EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &Out, &Work, &Authentication),
                  C.Status);
      }
    }
  }
}

// A section whose size field says Size, in a buffer of exactly that size (at least the 4 bytes
// of the common header, which are read to learn it).
Bytes Resized(Bytes Section, uint32_t Size) {
  if (Section[0] == 0xFF && Section[1] == 0xFF && Section[2] == 0xFF) {
    PutLe(Section, 4, Size, 4);
  } else {
    PutLe(Section, 0, Size, 3);
  }
  Section.resize(std::max<size_t>(Size, 4));
  return Section;
}

Bytes ValidStream() {
  SymbolEncoder E(3, 0, 2);
  E.PutLiterals("section data, section data");
  E.PutMatch(14, 13);
  return E.Finish();
}

TEST(LzmaMalformedSection, HeaderFieldsAndSizes) {
  const Bytes Stream = ValidStream();
  const Bytes Plain = MakeSection(Stream, false);
  const Bytes Extended = MakeSection(Stream, true);
  Bytes WrongType = Plain;
  WrongType[3] = 0x01;
  Bytes WrongGuid = Extended;
  WrongGuid[8 + 15] ^= 1;
  auto WithOffset = [](Bytes Section, bool Ext, uint32_t Offset) {
    PutLe(Section, Ext ? 24 : 20, Offset, 2);
    return Section;
  };
  struct {
    const char* What;
    Bytes Section;
    RETURN_STATUS Status;
  } Cases[] = {
      {"size 0", Resized(Plain, 0), RETURN_INVALID_PARAMETER},
      {"shorter than its header", Resized(Plain, 23), RETURN_INVALID_PARAMETER},
      {"extended, shorter than its header", Resized(Extended, 27), RETURN_INVALID_PARAMETER},
      {"not GUID-defined", WrongType, RETURN_INVALID_PARAMETER},
      {"another GUID", WrongGuid, RETURN_INVALID_PARAMETER},
      {"offset inside the header", WithOffset(Plain, false, 23), RETURN_VOLUME_CORRUPTED},
      {"offset 0", WithOffset(Extended, true, 0), RETURN_VOLUME_CORRUPTED},
      {"offset past the end", WithOffset(Plain, false, Plain.size() + 1), RETURN_VOLUME_CORRUPTED},
      {"offset at the end", WithOffset(Extended, true, Extended.size()), RETURN_VOLUME_CORRUPTED},
      {"LZMA header cut", Resized(Plain, 24 + 12), RETURN_VOLUME_CORRUPTED},
      {"stream cut by the section size", Resized(Extended, Extended.size() - 1),
       RETURN_VOLUME_CORRUPTED},
      {"bytes after the stream", Resized(Plain, Plain.size() + 7), RETURN_SUCCESS},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(DecodeSection(C.Section).Status, C.Status) << C.What;
  }
}

// Streams cut short, sizes that disagree with the stream, and broken range coding, for streams
// with and without the end marker.
TEST(LzmaMalformedStream, TruncationAndSizeMismatch) {
  const Bytes Data = Text(3000);
  for (const Bytes& Stream : {LiblzmaRaw(Data, 6), LiblzmaAlone(Data, 6), XzLzma(Data, "-1")}) {
    ASSERT_EQ(DecodeSection(MakeSection(Stream, false)).Status, RETURN_SUCCESS);
    for (size_t Size = 13; Size < Stream.size(); Size++) {
      Bytes Cut(Stream.begin(), Stream.begin() + Size);
      ASSERT_EQ(DecodeSection(MakeSection(Cut, false)).Status, RETURN_VOLUME_CORRUPTED) << Size;
    }
    for (uint64_t Declared : {0ULL, 1ULL, 2999ULL, 3001ULL, 1ULL << 20}) {
      Bytes Lying = Stream;
      PutLe(Lying, 5, Declared, 8);
      EXPECT_EQ(DecodeSection(MakeSection(Lying, true)).Status, RETURN_VOLUME_CORRUPTED)
          << Declared;
    }
    Bytes BadFirstByte = Stream;
    BadFirstByte[13] = 1;
    EXPECT_EQ(DecodeSection(MakeSection(BadFirstByte, false)).Status, RETURN_VOLUME_CORRUPTED);
  }
}

TEST(LzmaMalformedStream, DistancesLengthsAndMarkers) {
  struct Case {
    const char* What;
    RETURN_STATUS Status;
    Bytes Stream;
  };
  std::vector<Case> Cases;
  auto Add = [&](const char* What, RETURN_STATUS Status, auto Build, uint32_t Dictionary = 1u << 16,
                 int SizeDelta = 0) {
    SymbolEncoder E(3, 0, 2);
    Build(E);
    Cases.push_back({What, Status, E.Finish(E.Output().size() + SizeDelta, Dictionary)});
  };
  auto Fill = [](SymbolEncoder& E, size_t Size) {
    while (E.Output().size() < Size) {
      E.PutLiteral((uint8_t)(E.Output().size() * 13));
    }
  };
  Add("distance reaching the first byte", RETURN_SUCCESS, [](SymbolEncoder& E) {
    E.PutLiterals("abc");
    E.PutMatch(3, 5);
  });
  Add("distance before the first byte", RETURN_VOLUME_CORRUPTED, [](SymbolEncoder& E) {
    E.PutLiterals("abc");
    E.PutMatch(4, 2);
  });
  Add("match at the start", RETURN_VOLUME_CORRUPTED, [](SymbolEncoder& E) { E.PutMatch(1, 2); });
  Add("repeated match at the start", RETURN_VOLUME_CORRUPTED,
      [](SymbolEncoder& E) { E.PutRep(0, 2); });
  Add("short repeat at the start", RETURN_VOLUME_CORRUPTED,
      [](SymbolEncoder& E) { E.PutShortRep(); });
  // The dictionary is at least 4 KiB whatever the header says.
  Add(
      "distance at the smallest dictionary", RETURN_SUCCESS,
      [&](SymbolEncoder& E) {
        Fill(E, 5000);
        E.PutMatch(4096, 3);
      },
      100);
  Add(
      "distance past the smallest dictionary", RETURN_VOLUME_CORRUPTED,
      [&](SymbolEncoder& E) {
        Fill(E, 5000);
        E.PutMatch(4097, 3);
      },
      100);
  Add(
      "distance past the dictionary", RETURN_VOLUME_CORRUPTED,
      [&](SymbolEncoder& E) {
        Fill(E, 9000);
        E.PutMatch(8193, 3);
      },
      8192);
  Add(
      "match longer than the output left", RETURN_VOLUME_CORRUPTED,
      [](SymbolEncoder& E) {
        E.PutLiterals("abcd");
        E.PutMatch(4, 10);
      },
      1u << 16, -1);
  Add(
      "literal after the declared size", RETURN_VOLUME_CORRUPTED,
      [](SymbolEncoder& E) { E.PutLiterals("abcd"); }, 1u << 16, -1);
  Add("end marker at the end", RETURN_SUCCESS, [](SymbolEncoder& E) {
    E.PutLiterals("abcd");
    E.PutEndMarker();
  });
  Add(
      "end marker before the end", RETURN_VOLUME_CORRUPTED,
      [](SymbolEncoder& E) {
        E.PutLiterals("abcd");
        E.PutEndMarker();
      },
      1u << 16, 1);
  Add("end marker as the only symbol", RETURN_SUCCESS, [](SymbolEncoder& E) { E.PutEndMarker(); });
  for (const Case& C : Cases) {
    EXPECT_EQ(DecodeSection(MakeSection(C.Stream, false)).Status, C.Status) << C.What;
  }
}

TEST(LzmaSectionArguments, NullPointersAndMisalignedScratch) {
  const Bytes Section = MakeSection(ValidStream(), false);
  UINT32 Output, Scratch, Authentication;
  UINT16 Attributes;
  EXPECT_EQ(LzmaGuidedSectionGetInfo(nullptr, &Output, &Scratch, &Attributes),
            RETURN_INVALID_PARAMETER);
  EXPECT_EQ(LzmaGuidedSectionGetInfo(Section.data(), &Output, nullptr, &Attributes),
            RETURN_INVALID_PARAMETER);
  ASSERT_EQ(LzmaGuidedSectionGetInfo(Section.data(), &Output, &Scratch, &Attributes),
            RETURN_SUCCESS);
  std::vector<uint16_t> Work(Scratch / 2 + 1);
  Bytes Out(Output);
  VOID* OutPtr = Out.data();
  VOID* NoOutput = nullptr;
  EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &NoOutput, Work.data(), &Authentication),
            RETURN_INVALID_PARAMETER);
  EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &OutPtr, nullptr, &Authentication),
            RETURN_INVALID_PARAMETER);
  EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &OutPtr, (UINT8*)Work.data() + 1,
                                        &Authentication),
            RETURN_INVALID_PARAMETER);
  EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &OutPtr, Work.data(), nullptr),
            RETURN_INVALID_PARAMETER);
  EXPECT_EQ(LzmaGuidedSectionExtraction(Section.data(), &OutPtr, Work.data(), &Authentication),
            RETURN_SUCCESS);
}

// Registered by the library constructor, the handlers are found by the section's GUID.
class LzmaRegistryTest : public simtest::SimTest {};

TEST_F(LzmaRegistryTest, ConstructorRegistersAndDecodeDispatchesByGuid) {
  Start();
  gST = Engine->SystemTable();
  gBS = gST->BootServices;
  DxeExtractGuidedSectionLibConstructor();
  ASSERT_EQ(LzmaDecompressLibConstructor(), RETURN_SUCCESS);
  const Bytes Data = Executable(64 << 10);
  for (bool Extended : {false, true}) {
    const Bytes Section = MakeSection(XzLzma(Data, "-6"), Extended, 0x0003);
    UINT32 Output = 0, Scratch = 0, Authentication = 7;
    UINT16 Attributes = 0;
    ASSERT_EQ(ExtractGuidedSectionGetInfo(Section.data(), &Output, &Scratch, &Attributes),
              RETURN_SUCCESS);
    EXPECT_EQ(Output, Data.size());
    EXPECT_EQ(Attributes, 0x0003);
    Bytes Out(Output);
    std::vector<uint16_t> Work(Scratch / 2);
    VOID* OutPtr = Out.data();
    ASSERT_EQ(ExtractGuidedSectionDecode(Section.data(), &OutPtr, Work.data(), &Authentication),
              RETURN_SUCCESS);
    EXPECT_TRUE(Out == Data);
    EXPECT_EQ(Authentication, 0u);
  }
}

} // namespace
