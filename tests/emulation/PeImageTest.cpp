// The PE32+ loader: the shipped images load and relocate; images with a defect the firmware
// would refuse (or that the emulator cannot load faithfully) are refused with a message naming
// the defect.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <Sim/Aarch64Engine.h>
#include <Sim/PeImage.h>

#include "CraftedImages.h"
#include "EngineRun.h"
#include "PatchedImages.h"

namespace {

std::string DriverImage(const std::string& Name) {
  return sim::DefaultEfiDirectory() + "/" + Name + ".efi";
}

// The defects are made from the emulation probe, whose pointer table gives it base relocations
// to relocate and to damage (the shipped drivers hold no absolute pointer, so they have none).
class PeImageTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!emutest::ImagesPresent({"RootPortBringup", "ImagerLauncher", "PortErrorSetup",
                                 "NetBootClassId", "EmulationProbe"})) {
      GTEST_SKIP();
    }
    std::ifstream Stream(std::string(DXESIM_PROBE_EFI_DIR) + "/EmulationProbe.efi",
                         std::ios::binary);
    File.assign(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
    Image = sim::ParsePeImage(File, "EmulationProbe.efi");
    ASSERT_FALSE(Image.Dir64Relocations.empty()) << "EmulationProbe.efi has no relocations";
  }
  std::vector<uint8_t> File;
  sim::PeImage Image;
};

TEST_F(PeImageTest, ShippedDriversLoad) {
  for (const char* Name :
       {"RootPortBringup", "ImagerLauncher", "PortErrorSetup", "NetBootClassId"}) {
    const sim::PeImage Driver = sim::ReadPeImage(DriverImage(Name));
    EXPECT_EQ(Driver.ImageBase, 0u) << Name;
    EXPECT_EQ(Driver.Sections.front().Name, ".text") << Name;
  }
}

// Relocating to another address changes exactly the DIR64 words, each by the distance moved.
TEST_F(PeImageTest, LayOutAppliesEveryRelocationAndNothingElse) {
  const uint64_t Low = 0x10000, High = 0x4400770000;
  std::vector<uint8_t> A(Image.SizeOfImage), B(Image.SizeOfImage);
  Image.LayOut(A.data(), Low);
  Image.LayOut(B.data(), High);
  size_t Changed = 0;
  for (uint32_t Rva : Image.Dir64Relocations) {
    uint64_t WordA, WordB;
    std::memcpy(&WordA, A.data() + Rva, 8);
    std::memcpy(&WordB, B.data() + Rva, 8);
    EXPECT_EQ(WordB - WordA, High - Low) << "relocation at " << Rva;
    std::memset(A.data() + Rva, 0, 8);
    std::memset(B.data() + Rva, 0, 8);
    ++Changed;
  }
  EXPECT_EQ(A, B);
  EXPECT_GT(Changed, 0u);
  // Section contents come from the file; the headers are kept.
  EXPECT_EQ(std::memcmp(A.data(), File.data(), 0x40), 0);
}

using imagetest::Defect;

class BadImageTest : public PeImageTest, public ::testing::WithParamInterface<Defect> {};

TEST_P(BadImageTest, IsRefusedWithItsDefectNamed) {
  std::vector<uint8_t> Bad = File;
  GetParam().Apply(Bad, Image);
  try {
    sim::ParsePeImage(Bad, "Bad.efi");
    ADD_FAILURE() << "image accepted";
  } catch (const sim::ImageError& Error) {
    EXPECT_EQ(std::string(Error.what()).rfind(std::string("Bad.efi: ") + GetParam().Message, 0), 0u)
        << Error.what();
  }
}

// The engine refuses it before anything runs, with the file's path in the message.
TEST_P(BadImageTest, EngineRefusesItBeforeRunning) {
  const std::filesystem::path Folder =
      std::filesystem::temp_directory_path() /
      ("dxesim-bad-image-" + std::to_string(::getpid()) + "-" + GetParam().Name);
  std::filesystem::create_directories(Folder);
  std::vector<uint8_t> Bad = File;
  GetParam().Apply(Bad, Image);
  std::ofstream(Folder / "EmulationProbe.efi", std::ios::binary)
      .write(reinterpret_cast<const char*>(Bad.data()), static_cast<std::streamsize>(Bad.size()));
  sim::Machine M(sim::BoardProfile{});
  sim::Aarch64Engine Engine(M, Folder.string());
  EXPECT_THROW(Engine.PrepareDriver("EmulationProbe"), sim::ImageError);
  uint64_t Status = 0;
  EXPECT_THROW(Engine.RunDriver("EmulationProbe", Status), sim::ImageError);
  EXPECT_TRUE(M.Events().empty());
  std::filesystem::remove_all(Folder);
}

