// Driver images that nobody here wrote: every AArch64 boot-service driver of Debian's EDK II
// firmware (qemu-efi-aarch64), read out of its LZMA-compressed DXE firmware volume with the
// images' own LZMA section handler (checked byte for byte against liblzma), each run by dxesim
// on the emulation engine in NetBootClassId's place. Each must end with exit status 0, 3 or 4
// and a one-line reason, within the bound the README gives, and none may crash dxesim.
#include <chrono>
#include <map>

#include "DxesimRunner.h"
#include "FirmwareVolume.h"
#include "LzmaTestSupport.h"
#include "PatchedImages.h"

namespace dxesimtest {
namespace {

constexpr const char* FIRMWARE = "/usr/share/AAVMF/AAVMF_CODE.fd";
constexpr const char* LZMA_SECTION_GUID = "EE4E5898-3914-4259-9D6E-DC7BD79403CF";
constexpr uint16_t SUBSYSTEM_BOOT_SERVICE_DRIVER = 11;
// The README's bound on one run of one image with the default budgets.
constexpr double MAX_RUN_SECONDS = 180;

// A 16-bit field at Offset from the PE signature.
uint16_t PeField16(const fvtest::Bytes& Pe, size_t Offset) {
  const uint32_t Signature = patchtest::Get32(Pe, 0x3C);
  return static_cast<uint16_t>(fvtest::Le(&Pe[Signature + Offset], 2));
}

// The decoded sections, by both decoders.
bool DecodeLzma(const uint8_t* Section, size_t Size, const std::string& Guid,
                fvtest::Bytes& Contents) {
  if (Guid != LZMA_SECTION_GUID) {
    return false;
  }
  const lzmatest::Decoded Ours = lzmatest::DecodeSection(fvtest::Bytes(Section, Section + Size));
  const size_t Header = fvtest::Le(Section, 3) == 0xFFFFFF ? 8 : 4;
  const size_t DataOffset = fvtest::Le(Section + Header + 16, 2);
  const fvtest::Bytes Theirs =
      lzmatest::LiblzmaDecodeAlone(Section + DataOffset, Size - DataOffset);
  EXPECT_EQ(Ours.Status, RETURN_SUCCESS);
  EXPECT_FALSE(Theirs.empty());
  EXPECT_TRUE(Ours.Output == Theirs) << "the two LZMA decoders disagree";
  Contents = Ours.Output;
  return Ours.Status == RETURN_SUCCESS;
}

TEST_F(DxesimTest, EveryBootServiceDriverOfDebiansFirmwareEndsWithAReason) {
  if (!std::filesystem::exists(FIRMWARE)) {
    ADD_FAILURE() << FIRMWARE << " is missing: install qemu-efi-aarch64 (make deps does)";
    return;
  }
  fvtest::FirmwareReader Reader(DecodeLzma);
  Reader.ReadFlash(patchtest::ReadBytes(FIRMWARE));
  EXPECT_TRUE(Reader.Problems.empty()) << Reader.Problems.front();
  EXPECT_GE(Reader.GuidedSections, 1u);

  std::vector<fvtest::DriverImage> Drivers;
  for (fvtest::DriverImage& Image : Reader.Images) {
    if (PeField16(Image.Pe32, 4) == 0xAA64 &&
        PeField16(Image.Pe32, 24 + 68) == SUBSYSTEM_BOOT_SERVICE_DRIVER) {
      Drivers.push_back(std::move(Image));
    }
  }
  // Debian 12's firmware has 86; any release has dozens.
  EXPECT_GE(Drivers.size(), 40u);

  std::map<std::string, int> Outcomes;
  std::string Table;
  double Longest = 0;
  for (size_t I = 0; I < Drivers.size(); ++I) {
    const std::string Folder = Path("driver" + std::to_string(I));
    std::filesystem::create_directory(Folder);
    patchtest::WriteBytes(Folder + "/NetBootClassId.efi", Drivers[I].Pe32);
    const auto Start = std::chrono::steady_clock::now();
    const RunResult R =
        Spawn({"--engine", "aarch64", "NetBootClassId"}, Folder, {"DXESIM_EFI_DIR=" + Folder});
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    Longest = std::max(Longest, Seconds);
    const std::string& Name = Drivers[I].Name;
    EXPECT_TRUE(R.Exit == 0 || R.Exit == 3 || R.Exit == 4) << Name << ": exit " << R.Exit << "\n"
                                                           << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << Name << ":\n" << R.Err;
    EXPECT_EQ(R.Err.rfind(R.Exit == 0 ? "NetBootClassId: EFI_" : "dxesim: ", 0), 0u)
        << Name << ": " << R.Err;
    EXPECT_LT(Seconds, MAX_RUN_SECONDS) << Name;
    // The reason without the addresses, which differ from image to image.
    std::string Reason = std::regex_replace(R.Err.substr(0, R.Err.find('\n')),
                                            std::regex("0x[0-9a-f]+|\\+0x[0-9a-f]+"), "N");
    Reason = std::regex_replace(Reason, std::regex(" by [^(]*\\(NetBootClassId\\+?N?\\)"), "");
    ++Outcomes["exit " + std::to_string(R.Exit) + ": " + Reason.substr(0, 110)];
    Table +=
        Name + " exit " + std::to_string(R.Exit) + ": " + R.Err.substr(0, R.Err.find('\n')) + "\n";
  }
  std::string Summary = std::to_string(Drivers.size()) + " boot-service drivers, longest run " +
                        std::to_string(Longest) + " s\n";
  for (const auto& [Outcome, Count] : Outcomes) {
    Summary += "  " + std::to_string(Count) + "  " + Outcome + "\n";
  }
  std::printf("%s%s", Summary.c_str(), std::getenv("AAVMF_TABLE") != nullptr ? Table.c_str() : "");
  RecordProperty("drivers", static_cast<int>(Drivers.size()));
}

} // namespace
} // namespace dxesimtest
