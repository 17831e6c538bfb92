// Board profiles: TOML documents, parsed by toml++ and then held to what a board can be. A profile
// describes hardware that a whole run depends on, so every doubtful input is an error at its place
// in the file rather than a guess.
#include <Sim/BoardProfile.h>

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include <toml++/toml.h>

#include <Sim/Machine.h>
#include <Sim/Status.h>
#include <Sim/Trace.h>
#include <Sim/UserInput.h>

namespace sim {

namespace {

std::string Located(const std::string& File, int Line, int Column, const std::string& Message) {
  std::string Where = File + ":";
  if (Line > 0) {
    Where += std::to_string(Line) + ":";
    if (Column > 0) {
      Where += std::to_string(Column) + ":";
    }
  }
  return PrintableText(Where + " " + Message);
}

} // namespace

ProfileError::ProfileError(const std::string& File, int Line, int Column,
                           const std::string& Message)
    : std::runtime_error(Located(File, Line, Column, Message)), FileName(File), LineNumber(Line),
      ColumnNumber(Column), Text(PrintableText(Message)) {}

namespace {

// toml++ builds, finishes and frees a document recursively, a stack frame or two per level of
// nesting. It stops arrays and inline tables at 256 levels, but dotted keys and table headers nest
// as deep as the file allows: two bytes a level ("a."), 32768 levels in MAX_PROFILE_BYTES. In the
// sanitized builds such a level takes up to about 340 bytes of stack and an array or inline table
// up to 7 KiB, 13 MiB for the deepest profile, so profiles are read on a stack of their own that
// holds it several times over, whatever the caller's stack and its limit.
constexpr size_t READER_STACK_BYTES = 64 << 20;

// The thread that owns that stack, started by the first read and kept for the life of the process
// (starting a thread per read would cost more than most reads). Reads take turns.
class ReaderThread {
public:
  static ReaderThread& Get() {
    // Never destroyed: the thread waits on its members until the process ends.
    static ReaderThread* const Instance = new ReaderThread;
    return *Instance;
  }

  // Runs Work on the reader's stack and rethrows what it throws.
  void Run(const std::string& File, const std::function<void()>& Work) {
    const std::lock_guard<std::mutex> Turn(Turns);
    std::unique_lock<std::mutex> Lock(Mutex);
    if (!Started) {
      Start(File);
    }
    Job = &Work;
    Wake.notify_one();
    Finished.wait(Lock, [this] { return Job == nullptr; });
    if (Failure) {
      std::rethrow_exception(std::exchange(Failure, nullptr));
    }
  }

private:
  void Start(const std::string& File) {
    pthread_attr_t Attributes;
    pthread_attr_init(&Attributes);
    pthread_attr_setstacksize(&Attributes, READER_STACK_BYTES);
    pthread_attr_setdetachstate(&Attributes, PTHREAD_CREATE_DETACHED);
    pthread_t Thread;
    const int Error = pthread_create(
        &Thread, &Attributes,
        [](void* Self) -> void* {
          static_cast<ReaderThread*>(Self)->Serve();
          return nullptr;
        },
        this);
    pthread_attr_destroy(&Attributes);
    if (Error != 0) {
      throw ProfileError(File,
                         std::string("cannot start the profile reader: ") + std::strerror(Error));
    }
    Started = true;
  }

  [[noreturn]] void Serve() {
    std::unique_lock<std::mutex> Lock(Mutex);
    for (;;) {
      Wake.wait(Lock, [this] { return Job != nullptr; });
      const std::function<void()>& Work = *Job;
      Lock.unlock();
      std::exception_ptr Error;
      try {
        Work();
      } catch (...) {
        Error = std::current_exception();
      }
      Lock.lock();
      Failure = Error;
      Job = nullptr;
      Finished.notify_one();
    }
  }

