// dxesim --engine aarch64 end to end, where it differs from the native engine: bad images refused
// with status 2 before anything runs, faults of an image stopping the run with status 4, and the
// generic timer read by the image in place of DELAY events.
#include <algorithm>

#include "CraftedImages.h"
#include "DxesimRunner.h"
#include "PatchedImages.h"

namespace dxesimtest {
namespace {

class DxesimEngineTest : public DxesimTest {
protected:
  // A run on the emulation engine with the .efi images taken from Folder.
  RunResult RunEmulated(const std::vector<std::string>& Arguments, const std::string& Folder) {
    std::vector<std::string> Emulated = {"--engine", "aarch64"};
    Emulated.insert(Emulated.end(), Arguments.begin(), Arguments.end());
    return Spawn(Emulated, Dir, {"DXESIM_EFI_DIR=" + Folder});
  }
  static bool HaveEfi(const std::string& File) {
    if (std::filesystem::exists(File)) {
      return true;
    }
    ADD_FAILURE() << File << " is missing: build the aarch64-uefi preset first (make test does)";
    return false;
  }
};

// Made from the probe standing in for NetBootClassId, which has base relocations to damage.
TEST_F(DxesimEngineTest, BadImagesExitWithStatus2NamingTheFileAndTheDefect) {
  const std::string Good =
      std::string(DXESIM_PROBE_EFI_DIR) + "/emulation_probe/NetBootClassId.efi";
  if (!HaveEfi(Good)) {
    return;
  }
  const std::string Bytes = ReadFile(Good);
  const std::vector<uint8_t> File(Bytes.begin(), Bytes.end());
  const sim::PeImage Image = sim::ParsePeImage(File, Good);
  for (const imagetest::Defect& D : imagetest::ImageDefects()) {
    const std::string Folder = Path(D.Name);
    std::filesystem::create_directory(Folder);
    std::vector<uint8_t> Bad = File;
    D.Apply(Bad, Image);
    Write(std::string(D.Name) + "/NetBootClassId.efi", std::string(Bad.begin(), Bad.end()));
    const RunResult R = RunEmulated({"--trace", "trace.txt", "NetBootClassId"}, Folder);
    EXPECT_EQ(R.Exit, 2) << D.Name;
    EXPECT_EQ(R.Out, "") << D.Name;
    const std::string Expected = "dxesim: " + Folder + "/NetBootClassId.efi: " + D.Message;
    EXPECT_EQ(R.Err.rfind(Expected, 0), 0u) << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << R.Err;
    EXPECT_FALSE(std::filesystem::exists(Path("trace.txt"))) << D.Name;
  }
}

// The probe, standing in for NetBootClassId, reads its mode from 0xF0000100.
TEST_F(DxesimEngineTest, AFaultOfTheImageExitsWithStatus4) {
  const std::string Folder = std::string(DXESIM_PROBE_EFI_DIR) + "/emulation_probe";
  if (!HaveEfi(Folder + "/NetBootClassId.efi")) {
    return;
  }
  const std::string Profile = Write("wide.toml", "[mem32]\n0xF0000100 = 4\n");
  const RunResult R =
      RunEmulated({"--board", Profile, "--trace", "trace.txt", "NetBootClassId"}, Folder);
  EXPECT_EQ(R.Exit, 4);
  const std::regex Message(
      "run stopped: NetBootClassId: 64-bit load from 0xf0000108 by ldr x[0-9]+, "
      "\\[x[0-9]+\\] at 0x[0-9a-f]+ \\(NetBootClassId\\+0x[0-9a-f]+\\): "
      "registers take one naturally aligned 8-bit or 32-bit load or store "
      "of one register");
  EXPECT_TRUE(std::regex_search(R.Err, Message)) << R.Err;
  EXPECT_EQ(R.Err.rfind("dxesim: run stopped: ", 0), 0u) << R.Err;
  const std::vector<std::string> Trace = Lines(ReadFile(Path("trace.txt")));
  ASSERT_FALSE(Trace.empty());
  EXPECT_EQ(Trace.back(), "# " + R.Err.substr(8, R.Err.size() - 9));
}

// RootPortBringup waits 10 ms between polls of the SSD's link, three times on the default board:
// the image reads CNTFRQ_EL0 and then polls CNTPCT_EL0, one simulated microsecond per read.
TEST_F(DxesimEngineTest, DelaysAreCounterLoopsInTheImage) {
  if (!HaveEfi(std::string(DXESIM_EFI_DRIVER_DIR) + "/RootPortBringup.efi")) {
    return;
  }
  const RunResult R =
      RunEmulated({"--trace", "trace.txt", "RootPortBringup"}, DXESIM_EFI_DRIVER_DIR);
  EXPECT_EQ(R.Exit, 0);
  const std::vector<std::string> Trace = Lines(ReadFile(Path("trace.txt")));
  EXPECT_EQ(Trace[0].find(", engine aarch64"), Trace[0].size() - 16) << Trace[0];
  EXPECT_EQ(std::count_if(Trace.begin(), Trace.end(),
                          [](const std::string& L) { return L.rfind("DELAY ", 0) == 0; }),
            0);
  const auto Poll = std::find(Trace.begin(), Trace.end(), "R32 0xa2916088 0x0 # pcie10.LinkStatus");
  ASSERT_NE(Poll, Trace.end());
  EXPECT_EQ(Poll[1], "SYSREG CNTFRQ_EL0 0x5f5e100");
  EXPECT_EQ(Poll[2].rfind("SYSREG CNTPCT_EL0 ", 0), 0u);
  EXPECT_EQ(Poll[10002].rfind("SYSREG CNTPCT_EL0 ", 0), 0u);
  EXPECT_EQ(Poll[10003], "R32 0xa2916088 0x0 # pcie10.LinkStatus");
}

// With --trace-memory the ring's and the record's loads and stores join the trace, in order with
// the register accesses: ImagerLauncher's StartIsp writes the record right after the chip
// variant is read.
TEST_F(DxesimEngineTest, TraceMemoryAddsTheLoadsAndStoresOfTheSocMemory) {
  if (!HaveEfi(std::string(DXESIM_EFI_DRIVER_DIR) + "/ImagerLauncher.efi")) {
    return;
  }
  const RunResult R = RunEmulated({"--trace-memory", "--trace", "trace.txt", "ImagerLauncher",
                                   "--call", "StartIsp:0x80000000:0x81000000:0x200000:0x180000"},
                                  DXESIM_EFI_DRIVER_DIR);
  EXPECT_EQ(R.Exit, 0) << R.Err;
  const std::vector<std::string> Trace = Lines(ReadFile(Path("trace.txt")));
  const auto Call = std::find(Trace.begin(), Trace.end(),
                              "CALL StartIsp 0x80000000 0x81000000 0x200000 0x180000");
  ASSERT_LT(Call + 5, Trace.end());
  EXPECT_EQ(std::vector<std::string>(Call + 1, Call + 6),
            (std::vector<std::string>{"R32 0x8000fff8 0x1 # soc.ChipVariant",
                                      "MW32 0xc6f36500 0x495350", "MW32 0xc6f36504 0x1",
                                      "MW32 0xc6f36508 0x1", "MW32 0xc6f3650c 0x2"}));
  // The ring probe at the first message: its header read, LevelInForce set.
  EXPECT_NE(std::find(Trace.begin(), Trace.end(), "MW32 0xc5297444 0x2"), Trace.end());
  // Without the option, none of it.
  const RunResult Plain =
      RunEmulated({"--trace", "plain.txt", "ImagerLauncher"}, DXESIM_EFI_DRIVER_DIR);
  EXPECT_EQ(Plain.Exit, 0);
  for (const std::string& Line : Lines(ReadFile(Path("plain.txt")))) {
    EXPECT_NE(Line[0], 'M') << Line;
  }
}

// An image that never returns is stopped, and dxesim returns: the budget names the image and
// where it was.
TEST_F(DxesimEngineTest, AnImageThatNeverReturnsExitsWithStatus4) {
  const std::string Good = std::string(DXESIM_EFI_DRIVER_DIR) + "/NetBootClassId.efi";
  if (!HaveEfi(Good)) {
    return;
  }
  const std::string Bytes = ReadFile(Good);
  struct {
    const char* Name;
    std::vector<uint32_t> Code;
    std::string Message;
  } CASES[] = {
      {"spin",
       {0x14000000 /* b . */},
       "dxesim: run stopped: NetBootClassId: dead loop at pc 0x4100001000 (NetBootClassId+0x1000): "
       "the processor comes back there in the same state with nothing done in between, so the "
       "image never returns\n"},
      {"poll",
       {0xD53BE020 /* mrs x0, cntpct_el0 */, 0x17FFFFFF /* b .-4 */},
       "dxesim: run stopped: NetBootClassId: instruction budget of 20000 instructions spent at pc "
       "0x4100001000 (NetBootClassId+0x1000) (see --max-instructions)\n"},
  };
  for (const auto& Case : CASES) {
    std::filesystem::create_directory(Path(Case.Name));
    const std::vector<uint8_t> File(Bytes.begin(), Bytes.end());
    const std::vector<uint8_t> Patched = patchtest::WithEntryCode(File, Case.Code);
    Write(std::string(Case.Name) + "/NetBootClassId.efi",
          std::string(Patched.begin(), Patched.end()));
    const RunResult R =
        RunEmulated({"--max-instructions", "20000", "NetBootClassId"}, Path(Case.Name));
    EXPECT_EQ(R.Exit, 4) << Case.Name;
    EXPECT_EQ(R.Err, Case.Message);
  }
}

} // namespace
} // namespace dxesimtest
