// Runs the real dxesim binary in a scratch directory and captures what it produced: exit status,
// standard output, standard error, and any files it wrote there. Every run of the simulator is
// repeated with --engine aarch64 (the shipped images on the emulated processor) and must produce
// the same (a delay's DELAY event natively, its counter loop in the image): every end-to-end
// scenario is also an equivalence test of the two engines.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TimerWait.h"

extern char** environ;

namespace dxesimtest {

struct RunResult {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

inline std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Contents;
  Contents << In.rdbuf();
  return Contents.str();
}

inline std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Result;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) {
    Result.push_back(Line);
  }
  return Result;
}

class DxesimTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Template = (std::filesystem::temp_directory_path() / "dxesim-test-XXXXXX");
    ASSERT_NE(mkdtemp(Template.data()), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    std::filesystem::remove_all(Dir, Ignored);
  }

  std::string Path(const std::string& Name) const { return Dir + "/" + Name; }
  std::string Write(const std::string& Name, const std::string& Contents) const {
    std::ofstream(Path(Name), std::ios::binary) << Contents;
    return Path(Name);
  }
  static std::string Board(const std::string& Name) {
    return std::string(DXESIM_BOARDS_DIR) + "/" + Name;
  }
  static bool HaveImages(const std::vector<std::string>& Drivers) {
    const char* Directory = std::getenv("DXESIM_IMAGE_DIR");
    for (const std::string& Driver : Drivers) {
      if (Directory == nullptr ||
          !std::filesystem::exists(std::string(Directory) + "/" + Driver + ".so")) {
        return false;
      }
    }
    return true;
  }

  // Runs dxesim with Arguments; ImageDirectory, when given, replaces $DXESIM_IMAGE_DIR. Each run
  // is made a second time with --engine aarch64, which must come out the same.
  RunResult Run(const std::vector<std::string>& Arguments,
                const std::string& ImageDirectory = "") const {
    std::vector<std::string> Environment;
    if (!ImageDirectory.empty()) {
      Environment.push_back("DXESIM_IMAGE_DIR=" + ImageDirectory);
    }
    const RunResult Native = Spawn(Arguments, Dir, Environment);
    if (ComparesEngines(Arguments)) {
      ExpectSameOnEmulation(Arguments, ImageDirectory, Native);
    }
    return Native;
  }

  RunResult Spawn(const std::vector<std::string>& Arguments, const std::string& WorkDir,
                  const std::vector<std::string>& Replacing) const {
    const std::string OutFile = WorkDir + "/.stdout";
    const std::string ErrFile = WorkDir + "/.stderr";
    std::vector<std::string> Argv = {DXESIM_BINARY};
    Argv.insert(Argv.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> ArgPointers;
    for (std::string& A : Argv) {
      ArgPointers.push_back(A.data());
    }
    ArgPointers.push_back(nullptr);
    std::vector<std::string> Environment;
    for (char** E = environ; *E != nullptr; ++E) {
      const std::string Entry = *E;
      bool Replaced = false;
      for (const std::string& R : Replacing) {
        Replaced |= Entry.rfind(R.substr(0, R.find('=') + 1), 0) == 0;
      }
      if (!Replaced) {
        Environment.push_back(Entry);
      }
    }
    Environment.insert(Environment.end(), Replacing.begin(), Replacing.end());
    std::vector<char*> EnvPointers;
    for (std::string& E : Environment) {
      EnvPointers.push_back(E.data());
    }
    EnvPointers.push_back(nullptr);

    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&Actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&Actions, WorkDir.c_str());
    RunResult Result;
    pid_t Child = 0;
    const int Error = posix_spawn(&Child, Argv[0].c_str(), &Actions, nullptr, ArgPointers.data(),
                                  EnvPointers.data());
    posix_spawn_file_actions_destroy(&Actions);
    EXPECT_EQ(Error, 0) << "cannot start " << Argv[0];
    if (Error != 0) {
      return Result;
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
    Result.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    Result.Out = ReadFile(OutFile);
    Result.Err = ReadFile(ErrFile);
    return Result;
  }

  // Runs of the simulator, not of the boot-log decoder or the help, and only with outputs in the
  // working directory, which the second run must not overwrite.
  static bool ComparesEngines(const std::vector<std::string>& Arguments) {
    if (!Arguments.empty() && Arguments[0] == "bootlog") {
      return false;
    }
    for (const std::string& A : Arguments) {
      if (A == "--help" || A == "-h" || A.rfind("--engine", 0) == 0) {
        return false;
      }
    }
    for (const std::string& File : OutputFiles(Arguments)) {
      if (!File.empty() && File[0] == '/') {
        return false;
      }
    }
    return true;
  }

  // The files a run writes, as named on its command line; TraceFile receives the trace's.
  static std::vector<std::string> OutputFiles(const std::vector<std::string>& Arguments,
                                              std::string* TraceFile = nullptr,
                                              std::string* FirmwareFile = nullptr) {
    std::vector<std::string> Files;
    for (size_t I = 0; I < Arguments.size(); ++I) {
      const std::string& A = Arguments[I];
      const size_t Equals = A.find('=');
      const std::string Name = A.substr(0, Equals);
      if (Name != "--trace" && Name != "--dump" && Name != "--firmware") {
        continue;
      }
      std::string Value = Equals != std::string::npos ? A.substr(Equals + 1)
                          : I + 1 < Arguments.size()  ? Arguments[++I]
                                                      : std::string();
      if (Name == "--dump") {
        const size_t Colon = Value.find(':', Value.find(':') + 1);
        Value = Colon == std::string::npos ? std::string() : Value.substr(Colon + 1);
      }
      if (Name == "--trace" && TraceFile != nullptr) {
        *TraceFile = Value;
      }
      if (Name == "--firmware" && FirmwareFile != nullptr) {
        *FirmwareFile = Value;
      }
      if (!Value.empty() && Value != "-") {
        Files.push_back(Value);
      }
    }
    return Files;
  }

  // A trace's lines without the engine named in its header; a delay loop of the image (a
  // CNTFRQ_EL0 read and the CNTPCT_EL0 reads after it) becomes one line "DELAY? FREQUENCY READS".
  static std::vector<std::string> ComparableTrace(const std::string& Trace) {
    std::vector<std::string> Result;
    const std::vector<std::string> All = Lines(Trace);
    for (size_t I = 0; I < All.size(); ++I) {
      std::string Line = All[I];
      const size_t Engine = Line.rfind(", engine aarch64");
      if (Line.rfind("# dxesim trace:", 0) == 0 && Engine != std::string::npos) {
        Line.erase(Engine);
      }
      if (Line.rfind("SYSREG CNTFRQ_EL0 ", 0) == 0) {
        uint64_t Reads = 0;
        while (I + 1 < All.size() && All[I + 1].rfind("SYSREG CNTPCT_EL0 ", 0) == 0) {
          ++Reads;
          ++I;
        }
        Line = "DELAY? " + Line.substr(18) + " " + std::to_string(Reads);
      }
      Result.push_back(Line);
    }
    return Result;
  }

  // Where the native trace has "DELAY US" and the image's has a delay loop with the number of
  // counter reads that US microseconds take, the two agree.
  static void MatchDelays(const std::vector<std::string>& Native,
                          std::vector<std::string>& Emulated) {
    for (size_t I = 0; I < Native.size() && I < Emulated.size(); ++I) {
      uint64_t Microseconds = 0, Frequency = 0, Reads = 0;
      if (std::sscanf(Native[I].c_str(), "DELAY %" SCNu64, &Microseconds) == 1 &&
          std::sscanf(Emulated[I].c_str(), "DELAY? %" SCNx64 " %" SCNu64, &Frequency, &Reads) ==
              2 &&
          Reads == timertest::CounterReadsForDelay(Microseconds, Frequency)) {
        Emulated[I] = Native[I];
      }
    }
  }

  // Firmware objects' addresses differ between engines, and pool blocks are listed by address.
  static std::string ComparableListing(const std::string& Text) {
    static const std::regex ADDRESS("(interface|table|notify|context|pool|bad-free) 0x[0-9a-f]+");
    std::vector<std::string> All;
    for (const std::string& Line : Lines(Text)) {
      All.push_back(std::regex_replace(Line, ADDRESS, "$1 <address>"));
    }
    for (auto First = All.begin(); First != All.end();) {
      auto Last = First;
      while (Last != All.end() && Last->rfind("pool ", 0) == 0) {
        ++Last;
      }
      std::sort(First, Last);
      First = Last == First ? Last + 1 : Last;
    }
    std::string Result;
    for (const std::string& Line : All) {
      Result += Line + "\n";
    }
    return Result;
  }

  // The same run with the shipped AArch64 images, in a directory of its own: the same exit
  // status, standard output and error, and the same files.
  void ExpectSameOnEmulation(const std::vector<std::string>& Arguments,
                             const std::string& ImageDirectory, const RunResult& Native) const {
    const std::string WorkDir = Dir + "/aarch64-" + std::to_string(EmulatedRuns++);
    std::filesystem::create_directories(WorkDir);
    std::vector<std::string> Emulated = {"--engine", "aarch64"};
    Emulated.insert(Emulated.end(), Arguments.begin(), Arguments.end());
    std::vector<std::string> Environment;
    if (ImageDirectory == DXESIM_STACK_SMASH_IMAGES) {
      Environment.push_back(std::string("DXESIM_EFI_DIR=") + DXESIM_STACK_SMASH_EFI_IMAGES);
    } else if (!ImageDirectory.empty()) {
      Environment.push_back("DXESIM_EFI_DIR=" + ImageDirectory);
    }
    const RunResult R = Spawn(Emulated, WorkDir, Environment);
    const std::string Command = "with --engine aarch64, dxesim " + Join(Arguments);

    std::string TraceFile, FirmwareFile;
    const std::vector<std::string> Files = OutputFiles(Arguments, &TraceFile, &FirmwareFile);
    const auto Listing = [&](const std::string& Out) {
      return FirmwareFile == "-" ? ComparableListing(Out) : Out;
    };
    if (R.Exit != Native.Exit && R.Err.find(".efi not found") != std::string::npos) {
      ADD_FAILURE() << "the AArch64 images are missing (" << R.Err
                    << "): build the aarch64-uefi preset first (make test does)";
      return;
    }
    EXPECT_EQ(R.Exit, Native.Exit) << Command << "\n" << R.Err;
    EXPECT_EQ(Listing(R.Out), Listing(Native.Out)) << Command;
    // Only the missing image's name differs.
    EXPECT_EQ(std::regex_replace(R.Err, std::regex("\\.efi not found"), ".so not found"),
              Native.Err)
        << Command;
    for (const std::string& File : Files) {
      const std::string Mine = ReadFile(WorkDir + "/" + File);
      const std::string Theirs = ReadFile(Dir + "/" + File);
      if (File == TraceFile) {
        const std::vector<std::string> NativeTrace = ComparableTrace(Theirs);
        std::vector<std::string> EmulatedTrace = ComparableTrace(Mine);
        MatchDelays(NativeTrace, EmulatedTrace);
        const std::string Difference = FirstDifferentLine(NativeTrace, EmulatedTrace);
        EXPECT_TRUE(Difference.empty()) << Command << ": " << File << "\n" << Difference;
      } else if (File == FirmwareFile) {
        EXPECT_EQ(ComparableListing(Mine), ComparableListing(Theirs)) << Command << ": " << File;
      } else {
        EXPECT_TRUE(Mine == Theirs) << Command << ": " << File << " differs";
      }
    }
  }

  // Empty when equal, else the first line that differs, with the lines before it.
  static std::string FirstDifferentLine(const std::vector<std::string>& A,
                                        const std::vector<std::string>& B) {
    size_t At = 0;
    while (At < A.size() && At < B.size() && A[At] == B[At]) {
      ++At;
    }
    if (At == A.size() && At == B.size()) {
      return {};
    }
    std::string Text = "first difference at line " + std::to_string(At + 1) + ":\n";
    for (size_t I = At >= 3 ? At - 3 : 0; I < At; ++I) {
      Text += "    " + A[I] + "\n";
    }
    Text += "native:  " + (At < A.size() ? A[At] : std::string("(end)")) + "\n";
    Text += "aarch64: " + (At < B.size() ? B[At] : std::string("(end)")) + "\n";
    return Text;
  }

  static std::string Join(const std::vector<std::string>& Arguments) {
    std::string Text;
    for (const std::string& A : Arguments) {
      Text += (Text.empty() ? "" : " ") + A;
    }
    return Text;
  }

  mutable int EmulatedRuns = 0;
  std::string Dir;
};

} // namespace dxesimtest