  std::mutex Turns;
  std::mutex Mutex;
  std::condition_variable Wake;
  std::condition_variable Finished;
  bool Started = false;
  const std::function<void()>* Job = nullptr;
  std::exception_ptr Failure;
};

enum class Table { Mem32, Mem8, Reads, Firmware, Timer };

constexpr struct {
  const char* Name;
  Table Kind;
} TABLES[] = {
    {"mem32", Table::Mem32},       {"mem8", Table::Mem8},   {"reads", Table::Reads},
    {"firmware", Table::Firmware}, {"timer", Table::Timer},
};

const char* HeaderOf(Table Kind) {
  switch (Kind) {
  case Table::Mem32:
    return "[mem32]";
  case Table::Mem8:
    return "[mem8]";
  case Table::Reads:
    return "[reads]";
  case Table::Firmware:
    return "[firmware]";
  case Table::Timer:
    return "[timer]";
  }
  return "?";
}

std::string Quote(std::string_view Text) {
  return "'" + PrintableText(Text) + "'";
}

bool IsBareKey(std::string_view Key) {
  return !Key.empty() && std::all_of(Key.begin(), Key.end(), [](char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_' ||
           C == '-';
  });
}

// A table's name as its header is written: [memory], ["firmware.fail"].
std::string HeaderName(std::string_view Key) {
  if (IsBareKey(Key)) {
    return "[" + std::string(Key) + "]";
  }
  std::string Quoted = "[\"";
  for (const char C : Key) {
    Quoted += C == '"' || C == '\\' ? std::string("\\") + C : std::string(1, C);
  }
  return Quoted + "\"]";
}

std::string KindName(const toml::node& Node) {
  switch (Node.type()) {
  case toml::node_type::table:
    return Node.as_table()->is_inline() ? "an inline table" : "a table";
  case toml::node_type::array:
    return Node.is_array_of_tables() ? "an array of tables" : "an array";
  case toml::node_type::string:
    return "a string";
  case toml::node_type::integer:
    return "an integer";
  case toml::node_type::floating_point:
    return "a floating-point number";
  case toml::node_type::boolean:
    return "a boolean";
  case toml::node_type::date:
    return "a date";
  case toml::node_type::time:
    return "a time";
  case toml::node_type::date_time:
    return "a date-time";
  case toml::node_type::none:
    break;
  }
  return "nothing";
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') {
    return C - '0';
  }
  if (C >= 'a' && C <= 'f') {
    return C - 'a' + 10;
  }
  if (C >= 'A' && C <= 'F') {
    return C - 'A' + 10;
  }
  return -1;
}

const char* const TOO_WIDE = "it does not fit in 64 bits";

// An address key: 0x (or 0X) and hex digits, underscores only between two digits as in a TOML hex
// integer. Returns why Key is not one.
std::optional<std::string> ParseHexAddress(std::string_view Key, uint64_t& Value) {
  Value = 0;
  if (Key.size() < 2 || Key[0] != '0' || (Key[1] != 'x' && Key[1] != 'X')) {
    return "it does not start with 0x";
  }
  if (Key.size() == 2) {
    return "it has no digits";
  }
  bool LastWasDigit = false;
  for (size_t I = 2; I < Key.size(); ++I) {
    if (Key[I] == '_') {
      if (!LastWasDigit || I + 1 == Key.size()) {
        return "an underscore must stand between two digits";
      }
      LastWasDigit = false;
      continue;
    }
    const int Digit = HexDigit(Key[I]);
    if (Digit < 0) {
      return Quote(Key.substr(I, 1)) + " is not a hex digit";
    }
    if (Value >> 60 != 0) {
      return TOO_WIDE;
    }
    Value = Value << 4 | static_cast<uint64_t>(Digit);
    LastWasDigit = true;
  }
  return std::nullopt;
}

bool IsOrdinaryMemory(uint64_t At) {
  const auto Inside = [At](uint64_t Base, uint64_t Size) { return At >= Base && At - Base < Size; };
  return Inside(RING_AREA_LOW, RING_AREA_SIZE) || Inside(RING_AREA_HIGH, RING_AREA_SIZE) ||
         Inside(ISP_STATUS_RECORD, ISP_STATUS_RECORD_SIZE);
}

struct Entry {
  const toml::key* Key;
  const toml::node* Node;
};

// toml++ keeps a table's entries sorted by key; errors and lists follow the file.
std::vector<Entry> InDocumentOrder(const toml::table& Table) {
  std::vector<Entry> Entries;
  for (const auto& [Key, Node] : Table) {
    Entries.push_back({&Key, &Node});
  }
  std::stable_sort(Entries.begin(), Entries.end(), [](const Entry& A, const Entry& B) {
    const toml::source_position& P = A.Key->source().begin;
    const toml::source_position& Q = B.Key->source().begin;
    return P.line != Q.line ? P.line < Q.line : P.column < Q.column;
  });
  return Entries;
}

// The words of a toml++ syntax error, without the name of its compile-time setting.
std::string SyntaxMessage(std::string_view Description) {
  std::string Message(Description);
  const std::string_view SETTING = " (TOML_MAX_NESTED_VALUES)";
  if (const size_t At = Message.find(SETTING); At != std::string::npos) {
    Message.erase(At, SETTING.size());
  }
  return Message;
}

class Reader {
public:
  Reader(std::string_view Source, const std::string& FileName) : Text(Source), File(FileName) {}

