// The command lines of dxesim: a run (options and drivers) and the bootlog command.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <Sim/Boot.h>
#include <Sim/Machine.h>

namespace dxesim {

// A bad command line: what() is the one-line message, naming the argument at fault.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct DumpRequest {
  uint64_t Address = 0;
  uint64_t Length = 0;
  std::string File;
};

// A dump longer than this is certainly a typo, and would fill the disk.
constexpr uint64_t MAX_DUMP_LENGTH = 1ULL << 30;

struct RunOptions {
  bool Help = false;
  std::vector<std::string> Drivers; // empty: all four
  std::string BoardFile;            // empty: the built-in default board
  std::string TraceFile;
  std::vector<sim::CallSpec> Calls;
  std::vector<DumpRequest> Dumps;
  bool BootLog = false;
  std::string FirmwareFile; // "-": standard output
  uint64_t MaxAccesses = sim::DEFAULT_ACCESS_BUDGET;
  uint64_t MaxInstructions = sim::DEFAULT_INSTRUCTION_BUDGET; // aarch64 engine, per call
  bool TraceMemory = false;                                   // aarch64 engine
  std::string Engine; // empty or "native": the host builds; "aarch64": the shipped images
};

struct BootLogOptions {
  bool Help = false;
  std::string DumpFile;
  std::optional<uint64_t> Base; // physical address of the dump's first byte
  std::optional<uint64_t> Ring; // physical address of the ring header
  bool Header = false;
};

RunOptions ParseRunCommandLine(const std::vector<std::string>& Arguments);
BootLogOptions ParseBootLogCommandLine(const std::vector<std::string>& Arguments);

extern const char* const HELP_TEXT;

} // namespace dxesim
