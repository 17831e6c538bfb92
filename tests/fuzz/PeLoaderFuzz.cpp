// The PE32+ loader of the emulation engine on arbitrary files: headers, section table and base
// relocations parsed, page permissions computed and the image laid out and relocated, with no
// read or write outside the file or the image and no undefined behaviour. Seeds: the shipped
// images and the test images.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Sim/PeImage.h>

namespace {
// Large enough for any seed; larger declared images are parsed but not laid out, to keep the
// fuzzer fast.
constexpr uint32_t LAYOUT_LIMIT = 4u << 20;
constexpr uint64_t LOAD_ADDRESS = 0x4100000000;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  try {
    const sim::PeImage Image = sim::ParsePeImage(std::vector<uint8_t>(Data, Data + Size), "fuzz");
    const std::vector<uint8_t> Pages = Image.PagePermissions();
    if (Pages.size() * sim::PE_PAGE_SIZE < Image.SizeOfImage) {
      __builtin_trap();
    }
    if (Image.SizeOfImage <= LAYOUT_LIMIT) {
      std::vector<uint8_t> Memory(Image.SizeOfImage);
      Image.LayOut(Memory.data(), LOAD_ADDRESS);
    }
  } catch (const sim::ImageError&) {
  }
  return 0;
}
