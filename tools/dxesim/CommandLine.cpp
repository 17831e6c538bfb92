#include "CommandLine.h"

#include <set>
#include <utility>

namespace dxesim {

const char* const HELP_TEXT = R"HELP(usage: dxesim [OPTIONS] [DRIVER...]
       dxesim bootlog DUMP [--base ADDR] [--ring ADDR] [--header]

Runs the driver images on a simulated board and firmware as the DXE core would: each DRIVER
is dispatched as its own image, in the order given, against one simulated SoC and firmware
that persist for the whole run. DRIVER is RootPortBringup, ImagerLauncher, PortErrorSetup or
NetBootClassId; with none, all four run in that order.

Standard output receives every byte written to the UART data register, as it is written.
Standard error receives, after each driver's entry returns, one line
"<Driver>: <STATUS_NAME> (0x<16 hex digits>)", and the same for each --call that returns a
status.

Options:
  --board FILE          board profile (TOML); default: the built-in boards/default.toml
  --trace FILE          write the event trace to FILE, also when the run stops
  --call SPEC           after all drivers, in command-line order (repeatable):
                          StartIsp:FW0:FW1:SIZE1:SIZE2   SetIspStatus:V0:V1
                          WriteIspMarker                 ExitBootServices
  --dump ADDR:LEN:FILE  after the run, write LEN bytes of simulated physical memory from ADDR
                        to FILE, raw (repeatable)
  --bootlog             after the run, print the boot-log ring's text, oldest first
  --firmware FILE       after the run, list the firmware objects the drivers left (protocols,
                        configuration tables, events, pool blocks, PCD values) in FILE;
                        '-' for standard output
  --max-accesses N      access budget (default 10000000 traced accesses)
  --max-instructions N  aarch64 engine: instructions one call into an image may execute
                        (default 100000000, at most 10000000000)
  --trace-memory        aarch64 engine: trace the loads and stores of the boot-log ring areas
                        and the ISP status record (MR8..MR64, MW8..MW64)
  --engine NAME         how the images run: native (default), the host builds of the drivers
                        (bin/images/NAME.so), or aarch64, the shipped AArch64 images
                        (NAME.efi from $DXESIM_EFI_DIR or the aarch64-uefi build tree) on an
                        emulated processor
  -h, --help            print this text

Numbers are C literals (0x hex or decimal). An option's value may also follow '='; '--' ends
the options. Options other than --call and --dump may be given once.

Exit status:
  0  the run completed (driver statuses are reported, not turned into exit codes)
  2  bad command line, board profile or output file, or a missing driver image
  3  a --call could not be made: the protocol is not installed
  4  the run was stopped: access budget spent, a stack-check failure, or (aarch64 engine) the
     instruction budget spent, a dead loop, or a fault of the image: a jump to unmapped memory,
     a processor exception, a register access other than one naturally aligned 8-bit or 32-bit
     load or store, a pointer a firmware service may not use, a write to a system-control,
     interrupt-mask or timer-control register

The bootlog command decodes a raw memory dump of a boot-log ring (from --dump, or pulled off a
board) as a reader of the ring does, and prints its text:
  DUMP                  the dump file; unless told otherwise it starts at the ring header
  --base ADDR           physical address of the dump's first byte; the ring is then looked for
                        at 0xC5280000 and 0x31280000 within the dump
  --ring ADDR           physical address of the ring header within the dump
  --header              print the ring and area header fields, as '#' lines, before the text
)HELP";

