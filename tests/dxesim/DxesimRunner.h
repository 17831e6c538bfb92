// Runs the real dxesim binary in a scratch directory and captures what it produced: exit status,
// standard output, standard error, and any files it wrote there.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

  // Runs dxesim with Arguments; ImageDirectory, when given, replaces $DXESIM_IMAGE_DIR.
  RunResult Run(const std::vector<std::string>& Arguments,
                const std::string& ImageDirectory = "") const {
    const std::string OutFile = Path(".stdout");
    const std::string ErrFile = Path(".stderr");
    std::vector<std::string> Argv = {DXESIM_BINARY};
    Argv.insert(Argv.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> ArgPointers;
    for (std::string& A : Argv) {
      ArgPointers.push_back(A.data());
    }
    ArgPointers.push_back(nullptr);
    std::vector<std::string> Environment;
    for (char** E = environ; *E != nullptr; ++E) {
      if (ImageDirectory.empty() || std::string(*E).rfind("DXESIM_IMAGE_DIR=", 0) != 0) {
        Environment.push_back(*E);
      }
    }
    if (!ImageDirectory.empty()) {
      Environment.push_back("DXESIM_IMAGE_DIR=" + ImageDirectory);
    }
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
    posix_spawn_file_actions_addchdir_np(&Actions, Dir.c_str());
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

  std::string Dir;
};

} // namespace dxesimtest
