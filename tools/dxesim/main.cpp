// dxesim: runs the driver images on a simulated board and firmware, as the DXE core would, and
// decodes boot-log ring dumps.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <Sim/Aarch64Engine.h>
#include <Sim/Boot.h>
#include <Sim/BootLog.h>
#include <Sim/Machine.h>
#include <Sim/NativeEngine.h>
#include <Sim/Status.h>
#include <Sim/UserInput.h>

#include "CommandLine.h"

namespace {

constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_BAD_INPUT = 2;
constexpr int EXIT_CALL_NOT_MADE = 3;
constexpr int EXIT_STOPPED = 4;

constexpr uint64_t DUMP_CHUNK = 1 << 16;

// The one place where dxesim chooses how the images run.
std::unique_ptr<sim::Engine> MakeEngine(sim::Machine& Machine, const std::string& Name) {
  if (Name == "aarch64") {
    return std::make_unique<sim::Aarch64Engine>(Machine);
  }
  return std::make_unique<sim::NativeEngine>(Machine);
}

// One line, whatever a file name, argument or profile text in the message holds.
void Complain(const std::string& Message) {
  std::fflush(stdout);
  std::fprintf(stderr, "dxesim: %s\n", sim::PrintableText(Message).c_str());
}

void ReportStatus(const std::string& Name, uint64_t Status) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s (0x%016llx)\n", Name.c_str(), sim::StatusName(Status).c_str(),
               static_cast<unsigned long long>(Status));
}

std::string SystemError() {
  return std::strerror(errno);
}

std::unique_ptr<std::ofstream> OpenOutput(const std::string& File, const char* What) {
  auto Out = std::make_unique<std::ofstream>(File, std::ios::binary | std::ios::trunc);
  if (!*Out) {
    throw dxesim::UsageError(std::string("cannot write ") + What + " '" + File +
                             "': " + SystemError());
  }
  return Out;
}

std::string CallText(const sim::CallSpec& Call) {
  std::string Text = Call.Name;
  for (const uint64_t Argument : Call.Arguments) {
    Text += ":" + sim::Hex(Argument);
  }
  return Text;
}

std::string StopText(const sim::Machine& Machine) {
  if (Machine.Stopped() == sim::StopKind::AccessBudget) {
    return "run stopped in " + Machine.RunningImageName() + ": " + Machine.StopMessage();
  }
  return "run stopped: " + Machine.StopMessage();
}

// Files written after the run, opened before it so that a bad path fails before anything runs.
struct Outputs {
  std::unique_ptr<std::ofstream> Trace;
  std::unique_ptr<std::ofstream> Firmware;
  std::vector<std::unique_ptr<std::ofstream>> Dumps;
};

bool WriteDump(sim::Machine& Machine, const dxesim::DumpRequest& Dump, std::ofstream& Out) {
  std::vector<uint8_t> Buffer;
  for (uint64_t Done = 0; Done < Dump.Length;) {
    const uint64_t Chunk = std::min(DUMP_CHUNK, Dump.Length - Done);
    Buffer.resize(Chunk);
    Machine.Memory().Load(Dump.Address + Done, Buffer.data(), Chunk);
    Out.write(reinterpret_cast<const char*>(Buffer.data()), static_cast<std::streamsize>(Chunk));
    Done += Chunk;
  }
  Out.close();
  return !Out.fail();
}

