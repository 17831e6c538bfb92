// Images: found in the image folders, checked once by the PE32+ loader, and laid out afresh for
// every dispatch, with their page permissions and the instructions the engine acts on.
#include <filesystem>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

// The directory may be a list, "drivers:probes", searched in order; a name found nowhere is
// looked for in the first folder.
std::string Aarch64Engine::Impl::FindImage(const std::string& Name) const {
  std::string First;
  for (size_t Start = 0; Start <= Directory.size();) {
    const size_t End = std::min(Directory.find(':', Start), Directory.size());
    const std::string Candidate = Directory.substr(Start, End - Start) + "/" + Name + ".efi";
    std::error_code Error;
    if (std::filesystem::is_regular_file(Candidate, Error)) {
      return Candidate;
    }
    First = First.empty() ? Candidate : First;
    Start = End + 1;
  }
  return First;
}

const PeImage& Aarch64Engine::Impl::Prepare(const std::string& Name) {
  auto Found = Files.find(Name);
  if (Found == Files.end()) {
    const std::string Path = FindImage(Name);
    std::error_code Error;
    if (!std::filesystem::is_regular_file(Path, Error)) {
      throw ImageError(Name + ".efi: no such AArch64 image in " + Directory +
                       " (build the aarch64-uefi preset, or point DXESIM_EFI_DIR at the folder "
                       "that holds the .efi images)");
    }
    Found = Files.emplace(Name, ReadPeImage(Path)).first;
  }
  return Found->second;
}

// A fresh copy at a fresh address for every load: each dispatch has its own globals, and the
// images loaded before stay in place for the calls into them that come later.
uint64_t Aarch64Engine::Impl::LoadImage(const std::string& Name) {
  const PeImage& File = Prepare(Name);
  auto Image = std::make_unique<LoadedImage>();
  Image->Name = Name;
  Image->Size = (uint64_t{File.SizeOfImage} + PAGE - 1) / PAGE * PAGE;
  Image->Base = PlaceImage(Image->Size);
  const ImageChunk& Chunk = Chunks.back();
  Image->Host = Chunk.Memory->Data() + (Image->Base - Chunk.Base);
  File.LayOut(Image->Host, Image->Base);
  Image->Pages = File.PagePermissions();
  Image->Specials.assign(Image->Size / 4, a64::Special::None);
  Image->ChangedCode.assign(Image->Pages.size(), 0);
  Image->Relocated = File.HasRelocations;
  Image->LinkedBase = File.ImageBase;
  Image->LinkedEnd = File.ImageBase + File.SizeOfImage;
  ClassifyCode(*Image, 0, Image->Pages.size());
  const uint64_t Entry = Image->Base + File.EntryPoint;
  Images[Image->Base] = std::move(Image);
  return Entry;
}

// Every word of the executable pages, not only the sections' sizes: the processor can reach
// all of them.
void Aarch64Engine::Impl::ClassifyCode(LoadedImage& Image, uint64_t FirstPage, uint64_t EndPage) {
  const auto* Words = reinterpret_cast<const uint32_t*>(Image.Host);
  const size_t Count = Image.Size / 4;
  for (uint64_t Page = FirstPage; Page < EndPage && Page < Image.Pages.size(); ++Page) {
    const bool Executable = (Image.Pages[Page] & PE_PAGE_EXECUTE) != 0;
    for (size_t Index = Page * PAGE / 4; Index < (Page + 1) * PAGE / 4; ++Index) {
      Image.Specials[Index] = Executable ? a64::Classify(Words, Count, Index) : a64::Special::None;
    }
    Image.ChangedCode[Page] = 0;
  }
  Image.NextSpecial.resize(Count + 1);
  Image.NextSpecial[Count] = static_cast<uint32_t>(Count);
  for (size_t Index = Count; Index-- > 0;) {
    Image.NextSpecial[Index] = Image.Specials[Index] != a64::Special::None
                                   ? static_cast<uint32_t>(Index)
                                   : Image.NextSpecial[Index + 1];
  }
}

} // namespace sim
