// Board profiles: the TOML subset that the board files use, parsed strictly. A profile describes
// hardware that a whole run depends on, so every doubtful input is an error with its line rather
// than a guess.
#include <Sim/BoardProfile.h>

#include <fstream>
#include <optional>
#include <sstream>

#include <Sim/Machine.h>
#include <Sim/Status.h>
#include <Sim/Trace.h>

namespace sim {

ProfileError::ProfileError(const std::string& File, int Line, const std::string& Message)
    : std::runtime_error(File + ":" + (Line > 0 ? std::to_string(Line) + ":" : "") + " " + Message),
      FileName(File), LineNumber(Line), Text(Message) {}

namespace {

enum class ValueKind { Integer, Boolean, String, Array, InlineTable };

struct Field;

struct Value {
  ValueKind Kind = ValueKind::Integer;
  int Line = 0;
  uint64_t Magnitude = 0; // integers: absolute value
  bool Negative = false;
  bool Boolean = false;
  std::string Text; // strings; for integers the literal as written
  std::vector<Value> Items;
  std::vector<Field> Fields;
};

struct Field {
  std::string Key;
  int Line;
  Value Val;
};

enum class Table { Root, Mem32, Mem8, Reads, Firmware, Fail, Timer };

const char* TableName(Table T) {
  switch (T) {
  case Table::Root:
    return "the top level";
  case Table::Mem32:
    return "[mem32]";
  case Table::Mem8:
    return "[mem8]";
  case Table::Reads:
    return "[reads]";
  case Table::Firmware:
    return "[firmware]";
  case Table::Fail:
    return "[firmware.fail]";
  case Table::Timer:
    return "[timer]";
  }
  return "?";
}

bool IsBareKeyChar(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_' ||
         C == '-';
}

bool IsValueTokenChar(char C) {
  return IsBareKeyChar(C) || C == '+' || C == '.' || C == ':';
}

int DigitValue(char C) {
  if (C >= '0' && C <= '9') {
    return C - '0';
  }
  if (C >= 'a' && C <= 'f') {
    return C - 'a' + 10;
  }
  if (C >= 'A' && C <= 'F') {
    return C - 'A' + 10;
  }
  return 99;
}

// A TOML integer: decimal with an optional sign and no leading zero, or 0x, 0o, 0b with digits;
// underscores only between digits. Keys (addresses) may also use the 0X prefix. Returns the
// reason when Token is not one, or does not fit in 64 bits.
std::optional<std::string> ParseInteger(std::string_view Token, bool IsKey, uint64_t& Magnitude,
                                        bool& Negative) {
  Magnitude = 0;
  Negative = false;
  size_t I = 0;
  if (!IsKey && !Token.empty() && (Token[0] == '+' || Token[0] == '-')) {
    Negative = Token[0] == '-';
    I = 1;
  }
  unsigned Base = 10;
  if (Token.size() - I >= 2 && Token[I] == '0' &&
      (Token[I + 1] == 'x' || Token[I + 1] == 'o' || Token[I + 1] == 'b' ||
       (IsKey && Token[I + 1] == 'X'))) {
    if (I != 0) {
      return "a sign is not allowed before a 0x, 0o or 0b integer";
    }
    Base = Token[1] == 'o' ? 8 : Token[1] == 'b' ? 2 : 16;
    I += 2;
  } else if (Token.size() - I >= 2 && Token[I] == '0') {
    return "leading zeros are not allowed (hex numbers take a 0x prefix)";
  }
  if (I == Token.size()) {
    return "it has no digits";
  }
  bool LastWasDigit = false;
  for (; I < Token.size(); ++I) {
    const char C = Token[I];
    if (C == '_') {
      if (!LastWasDigit || I + 1 == Token.size()) {
        return "an underscore must stand between two digits";
      }
      LastWasDigit = false;
      continue;
    }
    const unsigned Digit = static_cast<unsigned>(DigitValue(C));
    if (Digit >= Base) {
      return std::string("'") + C + "' is not a base-" + std::to_string(Base) + " digit";
    }
    if (Magnitude > (UINT64_MAX - Digit) / Base) {
      return "it does not fit in 64 bits";
    }
    Magnitude = Magnitude * Base + Digit;
    LastWasDigit = true;
  }
  return std::nullopt;
}

void AppendUtf8(std::string& Out, uint32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out += static_cast<char>(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += static_cast<char>(0xC0 | CodePoint >> 6);
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else if (CodePoint < 0x10000) {
    Out += static_cast<char>(0xE0 | CodePoint >> 12);
    Out += static_cast<char>(0x80 | (CodePoint >> 6 & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | CodePoint >> 18);
    Out += static_cast<char>(0x80 | (CodePoint >> 12 & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint >> 6 & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  }
}

std::string Quote(std::string_view Text) {
  std::string Out = "'";
  for (const char C : Text) {
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) {
      Out += "\\x" + Hex(static_cast<unsigned char>(C)).substr(2);
    } else {
      Out += C;
    }
  }
  return Out + "'";
}

class Parser {
public:
  Parser(std::string_view Source, const std::string& File) : Text(Source), File(File) {}

  BoardProfile Run() {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") {
      Pos = 3;
    }
    while (!AtEnd()) {
      SkipBlanks();
      if (AtEnd()) {
        break;
      }
      if (Peek() == '#') {
        SkipComment();
      } else if (Peek() == '[') {
        ParseTableHeader();
      } else if (!AtNewline()) {
        ParseKeyValue();
      }
      EndLine();
    }
    return Profile;
  }

private:
  [[noreturn]] void FailAt(int AtLine, const std::string& Message) const {
    throw ProfileError(File, AtLine, Message);
  }
  [[noreturn]] void Fail(const std::string& Message) const { FailAt(Line, Message); }

  bool AtEnd() const { return Pos >= Text.size(); }
  char Peek(size_t Ahead = 0) const { return Pos + Ahead < Text.size() ? Text[Pos + Ahead] : '\0'; }
  bool AtNewline() const { return Peek() == '\n' || (Peek() == '\r' && Peek(1) == '\n'); }
  void SkipBlanks() {
    while (Peek() == ' ' || Peek() == '\t') {
      ++Pos;
    }
  }
  void SkipComment() {
    if (Peek() != '#') {
      return;
    }
    while (!AtEnd() && !AtNewline()) {
      const unsigned char C = static_cast<unsigned char>(Text[Pos]);
      if ((C < 0x20 && C != '\t') || C == 0x7F) {
        Fail("control character " + Hex(C) + " in a comment");
      }
      ++Pos;
    }
  }
  void ConsumeNewline() {
    Pos += Peek() == '\r' ? 2 : 1;
    ++Line;
  }
  // Blanks, comments and line breaks, as allowed between the items of an array.
  void SkipInsideArray() {
    for (;;) {
      SkipBlanks();
      SkipComment();
      if (!AtNewline()) {
        return;
      }
      ConsumeNewline();
    }
  }
  void EndLine() {
    SkipBlanks();
    SkipComment();
    if (AtEnd()) {
      return;
    }
    if (!AtNewline()) {
      Fail("unexpected " + Quote(RestOfLine()) + " after the value (one key = value per line)");
    }
    ConsumeNewline();
  }
  std::string RestOfLine() const {
    size_t End = Pos;
    while (End < Text.size() && Text[End] != '\n' && Text[End] != '\r') {
      ++End;
    }
    return std::string(Text.substr(Pos, End - Pos));
  }

  std::string ParseKey() {
    if (Peek() == '"' || Peek() == '\'') {
      return ParseString();
    }
    const size_t Start = Pos;
    while (IsBareKeyChar(Peek())) {
      ++Pos;
    }
    if (Pos == Start) {
      if (AtEnd() || AtNewline()) {
        Fail("expected a key");
      }
      Fail("expected a key, found " + Quote(std::string(1, Peek())));
    }
    return std::string(Text.substr(Start, Pos - Start));
  }

  std::string ParseString() {
    const char Delimiter = Peek();
    if (Peek(1) == Delimiter && Peek(2) == Delimiter) {
      Fail("multi-line strings are not used in board profiles");
    }
    ++Pos;
    std::string Out;
    for (;;) {
      if (AtEnd() || AtNewline()) {
        Fail("unterminated string");
      }
      const char C = Text[Pos++];
      if (C == Delimiter) {
        return Out;
      }
      const unsigned char Byte = static_cast<unsigned char>(C);
      if ((Byte < 0x20 && C != '\t') || Byte == 0x7F) {
        Fail("control character " + Hex(Byte) + " in a string");
      }
      if (C != '\\' || Delimiter == '\'') {
        Out += C;
        continue;
      }
      const char Escape = Peek();
      ++Pos;
      switch (Escape) {
      case 'b':
        Out += '\b';
        break;
      case 't':
        Out += '\t';
        break;
      case 'n':
        Out += '\n';
        break;
      case 'f':
        Out += '\f';
        break;
      case 'r':
        Out += '\r';
        break;
      case '"':
        Out += '"';
        break;
      case '\\':
        Out += '\\';
        break;
      case 'u':
      case 'U': {
        const size_t Digits = Escape == 'u' ? 4 : 8;
        uint32_t CodePoint = 0;
        for (size_t I = 0; I < Digits; ++I) {
          const int Digit = DigitValue(Peek());
          if (Digit > 15) {
            Fail(std::string("\\") + Escape + " takes " + std::to_string(Digits) + " hex digits");
          }
          CodePoint = CodePoint * 16 + static_cast<uint32_t>(Digit);
          ++Pos;
        }
        if (CodePoint > 0x10FFFF || (CodePoint >= 0xD800 && CodePoint <= 0xDFFF)) {
          Fail("\\" + std::string(1, Escape) + " escape is not a Unicode scalar value");
        }
        AppendUtf8(Out, CodePoint);
        break;
      }
      default:
        Fail("unknown escape \\" + std::string(1, Escape) + " in a string");
      }
    }
  }

  Value ParseValue() {
    Value V;
    V.Line = Line;
    const char C = Peek();
    if (AtEnd() || AtNewline() || C == '#') {
      Fail("missing value after '='");
    }
    if (C == '"' || C == '\'') {
      V.Kind = ValueKind::String;
      V.Text = ParseString();
      return V;
    }
    if (C == '[') {
      ++Pos;
      V.Kind = ValueKind::Array;
      for (;;) {
        SkipInsideArray();
        if (AtEnd()) {
          FailAt(V.Line, "unterminated array");
        }
        if (Peek() == ']') {
          ++Pos;
          return V;
        }
        V.Items.push_back(ParseValue());
        SkipInsideArray();
        if (Peek() == ',') {
          ++Pos;
        } else if (Peek() != ']') {
          if (AtEnd()) {
            FailAt(V.Line, "unterminated array");
          }
          Fail("expected ',' or ']' in the array, found " + Quote(std::string(1, Peek())));
        }
      }
    }
    if (C == '{') {
      ++Pos;
      V.Kind = ValueKind::InlineTable;
      SkipBlanks();
      if (Peek() == '}') {
        ++Pos;
        return V;
      }
      for (;;) {
        SkipBlanks();
        if (AtEnd() || AtNewline()) {
          Fail("an inline table must close on the line where it opens");
        }
        const int KeyLine = Line;
        const std::string Key = ParseKey();
        SkipBlanks();
        if (Peek() == '.') {
          Fail("dotted keys are not used in board profiles");
        }
        if (Peek() != '=') {
          Fail("expected '=' after key " + Quote(Key));
        }
        ++Pos;
        SkipBlanks();
        for (const Field& F : V.Fields) {
          if (F.Key == Key) {
            Fail("duplicate key " + Quote(Key) + " in the inline table");
          }
        }
        V.Fields.push_back(Field{Key, KeyLine, ParseValue()});
        SkipBlanks();
        if (Peek() == ',') {
          ++Pos;
          SkipBlanks();
          if (Peek() == '}') {
            Fail("a trailing comma is not allowed in an inline table");
          }
        } else if (Peek() == '}') {
          ++Pos;
          return V;
        } else if (AtEnd() || AtNewline()) {
          Fail("an inline table must close on the line where it opens");
        } else {
          Fail("expected ',' or '}' in the inline table, found " + Quote(std::string(1, Peek())));
        }
      }
    }
    const size_t Start = Pos;
    while (IsValueTokenChar(Peek())) {
      ++Pos;
    }
    const std::string Token(Text.substr(Start, Pos - Start));
    if (Token.empty()) {
      Fail("unexpected " + Quote(std::string(1, C)) + " where a value belongs");
    }
    if (Token == "true" || Token == "false") {
      V.Kind = ValueKind::Boolean;
      V.Boolean = Token == "true";
      return V;
    }
    const bool Numeric = (Token[0] >= '0' && Token[0] <= '9') || Token[0] == '+' || Token[0] == '-';
    if (!Numeric) {
      Fail("unexpected value " + Quote(Token) + " (strings take quotes)");
    }
    const bool HexLiteral = Token.find("0x") != std::string::npos;
    if (Token.find_first_of(".:") != std::string::npos || Token.find("inf") != std::string::npos ||
        Token.find("nan") != std::string::npos ||
        (!HexLiteral && Token.find_first_of("eE") != std::string::npos)) {
      Fail("floating-point and date values are not used in board profiles: " + Quote(Token));
    }
    V.Kind = ValueKind::Integer;
    V.Text = Token;
    if (const auto Why = ParseInteger(Token, false, V.Magnitude, V.Negative)) {
      Fail(Quote(Token) + " is not a valid integer: " + *Why);
    }
    return V;
  }

  void ParseTableHeader() {
    const int HeaderLine = Line;
    ++Pos;
    if (Peek() == '[') {
      Fail("arrays of tables ([[...]]) are not used in board profiles");
    }
    std::string Name;
    for (;;) {
      SkipBlanks();
      Name += ParseKey();
      SkipBlanks();
      if (Peek() == '.') {
        ++Pos;
        Name += '.';
        continue;
      }
      if (Peek() != ']') {
        Fail("expected ']' to close the table header");
      }
      ++Pos;
      break;
    }
    static const std::pair<const char*, Table> TABLES[] = {
        {"mem32", Table::Mem32},       {"mem8", Table::Mem8},          {"reads", Table::Reads},
        {"firmware", Table::Firmware}, {"firmware.fail", Table::Fail}, {"timer", Table::Timer},
    };
    for (const auto& [TableText, Kind] : TABLES) {
      if (Name == TableText) {
        const auto Seen = TableLines.find(Kind);
        if (Seen != TableLines.end()) {
          Fail("table [" + Name + "] defined twice (first at line " + std::to_string(Seen->second) +
               ")");
        }
        if (Kind == Table::Fail && KeyLines[Table::Firmware].count("fail") != 0) {
          Fail("[firmware.fail] repeats the inline fail table of line " +
               std::to_string(KeyLines[Table::Firmware]["fail"]));
        }
        TableLines[Kind] = HeaderLine;
        Current = Kind;
        return;
      }
    }
    Fail("unknown table [" + Name +
         "] (expected [mem32], [mem8], [reads], [firmware], [firmware.fail] or [timer])");
  }

  void ParseKeyValue() {
    const int KeyLine = Line;
    const std::string Key = ParseKey();
    SkipBlanks();
    if (Peek() == '.') {
      Fail("dotted keys are not used in board profiles (write a [table] header instead)");
    }
    if (Peek() != '=') {
      Fail("expected '=' after key " + Quote(Key));
    }
    ++Pos;
    SkipBlanks();
    const Value V = ParseValue();
    Apply(Current, Key, KeyLine, V);
  }

  // Each key once per table, by its meaning: 0xC0 and 0x00c0 are the same address.
  void NoteKey(Table T, const std::string& Canonical, const std::string& Shown, int KeyLine) {
    const auto [Where, Inserted] = KeyLines[T].emplace(Canonical, KeyLine);
    if (!Inserted) {
      FailAt(KeyLine, "duplicate key " + Shown + " in " + TableName(T) + " (first given at line " +
                          std::to_string(Where->second) + ")");
    }
  }

  uint64_t Address(Table T, const std::string& Key, int KeyLine) {
    uint64_t Magnitude = 0;
    bool Negative = false;
    if (const auto Why = ParseInteger(Key, true, Magnitude, Negative)) {
      if (*Why == "it does not fit in 64 bits") {
        FailAt(KeyLine, "address " + Key + " in " + TableName(T) + " does not fit in 64 bits");
      }
      FailAt(KeyLine, "key " + Quote(Key) + " in " + TableName(T) +
                          " is not an address (a hex literal such as 0x8000FFFC): " + *Why);
    }
    const bool Word = T != Table::Mem8;
    if (Word && Magnitude % 4 != 0) {
      FailAt(KeyLine,
             "address " + Hex(Magnitude) + " in " + TableName(T) + " is not 4-byte aligned");
    }
    NoteKey(T, Hex(Magnitude), Hex(Magnitude), KeyLine);
    return Magnitude;
  }

  uint64_t Unsigned(const Value& V, const std::string& What, unsigned Bits) {
    if (V.Kind != ValueKind::Integer) {
      FailAt(V.Line, What + " must be an integer");
    }
    if (V.Negative && V.Magnitude != 0) {
      FailAt(V.Line, What + " is negative: " + V.Text);
    }
    if (Bits < 64 && V.Magnitude >> Bits != 0) {
      FailAt(V.Line, What + " does not fit in " + std::to_string(Bits) + " bits: " + V.Text);
    }
    return V.Magnitude;
  }

  void ApplyFailure(const std::string& Service, int KeyLine, const Value& V) {
    if (!IsFailableService(Service)) {
      FailAt(KeyLine, "unknown firmware service " + Quote(Service) + " (expected " +
                          FailableServiceList() + ")");
    }
    NoteKey(Table::Fail, Service, Quote(Service), KeyLine);
    if (V.Kind != ValueKind::String) {
      FailAt(V.Line,
             "the status for " + Service + " must be a string: a status name or a hex literal");
    }
    const std::optional<uint64_t> Status = ParseStatus(V.Text);
    if (!Status) {
      FailAt(V.Line, "unknown status " + Quote(V.Text) + " for " + Service +
                         " (a status name such as EFI_OUT_OF_RESOURCES, or a hex literal)");
    }
    Profile.Fail[Service] = *Status;
  }

  void Apply(Table T, const std::string& Key, int KeyLine, const Value& V) {
    switch (T) {
    case Table::Root:
      if (Key != "name") {
        FailAt(KeyLine, "unknown key " + Quote(Key) + " at the top level (expected name)");
      }
      NoteKey(T, Key, Quote(Key), KeyLine);
      if (V.Kind != ValueKind::String) {
        FailAt(V.Line, "name must be a string");
      }
      Profile.Name = V.Text;
      return;
    case Table::Mem32: {
      const uint64_t At = Address(T, Key, KeyLine);
      Profile.Mem32.push_back(
          {At, static_cast<uint32_t>(Unsigned(V, "value for " + Hex(At) + " in [mem32]", 32))});
      return;
    }
    case Table::Mem8: {
      const uint64_t At = Address(T, Key, KeyLine);
      Profile.Mem8.push_back(
          {At, static_cast<uint8_t>(Unsigned(V, "value for " + Hex(At) + " in [mem8]", 8))});
      return;
    }
    case Table::Reads: {
      const uint64_t At = Address(T, Key, KeyLine);
      if (V.Kind != ValueKind::Array) {
        FailAt(V.Line, "scripted reads for " + Hex(At) + " must be an array of integers");
      }
      if (IsOrdinaryMemory(At)) {
        FailAt(KeyLine, "scripted reads at " + Hex(At) +
                            " lie in ordinary memory, which is not read through registers");
      }
      std::vector<uint32_t> Values;
      for (const Value& Item : V.Items) {
        Values.push_back(static_cast<uint32_t>(Unsigned(Item, "scripted read for " + Hex(At), 32)));
      }
      Profile.Reads.push_back({At, std::move(Values)});
      return;
    }
    case Table::Firmware:
      if (Key == "pcd") {
        NoteKey(T, Key, Quote(Key), KeyLine);
        if (V.Kind != ValueKind::Boolean) {
          FailAt(V.Line, "pcd in [firmware] must be true or false");
        }
        Profile.Pcd = V.Boolean;
      } else if (Key == "fail") {
        if (TableLines.count(Table::Fail) != 0) {
          FailAt(KeyLine, "fail repeats the [firmware.fail] table of line " +
                              std::to_string(TableLines[Table::Fail]));
        }
        NoteKey(T, Key, Quote(Key), KeyLine);
        if (V.Kind != ValueKind::InlineTable) {
          FailAt(V.Line, "fail in [firmware] must be an inline table { Service = \"STATUS\" }");
        }
        for (const Field& F : V.Fields) {
          ApplyFailure(F.Key, F.Line, F.Val);
        }
      } else {
        FailAt(KeyLine, "unknown key " + Quote(Key) + " in [firmware] (expected pcd or fail)");
      }
      return;
    case Table::Fail:
      ApplyFailure(Key, KeyLine, V);
      return;
    case Table::Timer:
      if (Key != "frequency") {
        FailAt(KeyLine, "unknown key " + Quote(Key) + " in [timer] (expected frequency)");
      }
      NoteKey(T, Key, Quote(Key), KeyLine);
      // CNTFRQ_EL0 holds the frequency in its low 32 bits; 0 would stop every delay.
      Profile.TimerFrequency = Unsigned(V, "frequency in [timer]", 32);
      if (Profile.TimerFrequency == 0) {
        FailAt(V.Line, "frequency in [timer] must not be 0");
      }
      return;
    }
  }

  static bool IsOrdinaryMemory(uint64_t At) {
    const auto Inside = [At](uint64_t Base, uint64_t Size) {
      return At >= Base && At - Base < Size;
    };
    return Inside(RING_AREA_LOW, RING_AREA_SIZE) || Inside(RING_AREA_HIGH, RING_AREA_SIZE) ||
           Inside(ISP_STATUS_RECORD, ISP_STATUS_RECORD_SIZE);
  }

  std::string_view Text;
  const std::string& File;
  size_t Pos = 0;
  int Line = 1;
  Table Current = Table::Root;
  BoardProfile Profile;
  std::map<Table, int> TableLines;
  std::map<Table, std::map<std::string, int>> KeyLines;
};

} // namespace

BoardProfile ParseBoardProfile(std::string_view Text, const std::string& FileName) {
  return Parser(Text, FileName).Run();
}

BoardProfile LoadBoardProfile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    throw ProfileError(Path, 0, "cannot read the board profile");
  }
  std::ostringstream Contents;
  Contents << In.rdbuf();
  if (In.bad()) {
    throw ProfileError(Path, 0, "cannot read the board profile");
  }
  return ParseBoardProfile(Contents.str(), Path);
}

BoardProfile DefaultBoardProfile() {
  return ParseBoardProfile(DefaultBoardProfileText(), DEFAULT_BOARD_FILE);
}

} // namespace sim