INSTANTIATE_TEST_SUITE_P(Defects, BadImageTest, ::testing::ValuesIn(imagetest::ImageDefects()),
                         [](const ::testing::TestParamInfo<Defect>& Info) {
                           return Info.param.Name;
                         });

} // namespace

namespace {

// Images the loader takes although they are unusual, and what then happens when they run.
struct OddImage {
  const char* Name;
  std::function<void(std::vector<uint8_t>&)> Apply;
  const char* Stop; // what the stop message must say
};

void PrintTo(const OddImage& C, std::ostream* Out) {
  *Out << C.Name;
}

class OddImageTest : public PeImageTest, public ::testing::WithParamInterface<OddImage> {};

// Loaded as EDK II loads them, and sanitizer-clean; their run stops with the reason. The probe
// is told to read through its table of absolute pointers, which its relocations fix up.
TEST_P(OddImageTest, LoadsAndStopsWithTheReason) {
  std::vector<uint8_t> Odd = File;
  GetParam().Apply(Odd);
  patchtest::Folder Dir(std::string("odd-") + GetParam().Name);
  patchtest::WriteBytes(Dir.Path + "/EmulationProbe.efi", Odd);
  constexpr uint64_t PROBE_MODE = 0xF0000100;
  constexpr uint32_t MODE_READ_THROUGH_POINTERS = 8;
  sim::BoardProfile Board;
  Board.Mem32 = {{PROBE_MODE, MODE_READ_THROUGH_POINTERS}};
  sim::Machine M(Board);
  sim::Aarch64Engine Engine(M, Dir.Path);
  uint64_t Status = 0;
  EXPECT_FALSE(Engine.RunDriver("EmulationProbe", Status));
  EXPECT_EQ(M.Stopped(), sim::StopKind::ImageFault);
  EXPECT_NE(M.StopMessage().find(GetParam().Stop), std::string::npos) << M.StopMessage();
}

INSTANTIATE_TEST_SUITE_P(
    Loader, OddImageTest,
    ::testing::Values(
        // A fully position-independent image needs none; this one does, at its first global.
        OddImage{"EmptyRelocationDirectory",
                 [](auto& F) {
                   imagetest::Put32(F, imagetest::Layout(F).Directory(5), 0);
                   imagetest::Put32(F, imagetest::Layout(F).Directory(5) + 4, 0);
                 },
                 "EmulationProbe was linked for: the image carries no relocations, so an "
                 "absolute address in it still points there"},
        OddImage{"FiveDataDirectories",
                 [](auto& F) { imagetest::Put32(F, imagetest::Layout(F).Optional + 108, 5); },
                 "the image carries no relocations"},
        // Its code is one byte long; the rest of the page is zeros, an undefined instruction.
        OddImage{"CodeOfOneByte",
                 [](auto& F) { imagetest::Put32(F, imagetest::Layout(F).Section(0) + 8, 1); },
                 "undefined instruction at 0x4100001000"}),
    [](const ::testing::TestParamInfo<OddImage>& Info) { return Info.param.Name; });

TEST_F(PeImageTest, AFileAboveTheCapIsRefusedFromItsSizeUnread) {
  patchtest::Folder Dir("huge-image");
  const std::string Path = Dir.Path + "/NetBootClassId.efi";
  patchtest::WriteBytes(Path, File);
  std::filesystem::resize_file(Path, (64u << 20) + 1);
  try {
    sim::ReadPeImage(Path);
    ADD_FAILURE() << "image accepted";
  } catch (const sim::ImageError& Error) {
    EXPECT_EQ(std::string(Error.what()),
              Path + ": file of 67108865 bytes, larger than the 64 MiB a driver image may have");
  }
  std::filesystem::resize_file(Path, 64u << 20);
  EXPECT_NO_THROW(sim::ReadPeImage(Path));
}

} // namespace