  BoardProfile Read() {
    toml::table Root;
    try {
      Root = toml::parse(Text);
    } catch (const toml::parse_error& Error) {
      Fail(Error.source(), SyntaxMessage(Error.description()));
    }
    ReadRoot(Root);
    return Profile;
  }

private:
  [[noreturn]] void Fail(const toml::source_region& At, const std::string& Message) const {
    throw ProfileError(File, static_cast<int>(At.begin.line), static_cast<int>(At.begin.column),
                       Message);
  }

  // Where a position (line and column, counted in characters from 1) lies in Text.
  size_t Offset(const toml::source_position& At) const {
    size_t Pos = Text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    for (uint32_t Line = 1; Line < At.line && Pos < Text.size(); ++Line) {
      const size_t End = Text.find('\n', Pos);
      Pos = End == std::string_view::npos ? Text.size() : End + 1;
    }
    for (uint32_t Column = 1; Column < At.column && Pos < Text.size(); ++Column) {
      ++Pos;
      while (Pos < Text.size() && (static_cast<uint8_t>(Text[Pos]) & 0xC0) == 0x80) {
        ++Pos;
      }
    }
    return Pos;
  }

  // An integer as written in the file, such as 0x1_0000_0000.
  std::string Literal(const toml::value<int64_t>& Integer) const {
    const toml::source_region& Region = Integer.source();
    if (Region.begin.line != 0 && Region.end.line == Region.begin.line) {
      const size_t Start = Offset(Region.begin);
      const size_t End = Offset(Region.end);
      if (Start < End) {
        return std::string(Text.substr(Start, End - Start));
      }
    }
    return std::to_string(Integer.get());
  }

  uint64_t ReadUnsigned(const toml::node& Node, const std::string& What, unsigned Bits) const {
    const toml::value<int64_t>* Integer = Node.as_integer();
    if (Integer == nullptr) {
      Fail(Node.source(), What + " must be an integer, not " + KindName(Node));
    }
    const int64_t Value = Integer->get();
    if (Value < 0) {
      Fail(Node.source(), What + " is negative: " + Literal(*Integer));
    }
    if (Bits < 64 && static_cast<uint64_t>(Value) >> Bits != 0) {
      Fail(Node.source(),
           What + " does not fit in " + std::to_string(Bits) + " bits: " + Literal(*Integer));
    }
    return static_cast<uint64_t>(Value);
  }

