#include <Sim/PeImage.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <Sim/Trace.h>

namespace sim {

namespace {

constexpr uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr uint16_t PE_FILE_RELOCS_STRIPPED = 0x0001;
constexpr size_t COFF_HEADER_SIZE = 20;
constexpr size_t OPTIONAL_HEADER_FIXED_SIZE = 112; // PE32+ up to the data directories
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t DIRECTORY_IMPORT = 1;
constexpr size_t DIRECTORY_BASE_RELOCATION = 5;
constexpr size_t DIRECTORY_DELAY_IMPORT = 13;
constexpr uint16_t RELOCATION_ABSOLUTE = 0;
constexpr uint16_t RELOCATION_DIR64 = 10;
// Far above any driver; a bound on what a corrupt header can make the loader allocate.
constexpr uint32_t MAX_SIZE_OF_IMAGE = 64u << 20;
constexpr uint16_t MAX_SECTIONS = 96;

// Bounds-checked little-endian reads of the file; a read past the end is a truncated file.
class Reader {
public:
  Reader(const std::vector<uint8_t>& Bytes, const std::string& Path) : Bytes(Bytes), Path(Path) {}

  uint64_t Read(uint64_t Offset, size_t Width, const char* What) const {
    Need(Offset, Width, What);
    uint64_t Value = 0;
    for (size_t I = 0; I < Width; ++I) {
      Value |= static_cast<uint64_t>(Bytes[Offset + I]) << (8 * I);
    }
    return Value;
  }
  uint16_t U16(uint64_t Offset, const char* What) const {
    return static_cast<uint16_t>(Read(Offset, 2, What));
  }
  uint32_t U32(uint64_t Offset, const char* What) const {
    return static_cast<uint32_t>(Read(Offset, 4, What));
  }
  uint64_t U64(uint64_t Offset, const char* What) const { return Read(Offset, 8, What); }

