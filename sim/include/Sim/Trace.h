// The event trace: every traced access and firmware interaction of a run, in order, and its
// text form (one event per line, numbers as C literals).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class EventKind {
  Read32,  // R32 ADDR VALUE
  Write32, // W32 ADDR VALUE
  Read8,   // R8 ADDR VALUE
  Write8,  // W8 ADDR VALUE
  Barrier, // DSB
  Delay,   // DELAY US
  Entry,   // ENTRY DRIVER
  Exit,    // EXIT DRIVER STATUS
  Call,    // CALL NAME ARGS...
  Ret,     // RET NAME STATUS
  Service, // BS SERVICE ARGS... -> STATUS
  // SYSREG NAME VALUE: a system-register read by an image that runs as machine code (the
  // generic timer's CNTFRQ_EL0 and CNTPCT_EL0)
  SystemRegister,
  // MR<width> ADDR VALUE / MW<width> ADDR VALUE: a load or store of the SoC's ordinary memory
  // (the ring areas and the ISP status record), with --trace-memory on the emulation engine
  MemoryRead,
  MemoryWrite,
};

struct Event {
  EventKind Kind;
  uint64_t Address = 0; // register accesses
  uint64_t Value = 0;   // access value, delay, or status
  std::string Text;     // driver, call or service name with its arguments
  unsigned Width = 0;   // bits, of a memory access

  bool operator==(const Event&) const = default;
};

bool IsRegisterAccess(EventKind Kind);

// One trace line, without a trailing newline. With Annotate, known register addresses carry
// their name as a trailing comment.
std::string FormatEvent(const Event& E, bool Annotate = false);
std::string FormatTrace(const std::vector<Event>& Events, bool Annotate = false);

// Name of a register of the SoC, or nullptr.
const char* LookupRegisterName(uint64_t Address);

std::string Hex(uint64_t Value);

} // namespace sim
