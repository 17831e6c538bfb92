#include <Sim/Boot.h>

#include <Protocol/ImagerLaunch.h>
#include <Sim/Status.h>

namespace sim {

const char* const DRIVER_NAMES[4] = {"RootPortBringup", "ImagerLauncher", "PortErrorSetup",
                                     "NetBootClassId"};

const EFI_GUID IMAGER_LAUNCH_PROTOCOL_GUID_VALUE = IMAGER_LAUNCH_PROTOCOL_GUID;

namespace {

struct CallKind {
  const char* Name;
  size_t Arguments;
  size_t Member; // index in the protocol interface; ExitBootServices has none
  CallShape Shape;
};

constexpr CallKind CALL_KINDS[] = {
    {"StartIsp", 4, offsetof(IMAGER_LAUNCH_PROTOCOL, StartIsp), CallShape::StartIsp},
    {"SetIspStatus", 2, offsetof(IMAGER_LAUNCH_PROTOCOL, SetIspStatus), CallShape::SetIspStatus},
    {"WriteIspMarker", 0, offsetof(IMAGER_LAUNCH_PROTOCOL, WriteIspMarker), CallShape::NoArguments},
    {"ExitBootServices", 0, 0, CallShape::Notify},
};

const CallKind* FindCallKind(const std::string& Name) {
  for (const CallKind& Kind : CALL_KINDS) {
    if (Name == Kind.Name) {
      return &Kind;
    }
  }
  return nullptr;
}

std::string CallText(const CallSpec& Spec) {
  std::string Text = Spec.Name;
  for (uint64_t Argument : Spec.Arguments) {
    Text += " " + Hex(Argument);
  }
  return Text;
}

} // namespace

bool IsDriverName(const std::string& Name) {
  for (const char* Driver : DRIVER_NAMES) {
    if (Name == Driver) {
      return true;
    }
  }
  return false;
}

bool ParseInteger(const std::string& Text, uint64_t& Value) {
  if (Text.empty() || Text[0] < '0' || Text[0] > '9') {
    return false;
  }
  const int Base =
      Text.size() > 1 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X') ? 16 : 10;
  // A C literal with a leading zero is octal: refused rather than misread as decimal.
  if (Base == 10 && Text.size() > 1 && Text[0] == '0') {
    return false;
  }
  try {
    size_t Used = 0;
    Value = std::stoull(Text, &Used, Base);
    return Used == Text.size();
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseCallSpec(const std::string& Text, CallSpec& Spec, std::string& Error) {
  std::vector<std::string> Fields;
  size_t Start = 0;
  for (;;) {
    const size_t Colon = Text.find(':', Start);
    Fields.push_back(Text.substr(Start, Colon - Start));
    if (Colon == std::string::npos) {
      break;
    }
    Start = Colon + 1;
  }
  const CallKind* Kind = FindCallKind(Fields[0]);
  if (Kind == nullptr) {
    Error = "unknown call '" + Fields[0] +
            "' (expected StartIsp, SetIspStatus, WriteIspMarker or ExitBootServices)";
    return false;
  }
  if (Fields.size() - 1 != Kind->Arguments) {
    Error = "call " + Fields[0] + " takes " + std::to_string(Kind->Arguments) + " argument" +
            (Kind->Arguments == 1 ? "" : "s") + ", got " + std::to_string(Fields.size() - 1);
    return false;
  }
  Spec.Name = Fields[0];
  Spec.Arguments.clear();
  for (size_t I = 1; I < Fields.size(); ++I) {
    uint64_t Value = 0;
    const uint64_t Limit = Kind->Shape == CallShape::StartIsp && I <= 2 ? UINT64_MAX : UINT32_MAX;
    if (!ParseInteger(Fields[I], Value) || Value > Limit) {
      Error = "call " + Fields[0] + ": argument " + std::to_string(I) + " '" + Fields[I] +
              "' is not a " + (Limit == UINT32_MAX ? "32" : "64") + "-bit number";
      return false;
    }
    Spec.Arguments.push_back(Value);
  }
  return true;
}

DriverResult DispatchDriver(Engine& E, Machine& M, const std::string& Name) {
  DriverResult Result{Name, 0, false};
  M.Record({EventKind::Entry, 0, 0, Name});
  Result.Completed = E.RunDriver(Name, Result.Status);
  if (Result.Completed) {
    M.Record({EventKind::Exit, 0, Result.Status, Name});
  }
  return Result;
}

CallOutcome MakeCall(Engine& E, Machine& M, const CallSpec& Spec, uint64_t& Status) {
  const CallKind* Kind = FindCallKind(Spec.Name);
  if (Kind->Shape == CallShape::Notify) {
    M.Record({EventKind::Call, 0, 0, CallText(Spec)});
    for (FirmwareEvent& Event : E.Fw().Events()) {
      if (Event.Type != EVT_SIGNAL_EXIT_BOOT_SERVICES || Event.Signalled) {
        continue;
      }
      Event.Signalled = true;
      const uint64_t Arguments[2] = {Event.Handle, Event.NotifyContext};
      uint64_t Ignored = 0;
      M.SetRunningImage(Event.Owner);
      if (!E.CallFunction(Event.NotifyFunction, CallShape::Notify, Arguments, Ignored)) {
        return CallOutcome::Stopped;
      }
    }
    Status = EFI_SUCCESS;
    return CallOutcome::Done;
  }

  uint64_t Interface = 0;
  std::string Owner;
  if (!E.Fw().FindProtocol(IMAGER_LAUNCH_PROTOCOL_GUID_VALUE, Interface, &Owner)) {
    return CallOutcome::NotInstalled;
  }
  uint64_t Member = 0;
  E.Memory().Read(Interface + Kind->Member, &Member, sizeof(Member));
  M.Record({EventKind::Call, 0, 0, CallText(Spec)});
  M.SetRunningImage(Owner);
  if (!E.CallFunction(Member, Kind->Shape, Spec.Arguments.data(), Status)) {
    return CallOutcome::Stopped;
  }
  M.Record({EventKind::Ret, 0, Status, Spec.Name});
  return CallOutcome::Done;
}

} // namespace sim