  void Need(uint64_t Offset, uint64_t Length, const char* What) const {
    if (Offset > Bytes.size() || Length > Bytes.size() - Offset) {
      throw ImageError(Path + ": truncated file: " + What + " needs bytes up to " +
                       Hex(Offset + Length) + ", the file has " + Hex(Bytes.size()));
    }
  }

private:
  const std::vector<uint8_t>& Bytes;
  const std::string& Path;
};

struct Directory {
  uint32_t Rva = 0;
  uint32_t Size = 0;
};

[[noreturn]] void Refuse(const std::string& Path, const std::string& Why) {
  throw ImageError(Path + ": " + Why);
}

// File offset of [Rva, Rva + Length) when it lies in one section's raw data.
uint64_t RvaToFileOffset(const PeImage& Image, uint32_t Rva, uint32_t Length, const char* What) {
  for (const PeSection& S : Image.Sections) {
    const uint32_t Stored = std::min(S.RawSize, S.VirtualSize);
    if (Rva >= S.VirtualAddress && Rva - S.VirtualAddress <= Stored &&
        Length <= Stored - (Rva - S.VirtualAddress)) {
      return static_cast<uint64_t>(S.RawOffset) + (Rva - S.VirtualAddress);
    }
  }
  Refuse(Image.Path, std::string(What) + " at RVA " + Hex(Rva) + " (" + Hex(Length) +
                         " bytes) is not inside any section's data");
}

void ParseRelocations(PeImage& Image, const Reader& File, Directory Relocations) {
  if (Relocations.Size == 0) {
    return;
  }
  Image.HasRelocations = true;
  const uint64_t Start =
      RvaToFileOffset(Image, Relocations.Rva, Relocations.Size, "the base relocation table");
  uint64_t Offset = 0;
  while (Offset < Relocations.Size) {
    if (Relocations.Size - Offset < 8) {
      Refuse(Image.Path, "base relocation block at offset " + Hex(Offset) + " is cut short");
    }
    const uint32_t Page = File.U32(Start + Offset, "a relocation block");
    const uint32_t BlockSize = File.U32(Start + Offset + 4, "a relocation block");
    if (BlockSize < 8 || BlockSize % 2 != 0 || BlockSize > Relocations.Size - Offset) {
      Refuse(Image.Path, "base relocation block at offset " + Hex(Offset) + " has size " +
                             Hex(BlockSize) + ", which does not fit the table's " +
                             Hex(Relocations.Size) + " bytes");
    }
    if (Page >= Image.SizeOfImage) {
      Refuse(Image.Path, "base relocation block at offset " + Hex(Offset) + " is for page RVA " +
                             Hex(Page) + ", outside the image (size of image " +
                             Hex(Image.SizeOfImage) + ")");
    }
    for (uint64_t Entry = 8; Entry < BlockSize; Entry += 2) {
      const uint16_t Word = File.U16(Start + Offset + Entry, "a relocation entry");
      const uint16_t Type = Word >> 12;
      const uint64_t Target = static_cast<uint64_t>(Page) + (Word & 0xFFF);
      if (Type == RELOCATION_ABSOLUTE) {
        continue;
      }
      if (Type != RELOCATION_DIR64) {
        Refuse(Image.Path, "unknown relocation type " + std::to_string(Type) + " at RVA " +
                               Hex(Target) + " (only DIR64 relocations are supported)");
      }
      if (Target + 8 > Image.SizeOfImage) {
        Refuse(Image.Path, "relocation at RVA " + Hex(Target) + " lies outside the image");
      }
      Image.Dir64Relocations.push_back(static_cast<uint32_t>(Target));
    }
    Offset += BlockSize;
  }
}

} // namespace

PeImage ParsePeImage(std::vector<uint8_t> Bytes, const std::string& Path) {
  PeImage Image;
  Image.Path = Path;
  Image.File = std::move(Bytes);
  const Reader File(Image.File, Path);

  if (File.U16(0, "the DOS header") != 0x5A4D) {
    Refuse(Path, "not a PE image (no MZ signature)");
  }
  const uint64_t Pe = File.U32(0x3C, "the DOS header");
  if (File.U32(Pe, "the PE signature") != PE_SIGNATURE) {
    Refuse(Path, "not a PE image (no PE signature at " + Hex(Pe) + ")");
  }
  const uint64_t Coff = Pe + 4;
  const uint16_t Machine = File.U16(Coff, "the COFF header");
  if (Machine != PE_MACHINE_ARM64) {
    Refuse(Path, "machine " + Hex(Machine) + ", expected ARM64 (0xaa64)");
  }
  const uint16_t SectionCount = File.U16(Coff + 2, "the COFF header");
  const uint16_t OptionalSize = File.U16(Coff + 16, "the COFF header");
  const uint16_t Characteristics = File.U16(Coff + 18, "the COFF header");

  const uint64_t Optional = Coff + COFF_HEADER_SIZE;
  File.Need(Optional, OptionalSize, "the optional header");
  if (OptionalSize < OPTIONAL_HEADER_FIXED_SIZE ||
      File.U16(Optional, "the optional header") != PE32_PLUS_MAGIC) {
    Refuse(Path, "not a PE32+ image (64-bit optional header expected)");
  }
  const uint16_t Subsystem = File.U16(Optional + 68, "the optional header");
  if (Subsystem != PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER) {
    Refuse(Path,
           "subsystem " + std::to_string(Subsystem) + ", expected an EFI boot-service driver (11)");
  }
  Image.EntryPoint = File.U32(Optional + 16, "the optional header");
  Image.ImageBase = File.U64(Optional + 24, "the optional header");
  Image.SectionAlignment = File.U32(Optional + 32, "the optional header");
  Image.SizeOfImage = File.U32(Optional + 56, "the optional header");
  Image.SizeOfHeaders = File.U32(Optional + 60, "the optional header");
  if (Image.SizeOfImage == 0 || Image.SizeOfImage > MAX_SIZE_OF_IMAGE) {
    Refuse(Path, "size of image " + Hex(Image.SizeOfImage) + " is out of range");
  }
  if (Image.SizeOfHeaders > Image.SizeOfImage) {
    Refuse(Path, "size of headers " + Hex(Image.SizeOfHeaders) + " exceeds the size of image");
  }
  File.Need(0, Image.SizeOfHeaders, "the headers");

  const uint32_t DirectoryCount = File.U32(Optional + 108, "the optional header");
  auto DirectoryAt = [&](size_t Index) {
    Directory D;
    if (Index < DirectoryCount &&
        OPTIONAL_HEADER_FIXED_SIZE + 8 * (Index + 1) <= static_cast<size_t>(OptionalSize)) {
      D.Rva = File.U32(Optional + OPTIONAL_HEADER_FIXED_SIZE + 8 * Index, "a data directory");
      D.Size = File.U32(Optional + OPTIONAL_HEADER_FIXED_SIZE + 8 * Index + 4, "a data directory");
    }
    return D;
  };
  for (size_t Index : {DIRECTORY_IMPORT, DIRECTORY_DELAY_IMPORT}) {
    const Directory Imports = DirectoryAt(Index);
    if (Imports.Size != 0) {
      Refuse(Path, std::string("has ") + (Index == DIRECTORY_IMPORT ? "an" : "a delay-load") +
                       " import table (RVA " + Hex(Imports.Rva) + ", " + Hex(Imports.Size) +
                       " bytes): a driver image must import nothing");
    }
  }

  if (SectionCount == 0 || SectionCount > MAX_SECTIONS) {
    Refuse(Path, std::to_string(SectionCount) + " sections");
  }
  const uint64_t Table = Optional + OptionalSize;
  File.Need(Table, uint64_t{SectionCount} * SECTION_HEADER_SIZE, "the section table");
  for (uint16_t I = 0; I < SectionCount; ++I) {
    const uint64_t At = Table + uint64_t{I} * SECTION_HEADER_SIZE;
    PeSection S;
    const char* Name = reinterpret_cast<const char*>(Image.File.data() + At);
    S.Name.assign(Name, strnlen(Name, 8));
    S.VirtualSize = File.U32(At + 8, "a section header");
    S.VirtualAddress = File.U32(At + 12, "a section header");
    S.RawSize = File.U32(At + 16, "a section header");
    S.RawOffset = File.U32(At + 20, "a section header");
    S.Characteristics = File.U32(At + 36, "a section header");
    if (S.VirtualSize == 0) {
      S.VirtualSize = S.RawSize;
    }
    if (S.VirtualAddress < Image.SizeOfHeaders || S.VirtualAddress > Image.SizeOfImage ||
        S.VirtualSize > Image.SizeOfImage - S.VirtualAddress) {
      Refuse(Path, "section " + S.Name + " (RVA " + Hex(S.VirtualAddress) + ", " +
                       Hex(S.VirtualSize) + " bytes) lies outside the image");
    }
    const uint32_t Stored = std::min(S.RawSize, S.VirtualSize);
    File.Need(S.RawOffset, Stored, ("section " + S.Name).c_str());
    Image.Sections.push_back(S);
  }

  // Sections laid over each other would load one over the other.
  std::vector<const PeSection*> ByAddress;
  for (const PeSection& S : Image.Sections) {
    ByAddress.push_back(&S);
  }
  std::sort(ByAddress.begin(), ByAddress.end(), [](const PeSection* A, const PeSection* B) {
    return A->VirtualAddress < B->VirtualAddress;
  });
  for (size_t I = 1; I < ByAddress.size(); ++I) {
    const PeSection& Before = *ByAddress[I - 1];
    const PeSection& After = *ByAddress[I];
    if (uint64_t{Before.VirtualAddress} + Before.VirtualSize > After.VirtualAddress) {
      Refuse(Path, "sections " + Before.Name + " (RVA " + Hex(Before.VirtualAddress) + ", " +
                       Hex(Before.VirtualSize) + " bytes) and " + After.Name + " (RVA " +
                       Hex(After.VirtualAddress) + ") overlap");
    }
  }

  bool EntryInCode = false;
  for (const PeSection& S : Image.Sections) {
    EntryInCode |= (S.Characteristics & PE_SECTION_EXECUTE) != 0 &&
                   Image.EntryPoint >= S.VirtualAddress &&
                   Image.EntryPoint - S.VirtualAddress < S.VirtualSize;
  }
  if (!EntryInCode) {
    Refuse(Path, "entry point RVA " + Hex(Image.EntryPoint) +
                     " lies outside the image's code (size of image " + Hex(Image.SizeOfImage) +
                     ")");
  }

  if ((Characteristics & PE_FILE_RELOCS_STRIPPED) != 0) {
    Refuse(Path, "relocations stripped: the image cannot be loaded at another address");
  }
  ParseRelocations(Image, File, DirectoryAt(DIRECTORY_BASE_RELOCATION));
  return Image;
}

PeImage ReadPeImage(const std::string& Path) {
  std::error_code Error;
  const uint64_t Size = std::filesystem::file_size(Path, Error);
  if (!Error && Size > MAX_IMAGE_FILE_SIZE) {
    throw ImageError(Path + ": file of " + std::to_string(Size) +
                     " bytes, larger than the 64 MiB a driver image may have");
  }
  std::ifstream Stream(Path, std::ios::binary);
  if (!Stream) {
    throw ImageError(Path + ": cannot open the image");
  }
  std::vector<uint8_t> Bytes(Error ? 0 : Size);
  Stream.read(reinterpret_cast<char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
  if (!Stream) {
    throw ImageError(Path + ": cannot read the image");
  }
  return ParsePeImage(std::move(Bytes), Path);
}

std::vector<uint8_t> PeImage::PagePermissions() const {
  const uint64_t Count = (uint64_t{SizeOfImage} + PE_PAGE_SIZE - 1) / PE_PAGE_SIZE;
  std::vector<uint8_t> Pages(Count, PE_PAGE_READ);
  const bool Aligned = SectionAlignment % PE_PAGE_SIZE == 0;
  for (const PeSection& S : Sections) {
    uint8_t Granted = PE_PAGE_READ;
    Granted |= (S.Characteristics & PE_SECTION_EXECUTE) != 0 ? PE_PAGE_EXECUTE : 0;
    Granted |= (S.Characteristics & PE_SECTION_WRITE) != 0 ? PE_PAGE_WRITE : 0;
    const uint64_t Last =
        (uint64_t{S.VirtualAddress} + S.VirtualSize + PE_PAGE_SIZE - 1) / PE_PAGE_SIZE;
    for (uint64_t P = S.VirtualAddress / PE_PAGE_SIZE; P < Last && P < Count; ++P) {
      Pages[P] = Aligned ? static_cast<uint8_t>(Pages[P] | Granted)
                         : static_cast<uint8_t>(PE_PAGE_READ | PE_PAGE_WRITE | PE_PAGE_EXECUTE);
    }
  }
  return Pages;
}

void PeImage::LayOut(uint8_t* Memory, uint64_t LoadAddress) const {
  std::memcpy(Memory, File.data(), SizeOfHeaders);
  for (const PeSection& S : Sections) {
    std::memcpy(Memory + S.VirtualAddress, File.data() + S.RawOffset,
                std::min(S.RawSize, S.VirtualSize));
  }
  const uint64_t Delta = LoadAddress - ImageBase;
  for (uint32_t Rva : Dir64Relocations) {
    uint64_t Word;
    std::memcpy(&Word, Memory + Rva, sizeof(Word));
    Word += Delta;
    std::memcpy(Memory + Rva, &Word, sizeof(Word));
  }
}

} // namespace sim
