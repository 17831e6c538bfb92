// A shipped image with its entry point's code replaced by a few instructions of a test's
// choosing, written under a driver's name into a folder of its own, so that the emulation engine
// (or dxesim) runs them as that driver. Also the encodings of the handful of A64 instructions the
// tests put together, from the architecture's encoding tables.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace patchtest {

inline std::vector<uint8_t> ReadBytes(const std::string& Path) {
  std::ifstream Stream(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& Path, const std::vector<uint8_t>& Bytes) {
  std::ofstream(Path, std::ios::binary)
      .write(reinterpret_cast<const char*>(Bytes.data()),
             static_cast<std::streamsize>(Bytes.size()));
}

inline uint32_t Get32(const std::vector<uint8_t>& File, size_t At) {
  uint32_t Value;
  std::memcpy(&Value, File.data() + At, 4);
  return Value;
}

// File offset of the entry point, from the image's own headers.
inline size_t EntryFileOffset(const std::vector<uint8_t>& File) {
  const uint32_t Pe = Get32(File, 0x3C);
  const uint16_t Sections = static_cast<uint16_t>(Get32(File, Pe + 6));
  const uint16_t OptionalSize = static_cast<uint16_t>(Get32(File, Pe + 20));
  const uint32_t Entry = Get32(File, Pe + 24 + 16);
  for (size_t I = 0; I < Sections; ++I) {
    const size_t At = Pe + 24 + OptionalSize + 40 * I;
    const uint32_t Rva = Get32(File, At + 12);
    if (Entry >= Rva && Entry - Rva < Get32(File, At + 16)) {
      return Get32(File, At + 20) + (Entry - Rva);
    }
  }
  return 0;
}

inline std::vector<uint8_t> WithEntryCode(std::vector<uint8_t> File,
                                          const std::vector<uint32_t>& Code) {
  std::memcpy(File.data() + EntryFileOffset(File), Code.data(), Code.size() * 4);
  return File;
}

// A scratch folder, removed with the object.
class Folder {
public:
  explicit Folder(const std::string& Tag)
      : Path((std::filesystem::temp_directory_path() /
              ("dxesim-" + Tag + "-" + std::to_string(::getpid())))
                 .string()) {
    std::filesystem::create_directories(Path);
  }
  ~Folder() {
    std::error_code Ignored;
    std::filesystem::remove_all(Path, Ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const std::string Path;
};

// A64 encodings (general registers; 31 is SP where the instruction takes SP, else XZR).
namespace a64 {
constexpr unsigned SP = 31;
constexpr uint32_t RET = 0xD65F03C0;
constexpr uint32_t MovZ(unsigned Rd, uint32_t Imm16, unsigned Shift = 0) {
  return 0xD2800000 | (Shift / 16) << 21 | Imm16 << 5 | Rd;
}
constexpr uint32_t MovN(unsigned Rd, uint32_t Imm16) { // Rd = ~Imm16
  return 0x92800000 | Imm16 << 5 | Rd;
}
constexpr uint32_t AddImm(unsigned Rd, unsigned Rn, uint32_t Imm12) {
  return 0x91000000 | Imm12 << 10 | Rn << 5 | Rd;
}
constexpr uint32_t SubImm(unsigned Rd, unsigned Rn, uint32_t Imm12) {
  return 0xD1000000 | Imm12 << 10 | Rn << 5 | Rd;
}
constexpr uint32_t LdrX(unsigned Rt, unsigned Rn, uint32_t Offset) {
  return 0xF9400000 | (Offset / 8) << 10 | Rn << 5 | Rt;
}
constexpr uint32_t StrX(unsigned Rt, unsigned Rn, uint32_t Offset) {
  return 0xF9000000 | (Offset / 8) << 10 | Rn << 5 | Rt;
}
constexpr uint32_t Blr(unsigned Rn) {
  return 0xD63F0000 | Rn << 5;
}
constexpr uint32_t AdrHere(unsigned Rd) {
  return 0x10000000 | Rd;
}
constexpr uint32_t BackBy(unsigned Instructions) { // B to that many instructions before
  return 0x14000000 | ((0u - Instructions) & 0x03FFFFFF);
}
} // namespace a64

} // namespace patchtest