namespace {

struct OptionValue {
  std::string Name;
  std::string Value;
  bool HasValue;
};

// Splits "--name=value"; the value, when not attached, is taken from the next argument.
class ArgumentReader {
public:
  ArgumentReader(const std::vector<std::string>& Arguments, std::string Prefix)
      : Arguments(Arguments), Prefix(std::move(Prefix)) {}
  bool Done() const { return Index >= Arguments.size(); }
  const std::string& Next() { return Arguments[Index++]; }
  // An empty value, attached or not, is refused rather than taken for the option left out.
  std::string Value(const std::string& Option, const std::string& Attached, bool HasAttached,
                    const char* Meta) {
    if (!HasAttached && Done()) {
      throw UsageError(Prefix + "option " + Option + " needs " + Meta);
    }
    const std::string Given = HasAttached ? Attached : Next();
    if (Given.empty()) {
      throw UsageError(Prefix + "option " + Option + " needs " + Meta + ", got an empty value");
    }
    return Given;
  }
  // Every option but the repeatable ones may be given once, whatever its value.
  void Once(const std::string& Option) {
    if (!Given.insert(Option).second) {
      throw UsageError(Prefix + "option " + Option + " given twice");
    }
  }
  bool WasGiven(const std::string& Option) const { return Given.count(Option) != 0; }

private:
  const std::vector<std::string>& Arguments;
  std::string Prefix;
  size_t Index = 0;
  std::set<std::string> Given;
};

uint64_t Number(const std::string& Text, const std::string& What) {
  uint64_t Value = 0;
  if (!sim::ParseInteger(Text, Value)) {
    throw UsageError(What + " '" + Text + "' is not a number (0x hex or decimal, 64 bits)");
  }
  return Value;
}

DumpRequest ParseDump(const std::string& Spec) {
  const size_t First = Spec.find(':');
  const size_t Second = First == std::string::npos ? First : Spec.find(':', First + 1);
  if (Second == std::string::npos) {
    throw UsageError("--dump '" + Spec + "': expected ADDR:LEN:FILE");
  }
  DumpRequest Dump;
  Dump.Address = Number(Spec.substr(0, First), "--dump '" + Spec + "': ADDR");
  Dump.Length = Number(Spec.substr(First + 1, Second - First - 1), "--dump '" + Spec + "': LEN");
  Dump.File = Spec.substr(Second + 1);
  if (Dump.File.empty()) {
    throw UsageError("--dump '" + Spec + "': FILE is empty");
  }
  if (Dump.Length != 0 && Dump.Length - 1 > UINT64_MAX - Dump.Address) {
    throw UsageError("--dump '" + Spec + "': the range lies outside the 64-bit address space");
  }
  if (Dump.Length > MAX_DUMP_LENGTH) {
    throw UsageError("--dump '" + Spec + "': LEN is larger than the 1 GiB that a dump may take");
  }
  return Dump;
}

} // namespace