int Run(const dxesim::RunOptions& Options) {
  const sim::BoardProfile Board = Options.BoardFile.empty()
                                      ? sim::DefaultBoardProfile()
                                      : sim::LoadBoardProfile(Options.BoardFile);
  const std::vector<std::string> Drivers =
      Options.Drivers.empty()
          ? std::vector<std::string>(std::begin(sim::DRIVER_NAMES), std::end(sim::DRIVER_NAMES))
          : Options.Drivers;

  sim::Machine Machine(Board);
  Machine.SetAccessBudget(Options.MaxAccesses);
  Machine.SetInstructionBudget(Options.MaxInstructions);
  Machine.SetTraceMemory(Options.TraceMemory);
  Machine.SetKeepEvents(false);
  std::unique_ptr<sim::Engine> Engine = MakeEngine(Machine, Options.Engine);
  for (const std::string& Driver : Drivers) {
    const std::string Image = Engine->ImageFile(Driver);
    std::error_code Error;
    if (!std::filesystem::is_regular_file(Image, Error)) {
      throw dxesim::UsageError("no image for driver " + Driver + ": " + Image + " not found");
    }
    Engine->PrepareDriver(Driver);
  }

  Outputs Out;
  if (!Options.TraceFile.empty()) {
    Out.Trace = OpenOutput(Options.TraceFile, "the trace file");
  }
  if (!Options.FirmwareFile.empty() && Options.FirmwareFile != "-") {
    Out.Firmware = OpenOutput(Options.FirmwareFile, "the firmware list");
  }
  for (const dxesim::DumpRequest& Dump : Options.Dumps) {
    Out.Dumps.push_back(OpenOutput(Dump.File, "the dump file"));
  }

  // The console goes out byte by byte, so that it is complete up to a stop or a crash.
  Machine.SetConsoleSink([](char C) {
    std::fputc(C, stdout);
    std::fflush(stdout);
  });
  if (Out.Trace) {
    std::ofstream& Trace = *Out.Trace;
    // A comment line holds the profile's name and path escaped, so that neither can end it.
    Trace << "# dxesim trace: board \"" << sim::PrintableText(Board.Name) << "\" ("
          << sim::PrintableText(Options.BoardFile.empty()
                                    ? std::string("built-in ") + sim::DEFAULT_BOARD_FILE
                                    : Options.BoardFile)
          << ")" << (Options.Engine == "aarch64" ? ", engine aarch64" : "") << "\n";
    Machine.SetEventSink([&Trace](const sim::Event& E) {
      Trace << sim::FormatEvent(E, true) << '\n';
      if (E.Kind == sim::EventKind::Entry || E.Kind == sim::EventKind::Exit) {
        Trace.flush();
      }
    });
  }

  int Exit = EXIT_COMPLETED;
  for (const std::string& Driver : Drivers) {
    const sim::DriverResult Result = sim::DispatchDriver(*Engine, Machine, Driver);
    if (!Result.Completed) {
      Exit = EXIT_STOPPED;
      break;
    }
    ReportStatus(Driver, Result.Status);
  }
  for (size_t I = 0; Exit == EXIT_COMPLETED && I < Options.Calls.size(); ++I) {
    const sim::CallSpec& Call = Options.Calls[I];
    uint64_t Status = 0;
    switch (sim::MakeCall(*Engine, Machine, Call, Status)) {
    case sim::CallOutcome::Done:
      if (Call.Name != "ExitBootServices") {
        ReportStatus(Call.Name, Status);
      }
      break;
    case sim::CallOutcome::NotInstalled:
      Complain("--call " + CallText(Call) + " not made: ImagerLaunchProtocol (" +
               sim::FormatGuid(sim::IMAGER_LAUNCH_PROTOCOL_GUID_VALUE) + ") is not installed");
      Exit = EXIT_CALL_NOT_MADE;
      break;
    case sim::CallOutcome::Stopped:
      Exit = EXIT_STOPPED;
      break;
    }
  }
  if (Exit == EXIT_STOPPED) {
    Complain(StopText(Machine));
    if (Out.Trace) {
      *Out.Trace << "# " << sim::PrintableText(StopText(Machine)) << '\n';
    }
  }

  Machine.SetEventSink(nullptr);
  if (Out.Trace) {
    Out.Trace->close();
    if (Out.Trace->fail()) {
      Complain("error writing the trace file '" + Options.TraceFile + "'");
      Exit = Exit == EXIT_COMPLETED ? EXIT_BAD_INPUT : Exit;
    }
  }
  for (size_t I = 0; I < Options.Dumps.size(); ++I) {
    if (!WriteDump(Machine, Options.Dumps[I], *Out.Dumps[I])) {
      Complain("error writing the dump file '" + Options.Dumps[I].File + "'");
      Exit = Exit == EXIT_COMPLETED ? EXIT_BAD_INPUT : Exit;
    }
  }
  if (Options.BootLog) {
    const sim::BootLog Log = sim::ReadBootLog(Machine.Memory());
    Complain("boot log: " + sim::DescribeBootLog(Log));
    std::fwrite(Log.Text.data(), 1, Log.Text.size(), stdout);
    std::fflush(stdout);
  }
  if (!Options.FirmwareFile.empty()) {
    const std::string Report = sim::FormatFirmwareObjects(Engine->Fw());
    if (Out.Firmware) {
      *Out.Firmware << Report;
      Out.Firmware->close();
      if (Out.Firmware->fail()) {
        Complain("error writing the firmware list '" + Options.FirmwareFile + "'");
        Exit = Exit == EXIT_COMPLETED ? EXIT_BAD_INPUT : Exit;
      }
    } else {
      std::fwrite(Report.data(), 1, Report.size(), stdout);
      std::fflush(stdout);
    }
  }
  return Exit;
}