  void ReadRoot(const toml::table& Root) {
    for (const Entry& E : InDocumentOrder(Root)) {
      const std::string Key(E.Key->str());
      if (Key == "name") {
        const toml::value<std::string>* Name = E.Node->as_string();
        if (Name == nullptr) {
          Fail(E.Node->source(), "name must be a string, not " + KindName(*E.Node));
        }
        Profile.Name = Name->get();
        continue;
      }
      const auto Known = std::find_if(std::begin(TABLES), std::end(TABLES),
                                      [&Key](const auto& T) { return Key == T.Name; });
      if (Known == std::end(TABLES)) {
        if (E.Node->is_table() && !E.Node->as_table()->is_inline()) {
          Fail(E.Key->source(), "unknown table " + HeaderName(Key) +
                                    " (expected [mem32], [mem8], [reads], [firmware], "
                                    "[firmware.fail] or [timer])");
        }
        Fail(E.Key->source(), "unknown key " + Quote(Key) + " at the top level (expected name)");
      }
      const toml::table* Contents = E.Node->as_table();
      if (Contents == nullptr) {
        if (E.Node->is_array_of_tables()) {
          Fail(E.Key->source(),
               "arrays of tables ([[" + Key + "]]) are not used in board profiles");
        }
        Fail(E.Node->source(),
             std::string(HeaderOf(Known->Kind)) + " must be a table, not " + KindName(*E.Node));
      }
      switch (Known->Kind) {
      case Table::Mem32:
      case Table::Mem8:
      case Table::Reads:
        ReadAddressed(*Contents, Known->Kind);
        break;
      case Table::Firmware:
        ReadFirmware(*Contents);
        break;
      case Table::Timer:
        ReadTimer(*Contents);
        break;
      }
    }
  }

  // [mem32], [mem8] and [reads]: each address once, by its value (0xC0 and 0x00c0 are one).
  void ReadAddressed(const toml::table& Contents, Table Kind) {
    const std::string Header = HeaderOf(Kind);
    std::map<uint64_t, uint32_t> FirstLine;
    for (const Entry& E : InDocumentOrder(Contents)) {
      const std::string Key(E.Key->str());
      uint64_t At = 0;
      if (const auto Why = ParseHexAddress(Key, At)) {
        if (*Why == TOO_WIDE) {
          Fail(E.Key->source(), "address " + Key + " in " + Header + " does not fit in 64 bits");
        }
        Fail(E.Key->source(), "key " + Quote(Key) + " in " + Header +
                                  " is not an address (a hex literal such as 0x8000FFFC): " + *Why);
      }
      if (Kind != Table::Mem8 && At % 4 != 0) {
        Fail(E.Key->source(), "address " + Hex(At) + " in " + Header + " is not 4-byte aligned");
      }
      const auto [First, Inserted] = FirstLine.emplace(At, E.Key->source().begin.line);
      if (!Inserted) {
        Fail(E.Key->source(), "duplicate address " + Hex(At) + " in " + Header +
                                  " (first given at line " + std::to_string(First->second) + ")");
      }
      switch (Kind) {
      case Table::Mem32:
        Profile.Mem32.push_back({At, static_cast<uint32_t>(ReadUnsigned(
                                         *E.Node, "value for " + Hex(At) + " in " + Header, 32))});
        break;
      case Table::Mem8:
        Profile.Mem8.push_back({At, static_cast<uint8_t>(ReadUnsigned(
                                        *E.Node, "value for " + Hex(At) + " in " + Header, 8))});
        break;
      default:
        ReadScript(E, At);
        break;
      }
    }
  }

  void ReadScript(const Entry& E, uint64_t At) {
    const toml::array* Values = E.Node->as_array();
    if (Values == nullptr) {
      Fail(E.Node->source(), "scripted reads for " + Hex(At) +
                                 " must be an array of integers, not " + KindName(*E.Node));
    }
    if (IsOrdinaryMemory(At)) {
      Fail(E.Key->source(), "scripted reads at " + Hex(At) +
                                " lie in ordinary memory, which is not read through registers");
    }
    std::vector<uint32_t> Script;
    for (const toml::node& Item : *Values) {
      Script.push_back(
          static_cast<uint32_t>(ReadUnsigned(Item, "scripted read for " + Hex(At), 32)));
    }
    Profile.Reads.push_back({At, std::move(Script)});
  }