RunOptions ParseRunCommandLine(const std::vector<std::string>& Arguments) {
  RunOptions Options;
  ArgumentReader Reader(Arguments, "");
  bool OptionsEnded = false;
  while (!Reader.Done()) {
    const std::string Argument = Reader.Next();
    if (OptionsEnded || Argument.empty() || Argument[0] != '-' || Argument == "-") {
      if (!sim::IsDriverName(Argument)) {
        throw UsageError("unknown driver '" + Argument +
                         "' (expected RootPortBringup, ImagerLauncher, PortErrorSetup or "
                         "NetBootClassId)");
      }
      Options.Drivers.push_back(Argument);
      continue;
    }
    if (Argument == "--") {
      OptionsEnded = true;
      continue;
    }
    if (Argument == "-h" || Argument == "--help") {
      Options.Help = true;
      continue;
    }
    const size_t Equals = Argument.find('=');
    const std::string Name = Argument.substr(0, Equals);
    const bool Attached = Equals != std::string::npos;
    const std::string AttachedValue = Attached ? Argument.substr(Equals + 1) : std::string();
    const auto Value = [&](const char* Meta) {
      return Reader.Value(Name, AttachedValue, Attached, Meta);
    };
    if (Name == "--bootlog" || Name == "--trace-memory") {
      if (Attached) {
        throw UsageError("option " + Name + " takes no value");
      }
      Reader.Once(Name);
      (Name == "--bootlog" ? Options.BootLog : Options.TraceMemory) = true;
    } else if (Name == "--board") {
      Reader.Once(Name);
      Options.BoardFile = Value("a FILE");
    } else if (Name == "--trace") {
      Reader.Once(Name);
      Options.TraceFile = Value("a FILE");
    } else if (Name == "--firmware") {
      Reader.Once(Name);
      Options.FirmwareFile = Value("a FILE (or - for standard output)");
    } else if (Name == "--call") {
      const std::string Spec = Value("a SPEC");
      sim::CallSpec Call;
      std::string Error;
      if (!sim::ParseCallSpec(Spec, Call, Error)) {
        throw UsageError("--call '" + Spec + "': " + Error);
      }
      Options.Calls.push_back(Call);
    } else if (Name == "--dump") {
      Options.Dumps.push_back(ParseDump(Value("ADDR:LEN:FILE")));
    } else if (Name == "--engine") {
      Reader.Once(Name);
      Options.Engine = Value("a NAME (native or aarch64)");
      if (Options.Engine != "native" && Options.Engine != "aarch64") {
        throw UsageError("unknown engine '" + Options.Engine + "' (expected native or aarch64)");
      }
    } else if (Name == "--max-accesses") {
      Reader.Once(Name);
      Options.MaxAccesses = Number(Value("a number N"), "--max-accesses");
    } else if (Name == "--max-instructions") {
      Reader.Once(Name);
      Options.MaxInstructions = Number(Value("a number N"), "--max-instructions");
      if (Options.MaxInstructions == 0 || Options.MaxInstructions > sim::MAX_INSTRUCTION_BUDGET) {
        throw UsageError("--max-instructions must be 1 to 10000000000");
      }
    } else {
      throw UsageError("unknown option '" + Argument + "' (dxesim --help lists the options)");
    }
  }
  if ((Reader.WasGiven("--max-instructions") || Options.TraceMemory) &&
      Options.Engine != "aarch64") {
    throw UsageError(std::string(Options.TraceMemory ? "--trace-memory" : "--max-instructions") +
                     " needs --engine aarch64");
  }
  return Options;
}

BootLogOptions ParseBootLogCommandLine(const std::vector<std::string>& Arguments) {
  BootLogOptions Options;
  ArgumentReader Reader(Arguments, "bootlog: ");
  bool OptionsEnded = false;
  bool DumpGiven = false;
  while (!Reader.Done()) {
    const std::string Argument = Reader.Next();
    if (!OptionsEnded && Argument == "--") {
      OptionsEnded = true;
      continue;
    }
    if (!OptionsEnded && (Argument == "-h" || Argument == "--help")) {
      Options.Help = true;
      continue;
    }
    if (!OptionsEnded && Argument.size() > 1 && Argument[0] == '-') {
      const size_t Equals = Argument.find('=');
      const std::string Name = Argument.substr(0, Equals);
      const bool Attached = Equals != std::string::npos;
      const std::string AttachedValue = Attached ? Argument.substr(Equals + 1) : std::string();
      std::optional<uint64_t>* Target = Name == "--base"   ? &Options.Base
                                        : Name == "--ring" ? &Options.Ring
                                                           : nullptr;
      if (Name == "--header" && !Attached) {
        Reader.Once(Name);
        Options.Header = true;
      } else if (Target != nullptr) {
        Reader.Once(Name);
        *Target =
            Number(Reader.Value(Name, AttachedValue, Attached, "an ADDR"), "bootlog: " + Name);
      } else {
        throw UsageError("bootlog: unknown option '" + Argument +
                         "' (dxesim --help lists the options)");
      }
      continue;
    }
    if (DumpGiven) {
      throw UsageError("bootlog: one DUMP file only, got '" + Options.DumpFile + "' and '" +
                       Argument + "'");
    }
    if (Argument.empty()) {
      throw UsageError("bootlog: the DUMP file is an empty argument");
    }
    DumpGiven = true;
    Options.DumpFile = Argument;
  }
  if (!DumpGiven && !Options.Help) {
    throw UsageError("bootlog: missing the DUMP file");
  }
  return Options;
}

} // namespace dxesim
