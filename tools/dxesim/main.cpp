// dxesim: runs the driver images on a simulated board and firmware.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <Sim/Boot.h>
#include <Sim/Machine.h>
#include <Sim/NativeEngine.h>
#include <Sim/Status.h>

namespace {

// A silicon board with chip variant 1, board id 0x33 and the boot-log ring present.
sim::BoardProfile DefaultBoard() {
  sim::BoardProfile Board;
  Board.Name = "default silicon board";
  Board.Mem32 = {{0x8000FFFC, 0x0},        {0x8000FFF8, 0x1},        {0x8000F07C, 0x33},
                 {0x8000E08C, 0x10000000}, {0x80020008, 0x0A6E4C00}, {0x881100F0, 0x1234ABCD},
                 {0x881100F4, 0x9876FEDC}, {0xC5280000, 0xEAEA2020}, {0xC5280400 + 0x04, 0x2000}};
  Board.Reads = {{0xA2916088, {0, 0, 0x40000}}};
  return Board;
}

int Usage() {
  std::fprintf(stderr, "usage: dxesim [--trace FILE] [DRIVER...]\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Drivers;
  std::string TraceFile;
  for (int I = 1; I < argc; ++I) {
    const std::string Argument = argv[I];
    if (Argument == "--trace" && I + 1 < argc) {
      TraceFile = argv[++I];
    } else if (sim::IsDriverName(Argument)) {
      Drivers.push_back(Argument);
    } else {
      std::fprintf(stderr, "dxesim: unknown argument '%s'\n", Argument.c_str());
      return Usage();
    }
  }
  if (Drivers.empty()) {
    Drivers.assign(std::begin(sim::DRIVER_NAMES), std::end(sim::DRIVER_NAMES));
  }

  sim::Machine Machine(DefaultBoard());
  Machine.SetConsoleSink([](char C) {
    std::fputc(C, stdout);
    std::fflush(stdout);
  });
  sim::NativeEngine Engine(Machine);
  int Exit = 0;
  for (const std::string& Name : Drivers) {
    const sim::DriverResult Result = sim::DispatchDriver(Engine, Machine, Name);
    if (!Result.Completed) {
      std::fprintf(stderr, "dxesim: run stopped: %s\n", Machine.StopMessage().c_str());
      Exit = 4;
      break;
    }
    std::fprintf(stderr, "%s: %s (0x%016llx)\n", Name.c_str(),
                 sim::StatusName(Result.Status).c_str(),
                 static_cast<unsigned long long>(Result.Status));
  }
  if (!TraceFile.empty()) {
    std::ofstream(TraceFile) << sim::FormatTrace(Machine.Events(), true);
  }
  return Exit;
}
