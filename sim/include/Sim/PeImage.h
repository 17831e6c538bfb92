// The PE32+ loader of the emulation engine: reads a shipped driver image, checks that it is
// something the firmware would load (an AArch64 boot-service driver with no imports and only
// 64-bit base relocations), and lays it out at a load address of the caller's choice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Sim/Engine.h>

namespace sim {

constexpr uint16_t PE_MACHINE_ARM64 = 0xAA64;
constexpr uint16_t PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
constexpr uint32_t PE_SECTION_EXECUTE = 0x20000000;
constexpr uint32_t PE_SECTION_WRITE = 0x80000000;
constexpr uint32_t PE_SECTION_READ = 0x40000000;
// Page permissions of a loaded image (the emulator's UC_PROT_* values).
constexpr uint8_t PE_PAGE_READ = 1;
constexpr uint8_t PE_PAGE_WRITE = 2;
constexpr uint8_t PE_PAGE_EXECUTE = 4;
constexpr uint64_t PE_PAGE_SIZE = 0x1000;
// A driver image is tens of kilobytes; a file above this is refused from its size, unread.
constexpr uint64_t MAX_IMAGE_FILE_SIZE = 64ULL << 20;

struct PeSection {
  std::string Name;
  uint32_t VirtualAddress;
  uint32_t VirtualSize;
  uint32_t RawOffset;
  uint32_t RawSize;
  uint32_t Characteristics;
};

struct PeImage {
  std::string Path;
  uint64_t ImageBase = 0;
  uint32_t SizeOfImage = 0;
  uint32_t SizeOfHeaders = 0;
  uint32_t SectionAlignment = 0;
  uint32_t EntryPoint = 0; // RVA
  std::vector<PeSection> Sections;
  std::vector<uint32_t> Dir64Relocations; // RVAs of the 64-bit words to relocate
  // False for an image without a relocation directory: EDK II loads it anywhere, unchanged,
  // which is right only for fully position-independent code.
  bool HasRelocations = false;
  std::vector<uint8_t> File;

  // Pages of the image as loaded (SizeOfImage rounded up to pages): headers and gaps readable,
  // each section's pages as its characteristics say. Sections that do not start on page
  // boundaries share pages, which then get every permission.
  std::vector<uint8_t> PagePermissions() const;

  // Writes the image as loaded at LoadAddress into Memory (SizeOfImage bytes, zeroed by the
  // caller): headers, sections with their zero-filled tails, relocations applied.
  void LayOut(uint8_t* Memory, uint64_t LoadAddress) const;
};

// Both throw ImageError.
PeImage ParsePeImage(std::vector<uint8_t> File, const std::string& Path);
PeImage ReadPeImage(const std::string& Path);

} // namespace sim
