// Driver images with one defect each, made from a good image, and the start of the message with
// which the loader must refuse them.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <vector>

#include <Sim/PeImage.h>

namespace imagetest {

// Offsets into an image file, read from its own headers.
struct Layout {
  explicit Layout(const std::vector<uint8_t>& File) {
    std::memcpy(&Pe, File.data() + 0x3C, 4);
    Coff = Pe + 4;
    Optional = Coff + 20;
    uint16_t OptionalSize;
    std::memcpy(&OptionalSize, File.data() + Coff + 16, 2);
    Sections = Optional + OptionalSize;
  }
  uint32_t Pe;
  uint32_t Coff;
  uint32_t Optional;
  uint32_t Sections;
  uint32_t Directory(int Index) const { return Optional + 112 + 8 * Index; }
  uint32_t Section(int Index) const { return Sections + 40 * Index; }
};

inline void Put16(std::vector<uint8_t>& File, size_t At, uint16_t Value) {
  std::memcpy(File.data() + At, &Value, 2);
}
inline void Put32(std::vector<uint8_t>& File, size_t At, uint32_t Value) {
  std::memcpy(File.data() + At, &Value, 4);
}

// File offset of the base relocation table.
inline size_t RelocationTableOffset(const std::vector<uint8_t>& F, const sim::PeImage& Image) {
  uint32_t Rva;
  std::memcpy(&Rva, F.data() + Layout(F).Directory(5), 4);
  for (const sim::PeSection& S : Image.Sections) {
    if (Rva >= S.VirtualAddress && Rva < S.VirtualAddress + S.VirtualSize) {
      return S.RawOffset + (Rva - S.VirtualAddress);
    }
  }
  return 0;
}

struct Defect {
  const char* Name;
  std::function<void(std::vector<uint8_t>&, const sim::PeImage&)> Apply;
  const char* Message;
};

inline void PrintTo(const Defect& D, std::ostream* Out) {
  *Out << D.Name;
}

inline const std::vector<Defect>& ImageDefects() {
  static const std::vector<Defect> DEFECTS = {

      Defect{"TruncatedInTheHeaders", [](auto& F, auto&) { F.resize(100); },
             "truncated file: the PE signature needs bytes up to"},
      Defect{"TruncatedInTheLastSection",
             [](auto& F, auto& Image) { F.resize(Image.Sections.back().RawOffset + 4); },
             "truncated file: section .reloc needs bytes up to"},
      Defect{"WrongMachine", [](auto& F, auto&) { Put16(F, Layout(F).Coff, 0x8664); },
             "machine 0x8664, expected ARM64 (0xaa64)"},
      Defect{"ApplicationSubsystem", [](auto& F, auto&) { Put16(F, Layout(F).Optional + 68, 10); },
             "subsystem 10, expected an EFI boot-service driver (11)"},
      Defect{"ImportTable",
             [](auto& F, auto&) {
               Put32(F, Layout(F).Directory(1), 0x3000);
               Put32(F, Layout(F).Directory(1) + 4, 0x28);
             },
             "has an import table (RVA 0x3000, 0x28 bytes): a driver image must import nothing"},
      Defect{"DelayLoadImportTable",
             [](auto& F, auto&) { Put32(F, Layout(F).Directory(13) + 4, 0x40); },
             "has a delay-load import table"},
      Defect{"UnknownRelocationType",
             [](auto& F, auto& Image) {
               // The first entry of the first block, made a 32-bit HIGHLOW relocation.
               const size_t Entry = RelocationTableOffset(F, Image) + 8;
               F[Entry + 1] = static_cast<uint8_t>((F[Entry + 1] & 0x0F) | 0x30);
             },
             "unknown relocation type 3 at RVA 0x"},
      Defect{"RelocationBlockOutsideTheImage",
             [](auto& F, auto& Image) {
               Put32(F, RelocationTableOffset(F, Image), Image.SizeOfImage);
             },
             "base relocation block at offset 0x0 is for page RVA 0x"},
      Defect{"RelocationBlockLargerThanTheTable",
             [](auto& F, auto& Image) {
               uint32_t Size;
               std::memcpy(&Size, F.data() + Layout(F).Directory(5) + 4, 4);
               Put32(F, RelocationTableOffset(F, Image) + 4, Size + 8);
             },
             "base relocation block at offset 0x0 has size 0x"},
      Defect{"RelocationTableOutsideTheSections",
             [](auto& F, auto& Image) { Put32(F, Layout(F).Directory(5), Image.SizeOfImage - 8); },
             "the base relocation table at RVA 0x"},
      Defect{"OverlappingSections",
             [](auto& F, auto& Image) {
               Put32(F, Layout(F).Section(1) + 12, Image.Sections[0].VirtualAddress + 0x1000);
             },
             "sections .text (RVA 0x1000, 0x"},
      Defect{"SectionOutsideTheImage",
             [](auto& F, auto& Image) { Put32(F, Layout(F).Section(2) + 8, Image.SizeOfImage); },
             "section .data (RVA 0x"},
      Defect{"EntryBeyondTheImage",
             [](auto& F, auto& Image) {
               Put32(F, Layout(F).Optional + 16, Image.SizeOfImage + 0x1000);
             },
             "entry point RVA 0x"},
      Defect{"EntryInData",
             [](auto& F, auto& Image) {
               Put32(F, Layout(F).Optional + 16, Image.Sections.back().VirtualAddress);
             },
             "entry point RVA 0x"},
      Defect{"RelocationsStripped", [](auto& F, auto&) { F[Layout(F).Coff + 18] |= 0x01; },
             "relocations stripped"}};
  return DEFECTS;
}

} // namespace imagetest
