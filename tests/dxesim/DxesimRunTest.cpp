// dxesim end to end: the binary run with arguments as a user runs it, its exit status, console,
// status lines, trace, dumps and boot log checked against the documented behaviour.
#include <algorithm>

#include "DxesimRunner.h"

namespace dxesimtest {
namespace {

const std::string START_ISP = "StartIsp:0x80000000:0x81000000:0x200000:0x180000";
const std::string SUCCESS = "EFI_SUCCESS (0x0000000000000000)";

// Silicon, board 0x33 on chip variant 1, the ring at 0xC5280000 with its area header at
// 0xC5280400 and 8 KiB of text, the SSD's link up. Extra32 goes into [mem32]; Rest follows.
std::string SiliconBoard(const std::string& Extra32 = "", const std::string& Rest = "",
                         const std::string& AreaSize = "0x2080") {
  return "name = \"test silicon\"\n"
         "[mem32]\n"
         "0x8000FFF8 = 1\n"
         "0x8000F07C = 0x33\n"
         "0x8000E08C = 0x10000000\n"
         "0x881100F0 = 0x1234ABCD\n"
         "0x881100F4 = 0x9876FEDC\n"
         "0xA2916088 = 0x40000\n"
         "0xC5280000 = 0xEAEA2020\n"
         "0xC5280404 = " +
         AreaSize + "\n" + Extra32 + Rest;
}

size_t CountLines(const std::string& Text, const std::string& Line) {
  const std::vector<std::string> All = Lines(Text);
  return static_cast<size_t>(std::count(All.begin(), All.end(), Line));
}

std::string WithoutComments(const std::string& Trace) {
  std::string Result;
  for (const std::string& Line : Lines(Trace)) {
    if (Line.empty() || Line[0] != '#') {
      Result += Line + "\n";
    }
  }
  return Result;
}

TEST_F(DxesimTest, NetBootClassIdOnTheDefaultBoardReportsItsStatusAndTraceIsAnnotated) {
  const RunResult R = Run({"--trace", "trace.txt", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  EXPECT_EQ(R.Out, "");
  EXPECT_EQ(R.Err, "NetBootClassId: " + SUCCESS + "\n");
  const std::string Trace = ReadFile(Path("trace.txt"));
  const std::vector<std::string> TraceLines = Lines(WithoutComments(Trace));
  ASSERT_GE(TraceLines.size(), 4u);
  EXPECT_EQ(TraceLines[0], "ENTRY NetBootClassId");
  EXPECT_EQ(TraceLines[1], "R32 0x881100f0 0x1234abcd # rng.Output0");
  EXPECT_EQ(TraceLines[2], "R32 0x881100f4 0x9876fedc # rng.Output1");
  EXPECT_EQ(TraceLines.back(), "EXIT NetBootClassId EFI_SUCCESS");
  EXPECT_EQ(CountLines(Trace, "W32 0x840c0030 0x301 # uart.CR"), 1u);
  EXPECT_EQ(CountLines(Trace, "BS SetPtr 2 33 505845436c69656e743a417263683a78787878783a554e44493a"
                              "30303330303000 -> EFI_SUCCESS"),
            1u);
}

// The profile's name and path go into the trace's first comment line escaped: a line break in
// either cannot make an event line.
TEST_F(DxesimTest, TheTraceHeaderKeepsProfileTextOnItsOneCommentLine) {
  const std::string Profile = Write("odd\nR32 0x1 0x1.toml", "name = \"\"\"a\nR32 0x0 0x0\"\"\"\n"
                                                             "[mem32]\n0x881100F0 = 0x1234ABCD\n");
  const RunResult R = Run({"--board", Profile, "--trace", "trace.txt", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  const std::vector<std::string> All = Lines(ReadFile(Path("trace.txt")));
  ASSERT_GE(All.size(), 3u);
  EXPECT_EQ(All[0],
            "# dxesim trace: board \"a\\nR32 0x0 0x0\" (" + Dir + "/odd\\nR32 0x1 0x1.toml)");
  EXPECT_EQ(All[1], "ENTRY NetBootClassId");
  EXPECT_EQ(All[2], "R32 0x881100f0 0x1234abcd # rng.Output0");
}

TEST_F(DxesimTest, TheBuiltInBoardIsTheRepositoryDefaultBoard) {
  const std::vector<std::string> Drivers =
      HaveImages({"RootPortBringup", "ImagerLauncher", "PortErrorSetup", "NetBootClassId"})
          ? std::vector<std::string>{}
          : std::vector<std::string>{"NetBootClassId"};
  std::vector<std::string> BuiltIn = {"--trace", "builtin.txt", "--bootlog"};
  std::vector<std::string> FromFile = {"--trace", "file.txt", "--bootlog", "--board",
                                       Board("default.toml")};
  BuiltIn.insert(BuiltIn.end(), Drivers.begin(), Drivers.end());
  FromFile.insert(FromFile.end(), Drivers.begin(), Drivers.end());
  const RunResult A = Run(BuiltIn);
  const RunResult B = Run(FromFile);
  EXPECT_EQ(A.Exit, 0);
  EXPECT_EQ(B.Exit, 0);
  EXPECT_EQ(A.Out, B.Out);
  EXPECT_EQ(A.Err, B.Err);
  EXPECT_EQ(WithoutComments(ReadFile(Path("builtin.txt"))),
            WithoutComments(ReadFile(Path("file.txt"))));
}

// The whole default boot: four drivers, StartIsp with two valid images, ExitBootServices.
TEST_F(DxesimTest, DefaultRunOfAllFourDrivers) {
  if (!HaveImages({"RootPortBringup", "ImagerLauncher", "PortErrorSetup", "NetBootClassId"})) {
    GTEST_SKIP() << "not every driver image is built yet";
  }
  const RunResult R =
      Run({"--trace", "trace.txt", "--bootlog", "--call", START_ISP, "--call", "ExitBootServices"});
  EXPECT_EQ(R.Exit, 0);
  // The format engine spells each line end of a format as CR LF; the ring drops the CRs.
  const std::string Console = "Wait PCIE SSD...\r\n"
                              "[2.350] [BOOT_TRACE]link up\r\n"
                              "[2.350] [BOOT_TRACE] Boot isp start...\r\n"
                              "Boot isp end!\r\n";
  const std::string Ring = "[WARNING][UEFI]Wait PCIE SSD...\n"
                           "[WARNING][UEFI][2.350] [BOOT_TRACE]link up\n"
                           "[WARNING][UEFI][2.350] [BOOT_TRACE] Boot isp start...\n"
                           "[WARNING][UEFI]Boot isp end!\n";
  EXPECT_EQ(R.Out, Console + Ring);
  EXPECT_EQ(R.Err, "RootPortBringup: " + SUCCESS + "\n" + "ImagerLauncher: " + SUCCESS + "\n" +
                       "PortErrorSetup: " + SUCCESS + "\n" + "NetBootClassId: " + SUCCESS + "\n" +
                       "StartIsp: " + SUCCESS + "\n" +
                       "dxesim: boot log: ring 0xc5280000, area header 0xc5297400, 158 bytes of "
                       "text in a 8192-byte data area, write offset 0x9e, not wrapped\n");

  const std::string Trace = ReadFile(Path("trace.txt"));
  // The SSD's link comes up on the fourth poll, after three 10 ms waits.
  EXPECT_EQ(CountLines(Trace, "R32 0xa2916088 0x0 # pcie10.LinkStatus"), 3u);
  EXPECT_EQ(CountLines(Trace, "R32 0xa2916088 0x40000 # pcie10.LinkStatus"), 1u);
  EXPECT_EQ(CountLines(Trace, "DELAY 10000"), 3u);
  // ExitBootServices runs RootPortBringup's notification, which clears every port enable.
  const std::vector<std::string> All = Lines(Trace);
  const auto Call = std::find(All.begin(), All.end(), "CALL ExitBootServices");
  ASSERT_NE(Call, All.end());
  ASSERT_NE(Call + 1, All.end());
  EXPECT_EQ(*(Call + 1), "W32 0xa2900004 0x0 # shared.PortEnable");
  EXPECT_EQ(CountLines(Trace, "RET StartIsp EFI_SUCCESS"), 1u);
}

// Each shipped board boots as its comment in boards/ says: console, statuses, ISP record.
TEST_F(DxesimTest, ShippedBoardsBootAsDescribed) {
  if (!HaveImages({"RootPortBringup", "ImagerLauncher", "PortErrorSetup", "NetBootClassId"})) {
    GTEST_SKIP() << "not every driver image is built yet";
  }
  const std::string AllSucceed = "RootPortBringup: " + SUCCESS + "\nImagerLauncher: " + SUCCESS +
                                 "\nPortErrorSetup: " + SUCCESS + "\nNetBootClassId: " + SUCCESS +
                                 "\nStartIsp: " + SUCCESS + "\n";
  const std::string BothCores("PSI\0\x01\0\0\0\x01\0\0\0\x02\0\0\0", 16);
  const std::string OneCore("PSI\0\x01\0\0\0\0\0\0\0\x01\0\0\0", 16);
  const std::string ThreePorts = "MAC set data width 8bit\r\nstart enable pcie port.\r\n"
                                 "MAC set data width 8bit\r\nstart enable pcie port.\r\n"
                                 "MAC set data width 8bit\r\nstart enable pcie port.\r\n";
  const std::string Fpga2P = "FPGA 2P, version is 0x6006\r\n";
  const std::string Emu2P = "EMU 2P, version is 0x6007\r\n";
  const struct {
    const char* Board;
    std::string Console;
    std::string Statuses;
    std::string IspRecord;
  } CASES[] = {
      {"fpga-2chip.toml",
       ThreePorts + "Wait PCIE SSD...\r\n[4.617] [BOOT_TRACE]link up\r\n" + Fpga2P +
           "chip[0] pcie local ras init done\r\n" + Fpga2P +
           "chip[1] pcie local ras init done\r\n" + Fpga2P +
           "[4.617] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n",
       AllSucceed, BothCores},
      {"emulator-2chip.toml",
       "MAC set data width 8bit\r\nstart enable pcie port.\r\nWait PCIE SSD...\r\n"
       "[0.001] [BOOT_TRACE]link up\r\n" +
           Emu2P + "chip[0] pcie local ras init done\r\n" + Emu2P +
           "chip[1] pcie local ras init done\r\n" + Emu2P +
           "[0.001] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n",
       AllSucceed, BothCores},
      {"variant3.toml",
       "Wait PCIE SSD...\r\n[2.350] [BOOT_TRACE]link up\r\n"
       "[2.350] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n",
       AllSucceed, OneCore},
      {"ssd-absent.toml",
       "Wait PCIE SSD...\r\nSSD link up wait timeout!\r\n[2.350] [BOOT_TRACE]link up\r\n"
       "[2.350] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n",
       AllSucceed, BothCores},
      {"no-ring.toml", "", AllSucceed, BothCores},
      {"firmware-faults.toml",
       "Wait PCIE SSD...\r\n[2.350] [BOOT_TRACE]link up\r\nPCD protocol not found: Not "
       "Found\r\n[2.350] [BOOT_TRACE] Boot isp start...\r\nBoot isp end!\r\n",
       "RootPortBringup: EFI_ABORTED (0x8000000000000015)\nImagerLauncher: " + SUCCESS +
           "\nPortErrorSetup: " + SUCCESS + "\nNetBootClassId: " + SUCCESS +
           "\nStartIsp: " + SUCCESS + "\n",
       BothCores},
  };
  for (const auto& Case : CASES) {
    const RunResult R =
        Run({"--board", Board(Case.Board), "--trace", "trace.txt", "--call", START_ISP, "--call",
             "ExitBootServices", "--dump", "0xC6F36500:16:isp.bin"});
    EXPECT_EQ(R.Exit, 0) << Case.Board;
    EXPECT_EQ(R.Out, Case.Console) << Case.Board;
    EXPECT_EQ(R.Err, Case.Statuses) << Case.Board;
    EXPECT_EQ(ReadFile(Path("isp.bin")), Case.IspRecord) << Case.Board;
    if (std::string(Case.Board) == "ssd-absent.toml") {
      const std::string Trace = ReadFile(Path("trace.txt"));
      EXPECT_EQ(CountLines(Trace, "R32 0xa2916088 0x0 # pcie10.LinkStatus"), 49u);
      EXPECT_EQ(CountLines(Trace, "DELAY 10000"), 49u);
    }
  }
}

TEST_F(DxesimTest, BadCommandLinesExitWithStatus2AndOneLineNamingTheFault) {
  const std::string Broken = Write("broken.toml", "name = \"x\"\n[mem32]\n0x8000FFFC 0\n");
  const std::string Unknown = Write("unknown.toml", "[timer]\nfrequency = 1\nspeed = 2\n");
  std::filesystem::create_directory(Path("folder"));
  // Host images cut short, as a copy or download broken off leaves them, and one that is no image.
  const char* Images = std::getenv("DXESIM_IMAGE_DIR");
  ASSERT_NE(Images, nullptr) << "DXESIM_IMAGE_DIR names the host images";
  const std::string Image = std::string(Images) + "/NetBootClassId.so";
  const std::string Whole = ReadFile(Image);
  ASSERT_GT(Whole.size(), 118000u) << Image;
  std::filesystem::create_directories(Path("cut/a"));
  std::filesystem::create_directories(Path("cut/b"));
  std::filesystem::create_directories(Path("cut/c"));
  Write("cut/a/NetBootClassId.so", Whole.substr(0, 118000));
  Write("cut/b/NetBootClassId.so", Whole.substr(0, 64));
  Write("cut/c/NetBootClassId.so", "#!/bin/sh\n");
  const struct {
    std::vector<std::string> Arguments;
    std::string Message;
    std::string ImageDirectory = {}; // in place of $DXESIM_IMAGE_DIR
  } CASES[] = {
      {{"Foo"},
       "unknown driver 'Foo' (expected RootPortBringup, ImagerLauncher, PortErrorSetup or "
       "NetBootClassId)"},
      {{"--frobnicate"}, "unknown option '--frobnicate' (dxesim --help lists the options)"},
      {{"--bootlog=yes"}, "option --bootlog takes no value"},
      {{"NetBootClassId", "--trace"}, "option --trace needs a FILE"},
      {{"--call", "StartIsp:1:2"}, "--call 'StartIsp:1:2': call StartIsp takes 4 arguments, got 2"},
      {{"--call=WriteIspMarker:1"},
       "--call 'WriteIspMarker:1': call WriteIspMarker takes 0 arguments, got 1"},
      {{"--call", "SetIspStatus:1:0x100000000"},
       "--call 'SetIspStatus:1:0x100000000': call SetIspStatus: argument 2 '0x100000000' is not "
       "a 32-bit number"},
      {{"--call", "Reboot"},
       "--call 'Reboot': unknown call 'Reboot' (expected StartIsp, SetIspStatus, WriteIspMarker "
       "or ExitBootServices)"},
      {{"--dump", "0xFFFFFFFFFFFFFFF0:0x11:x.bin"},
       "--dump '0xFFFFFFFFFFFFFFF0:0x11:x.bin': the range lies outside the 64-bit address space"},
      {{"--dump", "0x1000:16"}, "--dump '0x1000:16': expected ADDR:LEN:FILE"},
      {{"--dump", "0x1000:sixteen:x.bin"},
       "--dump '0x1000:sixteen:x.bin': LEN 'sixteen' is not a number (0x hex or decimal, 64 "
       "bits)"},
      {{"--max-accesses", "ten"},
       "--max-accesses 'ten' is not a number (0x hex or decimal, 64 bits)"},
      {{"--max-accesses", "010"},
       "--max-accesses '010' is not a number (0x hex or decimal, 64 bits)"},
      {{"Net\nBoot\x1B[2J"},
       "unknown driver 'Net\\nBoot\\x1b[2J' (expected RootPortBringup, ImagerLauncher, "
       "PortErrorSetup or NetBootClassId)"},
      {{"--", "--board", "x.toml"},
       "unknown driver '--board' (expected RootPortBringup, ImagerLauncher, PortErrorSetup or "
       "NetBootClassId)"},
      // Empty values, in both forms, are refused rather than taken for the option left out.
      {{"--board", ""}, "option --board needs a FILE, got an empty value"},
      {{"--trace", "", "NetBootClassId"}, "option --trace needs a FILE, got an empty value"},
      {{"--firmware", ""},
       "option --firmware needs a FILE (or - for standard output), got an "
       "empty value"},
      {{"--board="}, "option --board needs a FILE, got an empty value"},
      {{"--call", ""}, "option --call needs a SPEC, got an empty value"},
      // An option given twice, whatever its values; the first fault from the left is reported.
      {{"--board", "a.toml", "--board", "b.toml"}, "option --board given twice"},
      {{"--trace", "t1", "--trace", ""}, "option --trace given twice"},
      {{"--trace", "", "--trace", "t2"}, "option --trace needs a FILE, got an empty value"},
      {{"--firmware=-", "--firmware", "-"}, "option --firmware given twice"},
      {{"--bootlog", "--bootlog"}, "option --bootlog given twice"},
      {{"--max-accesses", "5", "--max-accesses=5"}, "option --max-accesses given twice"},
      {{"--engine=aarch64", "--engine", "native"}, "option --engine given twice"},
      {{"--engine", "x86"}, "unknown engine 'x86' (expected native or aarch64)"},
      {{"--engine", "aarch64", "--max-instructions", "0"},
       "--max-instructions must be 1 to 10000000000"},
      {{"--engine", "aarch64", "--max-instructions=10000000001"},
       "--max-instructions must be 1 to 10000000000"},
      {{"--engine", "native", "--max-instructions", "5"},
       "--max-instructions needs --engine aarch64"},
      {{"--engine", "native", "--trace-memory"}, "--trace-memory needs --engine aarch64"},
      {{"--engine", "aarch64", "--trace-memory=yes"}, "option --trace-memory takes no value"},
      {{"--engine", "aarch64", "--trace-memory", "--trace-memory"},
       "option --trace-memory given twice"},
      {{"--engine", "aarch64", "--max-instructions", "5", "--max-instructions", "5"},
       "option --max-instructions given twice"},
      // Profiles that cannot be used; their faults are listed in BoardProfileTest.
      {{"--board", "missing.toml"},
       "missing.toml: cannot read the board profile: No such file or directory"},
      {{"--board", Path("folder")}, Path("folder") + ": is a folder, not a board profile"},
      {{"--board", "no\nsuch.toml"},
       "no\\nsuch.toml: cannot read the board profile: No such file or directory"},
      {{"--board", Broken},
       Broken + ":3:12: Error while parsing key-value pair: expected '=', saw "
                "'0'"},
      {{"--board", Unknown}, Unknown + ":3:1: unknown key 'speed' in [timer] (expected frequency)"},
      // Host images that are not whole, named before anything runs.
      {{"NetBootClassId"},
       "image " + Path("cut/a") + "/NetBootClassId.so is truncated: it holds 118000 of the " +
           std::to_string(Whole.size()) + " bytes its ELF headers describe",
       Path("cut/a")},
      {{"NetBootClassId"},
       "image " + Path("cut/b") +
           "/NetBootClassId.so is truncated: its program headers lie beyond the 64 bytes of the "
           "file",
       Path("cut/b")},
      {{"NetBootClassId"},
       "image " + Path("cut/c") + "/NetBootClassId.so is not a 64-bit little-endian ELF file",
       Path("cut/c")},
      // The bootlog command
      {{"bootlog"}, "bootlog: missing the DUMP file"},
      {{"bootlog", ""}, "bootlog: the DUMP file is an empty argument"},
      {{"bootlog", "a.bin", "--ring"}, "bootlog: option --ring needs an ADDR"},
      {{"bootlog", "a.bin", "--ring="}, "bootlog: option --ring needs an ADDR, got an empty value"},
      {{"bootlog", "--header", "a.bin", "--header"}, "bootlog: option --header given twice"},
      {{"bootlog", "--", "--header"}, "bootlog: cannot read '--header': No such file or directory"},
      {{"bootlog", "folder"}, "bootlog: 'folder' is a folder, not a dump"},
      {{"bootlog", "a.bin", "b.bin"}, "bootlog: one DUMP file only, got 'a.bin' and 'b.bin'"},
  };
  for (const auto& Case : CASES) {
    // The engines are compared on every run but those of a native image that is not whole.
    const RunResult R =
        Case.ImageDirectory.empty()
            ? Run(Case.Arguments)
            : Spawn(Case.Arguments, Dir, {"DXESIM_IMAGE_DIR=" + Case.ImageDirectory});
    EXPECT_EQ(R.Exit, 2) << Case.Message;
    EXPECT_EQ(R.Out, "") << Case.Message;
    EXPECT_EQ(R.Err, "dxesim: " + Case.Message + "\n");
  }
}

TEST_F(DxesimTest, AMissingImageOrUnwritableOutputStopsBeforeAnythingRuns) {
  std::filesystem::create_directory(Path("no-images"));
  const RunResult Missing = Run({"NetBootClassId"}, Path("no-images"));
  EXPECT_EQ(Missing.Exit, 2);
  EXPECT_EQ(Missing.Err, "dxesim: no image for driver NetBootClassId: " + Path("no-images") +
                             "/NetBootClassId.so not found\n");

  const RunResult Unwritable = Run({"--trace", "no/such/dir/trace.txt", "NetBootClassId"});
  EXPECT_EQ(Unwritable.Exit, 2);
  EXPECT_EQ(Unwritable.Err, "dxesim: cannot write the trace file 'no/such/dir/trace.txt': No such "
                            "file or directory\n");
}

TEST_F(DxesimTest, HelpListsEveryOption) {
  const RunResult R = Run({"--help"});
  EXPECT_EQ(R.Exit, 0);
  for (const char* Option :
       {"--board FILE", "--trace FILE", "--call SPEC", "--dump ADDR:LEN:FILE", "--bootlog",
        "--firmware FILE", "--max-accesses N", "--max-instructions N", "--trace-memory",
        "--engine NAME", "bootlog DUMP"}) {
    EXPECT_NE(R.Out.find(Option), std::string::npos) << Option;
  }
}

TEST_F(DxesimTest, ACallWithoutTheProtocolExitsWithStatus3AndMakesNoLaterCall) {
  const RunResult R = Run({"--trace", "trace.txt", "--call", "WriteIspMarker", "--call",
                           "ExitBootServices", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 3);
  EXPECT_EQ(R.Err, "NetBootClassId: " + SUCCESS +
                       "\ndxesim: --call WriteIspMarker not made: ImagerLaunchProtocol "
                       "(E5037DA0-D990-F5CE-D2E0-7D399130A5FF) is not installed\n");
  const std::string Trace = ReadFile(Path("trace.txt"));
  const std::vector<std::string> All = Lines(Trace);
  EXPECT_EQ(All.back(), "BS LocateProtocol E5037DA0-D990-F5CE-D2E0-7D399130A5FF -> EFI_NOT_FOUND");
  EXPECT_EQ(Trace.find("CALL"), std::string::npos);
}

TEST_F(DxesimTest, AnExhaustedAccessBudgetExitsWithStatus4NamingTheRegisterPolled) {
  const RunResult R = Run({"--board", Board("uart-stuck.toml"), "--max-accesses", "1000", "--trace",
                           "trace.txt", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 4);
  EXPECT_EQ(R.Out, "");
  EXPECT_EQ(R.Err, "dxesim: run stopped in NetBootClassId: access budget of 1000 accesses spent; "
                   "last access at 0x840c0018 (uart.FR)\n");
  // The trace is written up to the stop, and says why it ends there.
  const std::vector<std::string> All = Lines(ReadFile(Path("trace.txt")));
  ASSERT_GE(All.size(), 3u);
  EXPECT_EQ(All[1], "ENTRY NetBootClassId");
  EXPECT_EQ(All[All.size() - 2], "R32 0x840c0018 0x0 # uart.FR");
  EXPECT_EQ(All.back(), "# run stopped in NetBootClassId: access budget of 1000 accesses spent; "
                        "last access at 0x840c0018 (uart.FR)");
  EXPECT_EQ(All.size(), 1000u + 3u);
}

// Start-up makes ten accesses; the error message then costs a platform read and the ring
// selector read, and each console byte a flag read and a data write. The console must carry
// every byte written before the stop.
TEST_F(DxesimTest, TheConsoleIsCompleteUpToAStop) {
  const std::string Profile = Write("no-pcd.toml", SiliconBoard("", "[firmware]\npcd = false\n"));
  const RunResult R = Run({"--board", Profile, "--max-accesses", "22", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 4);
  EXPECT_EQ(R.Out, "PCD p");
  EXPECT_EQ(R.Err, "dxesim: run stopped in NetBootClassId: access budget of 22 accesses spent; "
                   "last access at 0x840c0018 (uart.FR)\n");
}

TEST_F(DxesimTest, AStackCheckFailureExitsWithStatus4NamingTheImage) {
  const RunResult R = Run({"--trace", "trace.txt", "NetBootClassId"}, DXESIM_STACK_SMASH_IMAGES);
  EXPECT_EQ(R.Exit, 4);
  EXPECT_EQ(R.Err, "dxesim: run stopped: stack-check failure in NetBootClassId: the image is in "
                   "its dead loop\n");
  const std::vector<std::string> All = Lines(ReadFile(Path("trace.txt")));
  EXPECT_EQ(All.back(), "# run stopped: stack-check failure in NetBootClassId: the image is in its "
                        "dead loop");
  EXPECT_EQ(std::count(All.begin(), All.end(), "EXIT NetBootClassId EFI_SUCCESS"), 0);
}

// Each read takes the next scripted value and stores it: once the script is used up, the
// register keeps reading its last value, here in a second dispatch.
TEST_F(DxesimTest, ScriptedReadsAreReturnedInOrderThenTheRegisterKeepsItsValue) {
  const std::string Profile =
      Write("rng.toml", "[mem32]\n0x881100F4 = 0x55\n[reads]\n0x881100F0 = [0, 0, 0x1234ABCD]\n");
  const RunResult R =
      Run({"--board", Profile, "--trace", "trace.txt", "NetBootClassId", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  const std::vector<std::string> All = Lines(WithoutComments(ReadFile(Path("trace.txt"))));
  const std::vector<std::string> FirstEntry(All.begin(), All.begin() + 5);
  EXPECT_EQ(FirstEntry,
            (std::vector<std::string>{"ENTRY NetBootClassId", "R32 0x881100f0 0x0 # rng.Output0",
                                      "R32 0x881100f0 0x0 # rng.Output0",
                                      "R32 0x881100f0 0x1234abcd # rng.Output0",
                                      "R32 0x881100f4 0x55 # rng.Output1"}));
  const auto Second = std::find(All.begin() + 1, All.end(), "ENTRY NetBootClassId");
  ASSERT_NE(Second, All.end());
  ASSERT_LT(Second + 2, All.end());
  EXPECT_EQ(*(Second + 1), "R32 0x881100f0 0x1234abcd # rng.Output0");
  EXPECT_EQ(*(Second + 2), "R32 0x881100f4 0x55 # rng.Output1");
}

struct FaultCase {
  std::string Firmware; // the [firmware] table
  std::string Console;
  std::string TraceLine; // must appear in the trace
  std::string Listing;   // must appear in the --firmware list
};

TEST_F(DxesimTest, FirmwareFaultsAsNetBootClassIdMeetsThem) {
  const FaultCase CASES[] = {
      {"fail = { AllocatePool = \"EFI_OUT_OF_RESOURCES\" }", "",
       "BS AllocatePool 4 16 -> EFI_OUT_OF_RESOURCES", "# configuration tables: 0\n"},
      {"fail = { InstallConfigurationTable = \"EFI_DEVICE_ERROR\" }", "",
       "BS InstallConfigurationTable EE4E5898-3914-4259-9D6E-DC7BD79403CF -> EFI_DEVICE_ERROR",
       "# configuration tables: 0\n"},
      {"fail = { LocateProtocol = \"EFI_OUT_OF_RESOURCES\" }",
       "PCD protocol not found: Out of Resources\r\n",
       "BS LocateProtocol 11B34006-D85B-4D0A-A290-D5A571310EF7 -> EFI_OUT_OF_RESOURCES",
       "pcd 2 max-size 64 empty\n"},
      {"fail = { SetPtr = \"0x8000000000000002\" }",
       "PXEClient set string failed: Invalid Parameter\r\n",
       "BS SetPtr 2 33 505845436c69656e743a417263683a78787878783a554e44493a30303330303000 -> "
       "EFI_INVALID_PARAMETER",
       "pcd 2 max-size 64 empty\n"},
      {"pcd = false", "PCD protocol not found: Not Found\r\n",
       "BS LocateProtocol 11B34006-D85B-4D0A-A290-D5A571310EF7 -> EFI_NOT_FOUND",
       "# protocols: 0\n"},
  };
  for (const FaultCase& Case : CASES) {
    const std::string Profile =
        Write("fault.toml", SiliconBoard("", "[firmware]\n" + Case.Firmware + "\n"));
    const RunResult R = Run({"--board", Profile, "--trace", "trace.txt", "--firmware",
                             "firmware.txt", "NetBootClassId"});
    EXPECT_EQ(R.Exit, 0) << Case.Firmware;
    EXPECT_EQ(R.Out, Case.Console) << Case.Firmware;
    EXPECT_EQ(R.Err, "NetBootClassId: " + SUCCESS + "\n") << Case.Firmware;
    EXPECT_EQ(CountLines(ReadFile(Path("trace.txt")), Case.TraceLine), 1u) << Case.Firmware;
    EXPECT_NE(ReadFile(Path("firmware.txt")).find(Case.Listing), std::string::npos)
        << Case.Firmware << "\n"
        << ReadFile(Path("firmware.txt"));
  }
}

TEST_F(DxesimTest, FirmwareFaultsAsRootPortBringupAndImagerLauncherMeetThem) {
  if (!HaveImages({"RootPortBringup", "ImagerLauncher"})) {
    GTEST_SKIP() << "RootPortBringup and ImagerLauncher images are not built yet";
  }
  const std::string NoEvent =
      Write("no-event.toml",
            SiliconBoard("", "[firmware]\nfail = { CreateEvent = \"EFI_OUT_OF_RESOURCES\" }\n"));
  const RunResult Aborted = Run({"--board", NoEvent, "RootPortBringup"});
  EXPECT_EQ(Aborted.Exit, 0);
  EXPECT_EQ(Aborted.Err, "RootPortBringup: EFI_ABORTED (0x8000000000000015)\n");

  const std::string NoInstall = Write(
      "no-install.toml",
      SiliconBoard("",
                   "[firmware]\nfail = { InstallProtocolInterface = \"EFI_OUT_OF_RESOURCES\" }\n"));
  const RunResult NotInstalled = Run({"--board", NoInstall, "--call", START_ISP, "ImagerLauncher"});
  EXPECT_EQ(NotInstalled.Exit, 3);
  EXPECT_EQ(NotInstalled.Err, "ImagerLauncher: EFI_OUT_OF_RESOURCES (0x8000000000000009)\n"
                              "dxesim: --call " +
                                  START_ISP +
                                  " not made: ImagerLaunchProtocol "
                                  "(E5037DA0-D990-F5CE-D2E0-7D399130A5FF) is not installed\n");

  const std::string NoPool =
      Write("no-pool.toml",
            SiliconBoard("", "[firmware]\nfail = { AllocatePool = \"EFI_OUT_OF_RESOURCES\" }\n"));
  const RunResult NoBlock = Run({"--board", NoPool, "ImagerLauncher"});
  EXPECT_EQ(NoBlock.Exit, 0);
  EXPECT_EQ(NoBlock.Out, "AllocatePool ImagerLaunchProtocol fail, Status = 9!\r\n");
  EXPECT_EQ(NoBlock.Err, "ImagerLauncher: EFI_OUT_OF_RESOURCES (0x8000000000000009)\n");
}

TEST_F(DxesimTest, DumpWritesRegistersAndOrdinaryMemoryAfterTheRun) {
  const RunResult R = Run({"--dump", "0xC5280000:16:ring.bin", "--dump", "0x840C0030:4:cr.bin",
                           "--dump=0x8000F07C:0:empty.bin", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  EXPECT_EQ(ReadFile(Path("ring.bin")),
            std::string("\x20\x20\xEA\xEA\0\0\0\0\0\0\0\0\0\0\x01\0", 16));
  // The console was configured by the run: UART, transmit and receive enabled.
  EXPECT_EQ(ReadFile(Path("cr.bin")), std::string("\x01\x03\0\0", 4));
  EXPECT_EQ(ReadFile(Path("empty.bin")), "");
}

TEST_F(DxesimTest, DumpOfTheIspStatusRecordAfterStartIsp) {
  if (!HaveImages({"ImagerLauncher"})) {
    GTEST_SKIP() << "the ImagerLauncher image is not built yet";
  }
  const RunResult Both =
      Run({"--call", START_ISP, "--dump", "0xC6F36500:16:both.bin", "ImagerLauncher"});
  EXPECT_EQ(Both.Exit, 0);
  EXPECT_EQ(ReadFile(Path("both.bin")), std::string("PSI\0\x01\0\0\0\x01\0\0\0\x02\0\0\0", 16));

  const RunResult Set = Run({"--call", START_ISP, "--call", "SetIspStatus:0xFFFFFFFF:1", "--dump",
                             "0xC6F36500:16:set.bin", "ImagerLauncher"});
  EXPECT_EQ(Set.Exit, 0);
  EXPECT_EQ(ReadFile(Path("set.bin")), std::string("PSI\0\xFF\xFF\xFF\xFF\x01\0\0\0\0\0\0\0", 16));
}

// The ring's data area holds 64 bytes: 40 of older text and a write offset of 40. The ERROR
// message (54 bytes with its prefix) fills the last 24 bytes and wraps to the start, so the
// oldest text surviving is the last 10 of the 40.
const std::string WRAP_MEM32 = "0xC5280440 = 40\n"
                               "0xC5280480 = 0x61616161\n0xC5280484 = 0x61616161\n"
                               "0xC5280488 = 0x61616161\n0xC528048C = 0x61616161\n"
                               "0xC5280490 = 0x61616161\n0xC5280494 = 0x61616161\n"
                               "0xC5280498 = 0x61616161\n0xC528049C = 0x61616161\n"
                               "0xC52804A0 = 0x61616161\n0xC52804A4 = 0x61616161\n";
const std::string WRAPPED_TEXT =
    "aaaaaaaaaa[ERROR][UEFI]PCD protocol not found: Out of Resources\n";

TEST_F(DxesimTest, BootLogAfterTheRingWrapped) {
  const std::string Profile = Write(
      "wrap.toml",
      SiliconBoard(WRAP_MEM32, "[firmware]\nfail = { LocateProtocol = \"EFI_OUT_OF_RESOURCES\" }\n",
                   "0xC0"));
  const RunResult R = Run(
      {"--board", Profile, "--bootlog", "--dump", "0xC5280000:0x1000:ring.bin", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  EXPECT_EQ(R.Out, "PCD protocol not found: Out of Resources\r\n" + WRAPPED_TEXT);
  EXPECT_EQ(R.Err, "NetBootClassId: " + SUCCESS +
                       "\ndxesim: boot log: ring 0xc5280000, area header 0xc5280400, 64 bytes of "
                       "text in a 64-byte data area, write offset 0x1e, wrapped\n");

  // The same decoding over the dump, as from a board; "--" ends the options.
  const RunResult FromDump = Run({"bootlog", "ring.bin", "--header"});
  const RunResult AfterOptions = Run({"bootlog", "--header", "--", "ring.bin"});
  EXPECT_EQ(AfterOptions.Exit, 0);
  EXPECT_EQ(AfterOptions.Out, FromDump.Out);
  EXPECT_EQ(FromDump.Exit, 0);
  EXPECT_EQ(FromDump.Err, "");
  EXPECT_EQ(FromDump.Out, "# ring 0xc5280000 magic 0xeaea2020\n"
                          "# area header 0xc5280400: AreaSize 0xc0 (64-byte data area), "
                          "WriteOffset 0x1e, Wrapped 1, LevelInForce 2\n" +
                              WRAPPED_TEXT);
}

TEST_F(DxesimTest, BootLogCommandFindsTheRingInALargerDumpAndRefusesAShortOne) {
  const RunResult R =
      Run({"--dump", "0xC527F000:0x20000:wide.bin", "--dump", "0xC5280000:0x17500:no-data.bin",
           "--dump", "0xC5280000:0x100:short.bin", "NetBootClassId"});
  ASSERT_EQ(R.Exit, 0);
  const RunResult Wide = Run({"bootlog", "wide.bin", "--base", "0xC527F000", "--header"});
  EXPECT_EQ(Wide.Exit, 0);
  EXPECT_EQ(Wide.Out, "# ring 0xc5280000 magic 0xeaea2020\n"
                      "# area header 0xc5297400: AreaSize 0x2080 (8192-byte data area), "
                      "WriteOffset 0x0, Wrapped 0, LevelInForce 0\n");
  const RunResult NoData = Run({"bootlog", "no-data.bin"});
  EXPECT_EQ(NoData.Exit, 2);
  EXPECT_EQ(NoData.Err, "dxesim: bootlog: no-data.bin: the data area [0xc5297480, 0xc5299480) "
                        "lies beyond the 95488 bytes available from 0xc5280000\n");
  const RunResult Short = Run({"bootlog", "short.bin"});
  EXPECT_EQ(Short.Exit, 2);
  EXPECT_EQ(Short.Err, "dxesim: bootlog: short.bin: the area header at 0xc5297400 lies beyond the "
                       "256 bytes available from 0xc5280000\n");
  const RunResult Outside = Run({"bootlog", "short.bin", "--base", "0x1000"});
  EXPECT_EQ(Outside.Exit, 2);
  EXPECT_EQ(Outside.Err, "dxesim: bootlog: the dump holds neither ring address (0x31280000, "
                         "0xc5280000); name the ring with --ring\n");
}

TEST_F(DxesimTest, BootLogWithoutARingIsReportedAndTheRunStillCompletes) {
  const RunResult R = Run({"--board", Board("no-ring.toml"), "--bootlog", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  EXPECT_EQ(R.Out, "");
  EXPECT_EQ(R.Err, "NetBootClassId: " + SUCCESS +
                       "\ndxesim: boot log: no boot-log ring at 0x31280000: its magic reads 0x0, "
                       "not 0xeaea2020\n");
}

TEST_F(DxesimTest, FirmwareListToStandardOutputFollowsTheConsole) {
  const RunResult R = Run({"--firmware", "-", "NetBootClassId"});
  EXPECT_EQ(R.Exit, 0);
  const std::vector<std::string> All = Lines(R.Out);
  ASSERT_EQ(All.size(), 9u) << R.Out;
  EXPECT_EQ(All[0], "# protocols: 1");
  EXPECT_EQ(All[2], "# configuration tables: 1");
  EXPECT_EQ(All[4], "# events: 0");
  EXPECT_EQ(All[5], "# pool blocks: 1");
  EXPECT_EQ(All[7], "# PCD tokens: 1");
  EXPECT_EQ(All[8], "pcd 2 max-size 64 size 33 value \"PXEClient:Arch:xxxxx:UNDI:003000\\0\"");
}

} // namespace
} // namespace dxesimtest
