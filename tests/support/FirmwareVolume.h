// Reads the driver images out of a firmware image in the UEFI PI layout of flash: firmware
// volumes (header, extended header), FFS files (24-byte and large 32-byte headers, 8-byte
// aligned), and their sections (4-byte and extended 8-byte headers, 4-byte aligned), descending
// into firmware-volume-image sections and into GUID-defined sections that a caller decodes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace fvtest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t SECTION_GUID_DEFINED = 0x02;
constexpr uint8_t SECTION_PE32 = 0x10;
constexpr uint8_t SECTION_USER_INTERFACE = 0x15;
constexpr uint8_t SECTION_FIRMWARE_VOLUME_IMAGE = 0x17;
constexpr uint8_t FILE_TYPE_FFS_PAD = 0xF0;
constexpr uint8_t FILE_ATTRIBUTE_LARGE = 0x01;
constexpr uint32_t FV_SIGNATURE = 0x4856465F; // "_FVH"

struct DriverImage {
  std::string Name; // from the file's user-interface section, else the file's GUID
  Bytes Pe32;
};

// A GUID-defined section the reader cannot open on its own: the decoder gets the whole section
// and its GUID, and returns its contents (false: leave it closed).
using GuidedDecoder = std::function<bool(const uint8_t* Section, size_t Size,
                                         const std::string& Guid, Bytes& Contents)>;

inline uint64_t Le(const uint8_t* At, int Count) {
  uint64_t Value = 0;
  for (int I = 0; I < Count; ++I) {
    Value |= static_cast<uint64_t>(At[I]) << (8 * I);
  }
  return Value;
}

inline std::string GuidText(const uint8_t* At) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(Le(At, 4)), static_cast<unsigned>(Le(At + 4, 2)),
                static_cast<unsigned>(Le(At + 6, 2)), At[8], At[9], At[10], At[11], At[12], At[13],
                At[14], At[15]);
  return Text;
}

class FirmwareReader {
public:
  explicit FirmwareReader(GuidedDecoder Decode) : Decode(std::move(Decode)) {}

  std::vector<DriverImage> Images;
  std::vector<std::string> Problems; // anything malformed, with where it was
  size_t Volumes = 0;
  size_t GuidedSections = 0;

  // Every firmware volume found at the start of a 4 KiB block of Image.
  void ReadFlash(const Bytes& Image) {
    for (size_t At = 0; At + 0x40 <= Image.size(); At += 0x1000) {
      if (Le(&Image[At + 0x28], 4) == FV_SIGNATURE) {
        const uint64_t Length = Le(&Image[At + 0x20], 8);
        if (Length > Image.size() - At) {
          Problems.push_back("volume at " + std::to_string(At) + " runs past the image");
          continue;
        }
        ReadVolume(&Image[At], Length);
        At += (Length + 0xFFF) / 0x1000 * 0x1000 - 0x1000;
      }
    }
  }

  void ReadVolume(const uint8_t* Volume, uint64_t Length) {
    ++Volumes;
    if (Length < 0x40 || Le(Volume + 0x28, 4) != FV_SIGNATURE) {
      Problems.push_back("not a firmware volume");
      return;
    }
    const uint64_t HeaderLength = Le(Volume + 0x30, 2);
    const uint64_t ExtendedHeader = Le(Volume + 0x34, 2);
    uint64_t At = HeaderLength;
    if (ExtendedHeader != 0 && ExtendedHeader + 20 <= Length) {
      At = ExtendedHeader + Le(Volume + ExtendedHeader + 16, 4);
    }
    while (At + 24 <= Length) {
      At = (At + 7) & ~uint64_t{7};
      if (At + 24 > Length) {
        break;
      }
      const uint8_t* File = Volume + At;
      const bool Erased = std::all_of(File, File + 24, [](uint8_t B) { return B == 0xFF; });
      if (Erased) {
        break; // free space to the end of the volume
      }
      const bool Large = (File[0x13] & FILE_ATTRIBUTE_LARGE) != 0;
      const uint64_t Header = Large ? 32 : 24;
      const uint64_t Size = Large ? Le(File + 0x18, 8) : Le(File + 0x14, 3);
      if (Size < Header || Size > Length - At) {
        Problems.push_back("file " + GuidText(File) + " has size " + std::to_string(Size));
        return;
      }
      if (File[0x12] != FILE_TYPE_FFS_PAD) {
        Name = GuidText(File);
        ReadSections(File + Header, Size - Header);
      }
      At += Size;
    }
  }

  void ReadSections(const uint8_t* Sections, uint64_t Length) {
    std::vector<Bytes> Pe32s;
    std::string UserName;
    for (uint64_t At = 0; At + 4 <= Length; At = (At + 3) & ~uint64_t{3}) {
      const uint8_t* Section = Sections + At;
      uint64_t Size = Le(Section, 3);
      uint64_t Header = 4;
      if (Size == 0xFFFFFF) {
        if (At + 8 > Length) {
          Problems.push_back("extended section header cut short in " + Name);
          return;
        }
        Size = Le(Section + 4, 4);
        Header = 8;
      }
      if (Size < Header || Size > Length - At) {
        Problems.push_back("section of size " + std::to_string(Size) + " in " + Name);
        return;
      }
      const uint8_t Type = Section[3];
      if (Type == SECTION_PE32) {
        Pe32s.emplace_back(Section + Header, Section + Size);
      } else if (Type == SECTION_USER_INTERFACE) {
        for (uint64_t C = Header; C + 1 < Size && Section[C] != 0; C += 2) {
          UserName += static_cast<char>(Section[C]);
        }
      } else if (Type == SECTION_FIRMWARE_VOLUME_IMAGE) {
        const std::string Outer = Name;
        ReadVolume(Section + Header, Size - Header);
        Name = Outer;
      } else if (Type == SECTION_GUID_DEFINED && Size >= Header + 20) {
        Bytes Contents;
        if (Decode(Section, Size, GuidText(Section + Header), Contents)) {
          ++GuidedSections;
          const std::string Outer = Name;
          ReadSections(Contents.data(), Contents.size());
          Name = Outer;
        }
      }
      At += Size;
    }
    for (Bytes& Pe32 : Pe32s) {
      Images.push_back({UserName.empty() ? Name : UserName, std::move(Pe32)});
    }
  }

private:
  GuidedDecoder Decode;
  std::string Name; // of the file being read
};

} // namespace fvtest