std::string ReadDump(const std::string& Path) {
  sim::FileContents Contents = sim::ReadUserFile(Path, dxesim::MAX_DUMP_LENGTH);
  switch (Contents.Problem) {
  case sim::ReadProblem::None:
    break;
  case sim::ReadProblem::CannotRead:
    throw dxesim::UsageError("bootlog: cannot read '" + Path + "': " + Contents.Reason);
  case sim::ReadProblem::Folder:
    throw dxesim::UsageError("bootlog: '" + Path + "' is a folder, not a dump");
  case sim::ReadProblem::TooLarge:
    throw dxesim::UsageError("bootlog: '" + Path + "' is larger than the 1 GiB a dump may hold");
  }
  return std::move(Contents.Bytes);
}

int RunBootLogCommand(const dxesim::BootLogOptions& Options) {
  const std::string Dump = ReadDump(Options.DumpFile);
  const uint64_t Size = Dump.size();
  const auto Within = [&](uint64_t Base, uint64_t At) { return At >= Base && At - Base < Size; };
  uint64_t Base = 0;
  uint64_t Ring = 0;
  if (Options.Ring) {
    Ring = *Options.Ring;
    Base = Options.Base.value_or(Ring);
    if (!Within(Base, Ring)) {
      throw dxesim::UsageError("bootlog: the ring at " + sim::Hex(Ring) +
                               " lies outside the dump, which starts at " + sim::Hex(Base) +
                               " and holds " + std::to_string(Size) + " bytes");
    }
  } else if (Options.Base) {
    Base = *Options.Base;
    const bool High = Within(Base, sim::RING_AREA_HIGH);
    const bool Low = Within(Base, sim::RING_AREA_LOW);
    if (High == Low) {
      throw dxesim::UsageError(
          std::string("bootlog: ") +
          (High ? "the dump holds both ring addresses" : "the dump holds neither ring address") +
          " (0x31280000, 0xc5280000); name the ring with --ring");
    }
    Ring = High ? sim::RING_AREA_HIGH : sim::RING_AREA_LOW;
  } else {
    Base = Ring = sim::RING_AREA_HIGH;
  }

  const auto* Bytes = reinterpret_cast<const uint8_t*>(Dump.data());
  const sim::BootLog Log = sim::DecodeBootLog(Bytes + (Ring - Base), Size - (Ring - Base), Ring);
  if (Log.State != sim::BootLogState::Decoded) {
    Complain("bootlog: " + Options.DumpFile + ": " + Log.Problem);
    return EXIT_BAD_INPUT;
  }
  if (Options.Header) {
    std::printf("# ring %s magic %s\n", sim::Hex(Log.Ring).c_str(), sim::Hex(Log.Magic).c_str());
    std::printf("# area header %s: AreaSize %s (%u-byte data area), WriteOffset %s, Wrapped %u, "
                "LevelInForce %u\n",
                sim::Hex(Log.AreaHeader).c_str(), sim::Hex(Log.AreaSize).c_str(), Log.Capacity,
                sim::Hex(Log.WriteOffset).c_str(), Log.Wrapped, Log.LevelInForce);
  }
  std::fwrite(Log.Text.data(), 1, Log.Text.size(), stdout);
  std::fflush(stdout);
  return EXIT_COMPLETED;
}

} // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> Arguments(argv + 1, argv + argc);
  try {
    if (!Arguments.empty() && Arguments[0] == "bootlog") {
      const dxesim::BootLogOptions Options =
          dxesim::ParseBootLogCommandLine({Arguments.begin() + 1, Arguments.end()});
      if (Options.Help) {
        std::fputs(dxesim::HELP_TEXT, stdout);
        return EXIT_COMPLETED;
      }
      return RunBootLogCommand(Options);
    }
    const dxesim::RunOptions Options = dxesim::ParseRunCommandLine(Arguments);
    if (Options.Help) {
      std::fputs(dxesim::HELP_TEXT, stdout);
      return EXIT_COMPLETED;
    }
    return Run(Options);
  } catch (const dxesim::UsageError& Error) {
    Complain(Error.what());
  } catch (const sim::ProfileError& Error) {
    Complain(Error.what());
  } catch (const std::runtime_error& Error) {
    Complain(Error.what());
  }
  return EXIT_BAD_INPUT;
}
