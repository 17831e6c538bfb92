#include <Sim/Trace.h>

#include <cstdio>

#include <Sim/Status.h>

namespace sim {

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

bool IsRegisterAccess(EventKind Kind) {
  return Kind == EventKind::Read32 || Kind == EventKind::Write32 || Kind == EventKind::Read8 ||
         Kind == EventKind::Write8;
}

std::string FormatEvent(const Event& E, bool Annotate) {
  std::string Line;
  switch (E.Kind) {
  case EventKind::Read32:
    Line = "R32 " + Hex(E.Address) + " " + Hex(E.Value);
    break;
  case EventKind::Write32:
    Line = "W32 " + Hex(E.Address) + " " + Hex(E.Value);
    break;
  case EventKind::Read8:
    Line = "R8 " + Hex(E.Address) + " " + Hex(E.Value);
    break;
  case EventKind::Write8:
    Line = "W8 " + Hex(E.Address) + " " + Hex(E.Value);
    break;
  case EventKind::Barrier:
    return "DSB";
  case EventKind::Delay:
    return "DELAY " + std::to_string(E.Value);
  case EventKind::Entry:
    return "ENTRY " + E.Text;
  case EventKind::Exit:
    return "EXIT " + E.Text + " " + StatusName(E.Value);
  case EventKind::Call:
    return "CALL " + E.Text;
  case EventKind::Ret:
    return "RET " + E.Text + " " + StatusName(E.Value);
  case EventKind::Service:
    return "BS " + E.Text + " -> " + StatusName(E.Value);
  case EventKind::SystemRegister:
    return "SYSREG " + E.Text + " " + Hex(E.Value);
  case EventKind::MemoryRead:
  case EventKind::MemoryWrite:
    // The instruction is named when it is not a single load or store of that width.
    return (E.Kind == EventKind::MemoryRead ? "MR" : "MW") + std::to_string(E.Width) + " " +
           Hex(E.Address) + " " + Hex(E.Value) + (E.Text.empty() ? "" : " # " + E.Text);
  }
  if (Annotate) {
    if (const char* Name = LookupRegisterName(E.Address)) {
      Line += " # ";
      Line += Name;
    }
  }
  return Line;
}

std::string FormatTrace(const std::vector<Event>& Events, bool Annotate) {
  std::string Text;
  for (const Event& E : Events) {
    Text += FormatEvent(E, Annotate);
    Text += '\n';
  }
  return Text;
}

} // namespace sim