  void ReadFirmware(const toml::table& Contents) {
    for (const Entry& E : InDocumentOrder(Contents)) {
      const std::string Key(E.Key->str());
      if (Key == "pcd") {
        const toml::value<bool>* Pcd = E.Node->as_boolean();
        if (Pcd == nullptr) {
          Fail(E.Node->source(),
               "pcd in [firmware] must be true or false, not " + KindName(*E.Node));
        }
        Profile.Pcd = Pcd->get();
      } else if (Key == "fail") {
        const toml::table* Failures = E.Node->as_table();
        if (Failures == nullptr) {
          Fail(E.Node->source(), "fail in [firmware] must be a table such as { CreateEvent = "
                                 "\"EFI_OUT_OF_RESOURCES\" }, not " +
                                     KindName(*E.Node));
        }
        ReadFailures(*Failures);
      } else {
        Fail(E.Key->source(),
             "unknown key " + Quote(Key) + " in [firmware] (expected pcd or fail)");
      }
    }
  }

  void ReadFailures(const toml::table& Failures) {
    for (const Entry& E : InDocumentOrder(Failures)) {
      const std::string Service(E.Key->str());
      if (!IsFailableService(Service)) {
        Fail(E.Key->source(), "unknown firmware service " + Quote(Service) + " (expected " +
                                  FailableServiceList() + ")");
      }
      const toml::value<std::string>* Status = E.Node->as_string();
      if (Status == nullptr) {
        Fail(E.Node->source(),
             "the status for " + Service + " must be a string: a status name or a hex literal");
      }
      const std::optional<uint64_t> Value = ParseStatus(Status->get());
      if (!Value) {
        Fail(E.Node->source(),
             "unknown status " + Quote(Status->get()) + " for " + Service +
                 " (a status name such as EFI_OUT_OF_RESOURCES, or a hex literal)");
      }
      Profile.Fail[Service] = *Value;
    }
  }

  void ReadTimer(const toml::table& Contents) {
    for (const Entry& E : InDocumentOrder(Contents)) {
      if (E.Key->str() != "frequency") {
        Fail(E.Key->source(),
             "unknown key " + Quote(E.Key->str()) + " in [timer] (expected frequency)");
      }
      // CNTFRQ_EL0 holds the frequency in its low 32 bits; 0 would stop every delay.
      Profile.TimerFrequency = ReadUnsigned(*E.Node, "frequency in [timer]", 32);
      if (Profile.TimerFrequency == 0) {
        Fail(E.Node->source(), "frequency in [timer] must not be 0");
      }
    }
  }

  std::string_view Text;
  const std::string& File;
  BoardProfile Profile;
};

std::string TooLargeMessage() {
  return "the board profile holds more than " + std::to_string(MAX_PROFILE_BYTES) +
         " bytes (64 KiB), the most a profile may hold";
}

} // namespace

BoardProfile ParseBoardProfile(std::string_view Text, const std::string& FileName) {
  if (Text.size() > MAX_PROFILE_BYTES) {
    throw ProfileError(FileName, TooLargeMessage());
  }
  BoardProfile Profile;
  ReaderThread::Get().Run(FileName, [&] { Profile = Reader(Text, FileName).Read(); });
  return Profile;
}

BoardProfile LoadBoardProfile(const std::string& Path) {
  const FileContents Contents = ReadUserFile(Path, MAX_PROFILE_BYTES);
  switch (Contents.Problem) {
  case ReadProblem::None:
    break;
  case ReadProblem::CannotRead:
    throw ProfileError(Path, "cannot read the board profile: " + Contents.Reason);
  case ReadProblem::Folder:
    throw ProfileError(Path, "is a folder, not a board profile");
  case ReadProblem::TooLarge:
    throw ProfileError(Path, TooLargeMessage());
  }
  return ParseBoardProfile(Contents.Bytes, Path);
}

BoardProfile DefaultBoardProfile() {
  return ParseBoardProfile(DefaultBoardProfileText(), DEFAULT_BOARD_FILE);
}

} // namespace sim
