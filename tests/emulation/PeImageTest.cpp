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
