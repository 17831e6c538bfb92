// The board-profile reader: the forms that profiles use, the TOML forms that read the same, and a
// clear error at its line and column for everything else.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <Sim/BoardProfile.h>

namespace {

using sim::BoardProfile;
using sim::ParseBoardProfile;
using sim::ProfileError;

const char* const EVERY_FORM = R"TOML(# A profile using every form of the boards
name = "board \"A\"\t\u00E9"   # trailing comment

[mem32]
0x8000FFFC = 0x0
0x8000_FFF8 = 1_000
"0x8000F07C" = 0o17
0X8000E08C = 0b1010
0x80020008 = 0xFFFF_FFFF
0x10 = +7

[mem8]
0xC6F0800A = 0xFF

[reads]
0x881100F0 = [
  0,   # first read
  0x1234ABCD,
]
0xA2916088 = []

[firmware]
pcd = false
fail = { CreateEvent = "EFI_OUT_OF_RESOURCES", SetPtr = '0x8000000000000002' }

[timer]
frequency = 62_500_000
)TOML";

void ExpectEveryForm(const BoardProfile& P) {
  EXPECT_EQ(P.Name, "board \"A\"\t\xC3\xA9");
  EXPECT_EQ(P.Mem32, (std::vector<std::pair<uint64_t, uint32_t>>{{0x8000FFFC, 0},
                                                                 {0x8000FFF8, 1000},
                                                                 {0x8000F07C, 15},
                                                                 {0x8000E08C, 10},
                                                                 {0x80020008, 0xFFFFFFFF},
                                                                 {0x10, 7}}));
  EXPECT_EQ(P.Mem8, (std::vector<std::pair<uint64_t, uint8_t>>{{0xC6F0800A, 0xFF}}));
  EXPECT_EQ(P.Reads, (std::vector<std::pair<uint64_t, std::vector<uint32_t>>>{
                         {0x881100F0, {0, 0x1234ABCD}}, {0xA2916088, {}}}));
  EXPECT_FALSE(P.Pcd);
  EXPECT_EQ(P.Fail, (std::map<std::string, uint64_t>{{"CreateEvent", 0x8000000000000009},
                                                     {"SetPtr", 0x8000000000000002}}));
  EXPECT_EQ(P.TimerFrequency, 62500000u);
}

TEST(BoardProfile, ParsesEveryFormOfTheBoards) {
  ExpectEveryForm(ParseBoardProfile(EVERY_FORM, "every.toml"));

  std::string Crlf;
  for (const char C : std::string(EVERY_FORM)) {
    Crlf += C == '\n' ? std::string("\r\n") : std::string(1, C);
  }
  ExpectEveryForm(ParseBoardProfile(Crlf, "crlf.toml"));
}

// The same board in TOML forms that the boards do not use: dotted keys, a multi-line string, an
// inline table in place of a section, tables in another order, a byte-order mark.
const char* const OTHER_FORMS = "\xEF\xBB\xBF"
                                R"TOML(timer.frequency = 62_500_000
firmware.pcd = false
firmware.fail.CreateEvent = "EFI_OUT_OF_RESOURCES"
firmware.fail.SetPtr = """0x8000000000000002"""
name = """\
board "A"\t\u00E9"""
reads = { 0x881100F0 = [0, 0x1234ABCD], 0xA2916088 = [] }

[mem8]
0xC6F0800A = 0xFF

[mem32]
0x8000FFFC = 0x0
0x8000_FFF8 = 1_000
'0x8000F07C' = 0o17
0X8000E08C = 0b1010
0x80020008 = 0xFFFF_FFFF
0x10 = +7
)TOML";

TEST(BoardProfile, OtherTomlFormsReadTheSame) {
  ExpectEveryForm(ParseBoardProfile(OTHER_FORMS, "other.toml"));
}

TEST(BoardProfile, AStatusIsANameOrAHexLiteral) {
  const BoardProfile P = ParseBoardProfile("[firmware.fail]\n"
                                           "CreateEvent = \"EFI_NOT_FOUND\"\n"
                                           "SetPtr = \"0X5\"\n"
                                           "FreePool = \"0xFFFFFFFFFFFFFFFF\"\n"
                                           "LocateProtocol = \"0x000000000000000E\"\n",
                                           "s.toml");
  EXPECT_EQ(P.Fail, (std::map<std::string, uint64_t>{{"CreateEvent", 0x800000000000000E},
                                                     {"SetPtr", 5},
                                                     {"FreePool", 0xFFFFFFFFFFFFFFFF},
                                                     {"LocateProtocol", 0xE}}));
}

TEST(BoardProfile, EmptyProfileKeepsTheDefaultsAndFailTableFormEqualsInlineForm) {
  const BoardProfile Empty = ParseBoardProfile("# nothing\n\n", "empty.toml");
  EXPECT_EQ(Empty.Name, "");
  EXPECT_TRUE(Empty.Mem32.empty());
  EXPECT_TRUE(Empty.Reads.empty());
  EXPECT_TRUE(Empty.Pcd);
  EXPECT_TRUE(Empty.Fail.empty());
  EXPECT_EQ(Empty.TimerFrequency, 100000000u);

  const BoardProfile Table = ParseBoardProfile(
      "[firmware.fail]\nLocateProtocol = \"EFI_NOT_FOUND\"\nFreePool = \"0x8000000000000002\"\n",
      "table.toml");
  EXPECT_EQ(Table.Fail, (std::map<std::string, uint64_t>{{"LocateProtocol", 0x800000000000000E},
                                                         {"FreePool", 0x8000000000000002}}));
}

// A document whose tables nest Depth deep through dotted keys, in Prefix: Prefix a.a.a... = 1.
std::string DottedKeys(const std::string& Prefix, size_t Depth) {
  std::string Text = Prefix;
  for (size_t I = 0; I < Depth; ++I) {
    Text += I == 0 ? "a" : ".a";
  }
  return Text + " = 1\n";
}

TEST(BoardProfile, BadInputIsAnErrorNamingFileLineAndColumn) {
  const std::string DeepArrays = "[reads]\n0xA2916088 = " + std::string(3000, '[') + "\n";
  // The deepest that fits in a profile of the largest size.
  const std::string DeepTables = DottedKeys("[firmware]\nfail.", 32755);
  std::string DeepHeader = "[timer";
  while (DeepHeader.size() < 65530) {
    DeepHeader += ".a";
  }
  DeepHeader += "]\n";
  const std::string TooLarge = "name = \"" + std::string(65536, 'x') + "\"\n";
  const struct {
    std::string Text;
    const char* Error;
  } CASES[] = {
      // TOML syntax, in toml++'s words
      {"= 5\n", "b.toml:1:1: Error while parsing root table: expected keys, tables, whitespace or "
                "comments, saw '='"},
      {"[mem32]\n0x8000FFFC 0\n",
       "b.toml:2:12: Error while parsing key-value pair: expected '=', saw '0'"},
      {"[mem32]\n0x8000FFFC =\n",
       "b.toml:2:13: Error while parsing key-value pair: expected value, saw '\\n'"},
      {"[mem32]\n0x8000FFFC = 1 2\n", "b.toml:2:16: Error while parsing key-value pair: expected a "
                                      "comment or whitespace, saw '2'"},
      {"name = \"unterminated\n", "b.toml:1:21: Error while parsing string: unescaped control "
                                  "characters other than TAB (U+0009) are explicitly prohibited"},
      {"name = \"\\q\"\n",
       "b.toml:1:10: Error while parsing string: unknown escape sequence '\\q'"},
      {"name = \"a\\\n",
       "b.toml:1:11: Error while parsing string: unknown escape sequence '\\\\n'"},
      {"name = bare\n", "b.toml:1:8: Error while parsing value: could not determine value type"},
      {"[mem32\n", "b.toml:1:7: Error while parsing table header: expected ']', saw '\\n'"},
      {"[mem32]\n0x8000FFFC = 012\n",
       "b.toml:2:17: Error while parsing decimal integer: leading zeroes are prohibited"},
      {"[mem32]\n0x8000FFFC = 0x_12\n",
       "b.toml:2:16: Error while parsing hexadecimal integer: expected digit, saw '_'"},
      {"[mem32]\n0x8000FFFC = 0x1G\n",
       "b.toml:2:17: Error while parsing hexadecimal integer: expected digit, saw 'G'"},
      {"[mem32]\n0x8000FFFC = 99999999999999999999\n",
       "b.toml:2:34: Error while parsing decimal integer: '99999999999999999999' is not "
       "representable in 64 bits"},
      {"[mem32]\n0x8000FFFC = 0xFFFF_FFFF_FFFF_FFFF\n",
       "b.toml:2:35: Error while parsing hexadecimal integer: '0xFFFFFFFFFFFFFFFF' is not "
       "representable in 64 bits"},
      {"[reads]\n0x881100F0 = [1,\n2\n",
       "b.toml:3:3: Error while parsing array: encountered end-of-file"},
      {"[reads]\n0x881100F0 = [1 2]\n",
       "b.toml:2:17: Error while parsing array: expected comma or closing ']', saw '2'"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\",\n SetPtr = \"EFI_ABORTED\" }\n",
       "b.toml:2:38: Error while parsing inline table: expected key or closing '}', saw '\\n'"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\", }\n",
       "b.toml:2:39: Error while parsing inline table: expected key-value pair, saw closing '}' "
       "(dangling comma)"},
      {"# \xFF\n", "b.toml:1:2: Encountered invalid utf-8 sequence"},
      {"name = \"\xFE\"\n", "b.toml:1:8: Encountered invalid utf-8 sequence"},
      {"name = \"\x1B[2J\"\n", "b.toml:1:9: Error while parsing string: unescaped control "
                               "characters other than TAB (U+0009) are explicitly prohibited"},
      // Where toml++ 3.3.0 reaches a TOML_UNREACHABLE or fails an assertion of its own, a key or a
      // blank expected: a syntax error all the same
      {"[\n", "b.toml:1:2: Error while parsing key: expected bare key starting character or string "
              "delimiter, saw '\\n'"},
      {"firmware. = 1\n", "b.toml:1:11: Error while parsing key: expected bare key starting "
                          "character or string delimiter, saw '='"},
      {"\xC3\xA9name = \"x\"\n", "b.toml:1:1: Error while parsing root table: expected keys, "
                                 "tables, whitespace or comments, saw '\xC3\xA9'"},
      {"name = \"x\" \xE3\x80\x81\n", "b.toml:1:12: Error while parsing key-value pair: expected a "
                                      "comment or whitespace, saw '\xE3\x80\x81'"},
      {"[timer]\nfrequency = 1\xEF\xB9\xA0\n", "b.toml:2:14: Error while parsing decimal integer: "
                                               "expected digit, saw '\xEF\xB9\xA0'"},
      {"name = \"\"\"a\\\xC3\xA9\"\"\"\n",
       "b.toml:1:13: Error while parsing string: unknown escape sequence '\\\xC3\xA9'"},
      {DeepArrays,
       "b.toml:2:270: Error while parsing value: exceeded maximum nested value depth of 256"},
      // The same key or table twice, or an address in two spellings
      {"name = \"x\"\nname = \"y\"\n",
       "b.toml:2:8: Error while parsing key-value pair: cannot redefine existing string 'name'"},
      {"[mem32]\n[mem32]\n",
       "b.toml:2:1: Error while parsing table header: cannot redefine existing table 'mem32'"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\", CreateEvent = \"EFI_ABORTED\" }\n",
       "b.toml:2:53: Error while parsing key-value pair: cannot redefine existing string "
       "'CreateEvent'"},
      {"[firmware]\nfail = {}\n[firmware.fail]\n",
       "b.toml:3:1: Error while parsing table header: cannot redefine existing table "
       "'firmware.fail'"},
      {"[mem32]\n0x10 = 1\n0x0010 = 2\n",
       "b.toml:3:1: duplicate address 0x10 in [mem32] (first given at line 2)"},
      {"[reads]\n0X881100F0 = [1]\n0x8811_00f0 = [2]\n",
       "b.toml:3:1: duplicate address 0x881100f0 in [reads] (first given at line 2)"},
      // Unknown tables and keys, and the tables in other forms
      {"[memory]\n", "b.toml:1:2: unknown table [memory] (expected [mem32], [mem8], [reads], "
                     "[firmware], [firmware.fail] or [timer])"},
      {"[\"firmware.fail\"]\nCreateEvent = \"EFI_ABORTED\"\n",
       "b.toml:1:2: unknown table [\"firmware.fail\"] (expected [mem32], [mem8], [reads], "
       "[firmware], [firmware.fail] or [timer])"},
      {"speed = 1\n", "b.toml:1:1: unknown key 'speed' at the top level (expected name)"},
      {"\"a\\u001B[31m\" = 1\n",
       "b.toml:1:1: unknown key 'a\\x1b[31m' at the top level (expected name)"},
      {"[firmware]\nacpi = true\n",
       "b.toml:2:1: unknown key 'acpi' in [firmware] (expected pcd or fail)"},
      {"[firmware.other]\n",
       "b.toml:1:11: unknown key 'other' in [firmware] (expected pcd or fail)"},
      {"[timer]\nfrequency = 1\nspeed = 2\n",
       "b.toml:3:1: unknown key 'speed' in [timer] (expected frequency)"},
      {"[[mem32]]\n", "b.toml:1:3: arrays of tables ([[mem32]]) are not used in board profiles"},
      {"mem32 = 5\n", "b.toml:1:9: [mem32] must be a table, not an integer"},
      {"[firmware]\nfail = 5\n", "b.toml:2:8: fail in [firmware] must be a table such as { "
                                 "CreateEvent = \"EFI_OUT_OF_RESOURCES\" }, not an integer"},
      {DeepTables, "b.toml:2:6: unknown firmware service 'a' (expected AllocatePool, FreePool, "
                   "InstallConfigurationTable, CreateEvent, InstallProtocolInterface, "
                   "LocateProtocol or SetPtr)"},
      {DeepHeader, "b.toml:1:8: unknown key 'a' in [timer] (expected frequency)"},
      // Address keys: hex only
      {"[mem32]\nplatform = 1\n", "b.toml:2:1: key 'platform' in [mem32] is not an address (a hex "
                                  "literal such as 0x8000FFFC): it does not start with 0x"},
      {"[mem32]\n12 = 1\n", "b.toml:2:1: key '12' in [mem32] is not an address (a hex literal such "
                            "as 0x8000FFFC): it does not start with 0x"},
      {"[mem32]\n0o10 = 1\n", "b.toml:2:1: key '0o10' in [mem32] is not an address (a hex literal "
                              "such as 0x8000FFFC): it does not start with 0x"},
      {"[mem8]\n0b100 = 1\n", "b.toml:2:1: key '0b100' in [mem8] is not an address (a hex literal "
                              "such as 0x8000FFFC): it does not start with 0x"},
      {"[mem8]\n0x = 1\n", "b.toml:2:1: key '0x' in [mem8] is not an address (a hex literal such "
                           "as 0x8000FFFC): it has no digits"},
      {"[mem8]\n0x_10 = 1\n", "b.toml:2:1: key '0x_10' in [mem8] is not an address (a hex literal "
                              "such as 0x8000FFFC): an underscore must stand between two digits"},
      {"[mem8]\n0x10_ = 1\n", "b.toml:2:1: key '0x10_' in [mem8] is not an address (a hex literal "
                              "such as 0x8000FFFC): an underscore must stand between two digits"},
      {"[mem8]\n0x1G = 1\n", "b.toml:2:1: key '0x1G' in [mem8] is not an address (a hex literal "
                             "such as 0x8000FFFC): 'G' is not a hex digit"},
      {"[mem8]\n0x1_0000_0000_0000_0000 = 1\n",
       "b.toml:2:1: address 0x1_0000_0000_0000_0000 in [mem8] does not fit in 64 bits"},
      {"[mem32]\n0x8000FFFE = 1\n",
       "b.toml:2:1: address 0x8000fffe in [mem32] is not 4-byte aligned"},
      {"[reads]\n0x881100F2 = [1]\n",
       "b.toml:2:1: address 0x881100f2 in [reads] is not 4-byte aligned"},
      // Statuses: a name or a hex literal
      {"[firmware]\nfail = { Reboot = \"EFI_ABORTED\" }\n",
       "b.toml:2:10: unknown firmware service 'Reboot' (expected AllocatePool, FreePool, "
       "InstallConfigurationTable, CreateEvent, InstallProtocolInterface, LocateProtocol or "
       "SetPtr)"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_BROKEN\" }\n",
       "b.toml:2:24: unknown status 'EFI_BROKEN' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \"9\"\n",
       "b.toml:2:15: unknown status '9' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \"010\"\n",
       "b.toml:2:15: unknown status '010' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \" 0x5\"\n",
       "b.toml:2:15: unknown status ' 0x5' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \"0x\"\n",
       "b.toml:2:15: unknown status '0x' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \"0x1_0\"\n",
       "b.toml:2:15: unknown status '0x1_0' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = \"0x10000000000000000\"\n",
       "b.toml:2:15: unknown status '0x10000000000000000' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      {"[firmware.fail]\nCreateEvent = 9\n",
       "b.toml:2:15: the status for CreateEvent must be a string: a status name or a hex literal"},
      // Values that do not fit their place
      {"name = 5\n", "b.toml:1:8: name must be a string, not an integer"},
      {"[mem32]\n0x8000FFFC = 0x1_0000_0000\n",
       "b.toml:2:14: value for 0x8000fffc in [mem32] does not fit in 32 bits: 0x1_0000_0000"},
      {"[mem8]\n0xC6F0800A = 256\n",
       "b.toml:2:14: value for 0xc6f0800a in [mem8] does not fit in 8 bits: 256"},
      {"[mem32]\n0x8000FFFC = -1\n",
       "b.toml:2:14: value for 0x8000fffc in [mem32] is negative: -1"},
      {"[mem32]\n0x8000FFFC = \"0\"\n",
       "b.toml:2:14: value for 0x8000fffc in [mem32] must be an integer, not a string"},
      {"[mem32]\n0x8000FFFC = 1.5\n", "b.toml:2:14: value for 0x8000fffc in [mem32] must be an "
                                      "integer, not a floating-point number"},
      {"[mem32]\n0x8000FFFC = 1979-05-27\n",
       "b.toml:2:14: value for 0x8000fffc in [mem32] must be an integer, not a date"},
      {"[mem32]\n0x8000FFFC = { a = 1 }\n",
       "b.toml:2:14: value for 0x8000fffc in [mem32] must be an integer, not an inline table"},
      {"[reads]\n0x881100F0 = [\n 1,\n 0x1_0000_0000,\n]\n",
       "b.toml:4:2: scripted read for 0x881100f0 does not fit in 32 bits: 0x1_0000_0000"},
      {"[reads]\n0x881100F0 = [1, \"2\"]\n",
       "b.toml:2:18: scripted read for 0x881100f0 must be an integer, not a string"},
      {"[reads]\n0x881100F0 = 5\n",
       "b.toml:2:14: scripted reads for 0x881100f0 must be an array of integers, not an integer"},
      {"[reads]\n0xC5280000 = [1]\n", "b.toml:2:1: scripted reads at 0xc5280000 lie in ordinary "
                                      "memory, which is not read through registers"},
      {"[firmware]\npcd = 1\n",
       "b.toml:2:7: pcd in [firmware] must be true or false, not an integer"},
      {"[timer]\nfrequency = 0\n", "b.toml:2:13: frequency in [timer] must not be 0"},
      {"[timer]\nfrequency = 0x1_0000_0000\n",
       "b.toml:2:13: frequency in [timer] does not fit in 32 bits: 0x1_0000_0000"},
      // Size
      {TooLarge, "b.toml: the board profile holds more than 65536 bytes (64 KiB), the most a "
                 "profile may hold"},
  };
  for (const auto& Case : CASES) {
    try {
      ParseBoardProfile(Case.Text, "b.toml");
      ADD_FAILURE() << "accepted: " << Case.Text.substr(0, 200);
    } catch (const ProfileError& Error) {
      EXPECT_STREQ(Error.what(), Case.Error) << Case.Text.substr(0, 200);
    }
  }
}

// The reader keeps to a stack of its own: the deepest profile reads on a caller with 256 KiB.
TEST(BoardProfile, TheDeepestProfileReadsOnASmallStack) {
  struct Job {
    std::string Text;
    std::string Error;
  } Deep{DottedKeys("[firmware]\nfail.", 32755), ""};
  ASSERT_LE(Deep.Text.size(), sim::MAX_PROFILE_BYTES);
  pthread_attr_t Attributes;
  pthread_attr_init(&Attributes);
  pthread_attr_setstacksize(&Attributes, 256 << 10);
  pthread_t Thread;
  ASSERT_EQ(pthread_create(
                &Thread, &Attributes,
                [](void* Argument) -> void* {
                  auto& J = *static_cast<Job*>(Argument);
                  try {
                    ParseBoardProfile(J.Text, "deep.toml");
                  } catch (const ProfileError& Error) {
                    J.Error = Error.what();
                  }
                  return nullptr;
                },
                &Deep),
            0);
  pthread_join(Thread, nullptr);
  pthread_attr_destroy(&Attributes);
  EXPECT_EQ(Deep.Error, "deep.toml:2:6: unknown firmware service 'a' (expected AllocatePool, "
                        "FreePool, InstallConfigurationTable, CreateEvent, "
                        "InstallProtocolInterface, LocateProtocol or SetPtr)");
}

TEST(BoardProfile, AFileThatCannotBeReadIsRefusedWithoutReadingItAll) {
  std::string Template = std::filesystem::temp_directory_path() / "board-profile-test-XXXXXX";
  ASSERT_NE(mkdtemp(Template.data()), nullptr);
  const std::filesystem::path Dir = Template;
  std::filesystem::create_directories(Dir / "folder.toml");
  const std::string Large = (Dir / "large.toml").string();
  std::ofstream(Large, std::ios::binary) << "name = \"" << std::string(65536, 'x') << "\"\n";
  const std::string Largest = (Dir / "largest.toml").string();
  std::ofstream(Largest, std::ios::binary) << "name = \"" << std::string(65526, 'x') << "\"\n";
  EXPECT_EQ(sim::LoadBoardProfile(Largest).Name.size(), 65526u);
  EXPECT_EQ(sim::LoadBoardProfile("/dev/null").Name, "");

  const struct {
    std::string Path;
    std::string Error;
  } CASES[] = {
      {"/nonexistent/board.toml",
       "/nonexistent/board.toml: cannot read the board profile: No such file or directory"},
      {(Dir / "folder.toml").string(),
       (Dir / "folder.toml").string() + ": is a folder, not a board profile"},
      {Large, Large + ": the board profile holds more than 65536 bytes (64 KiB), the most a "
                      "profile may hold"},
      {"/dev/zero", "/dev/zero: the board profile holds more than 65536 bytes (64 KiB), the most "
                    "a profile may hold"},
      {"/nonexistent/a\nb\x1B", "/nonexistent/a\\nb\\x1b: cannot read the board profile: No such "
                                "file or directory"},
  };
  for (const auto& Case : CASES) {
    try {
      sim::LoadBoardProfile(Case.Path);
      ADD_FAILURE() << "accepted " << Case.Path;
    } catch (const ProfileError& Error) {
      EXPECT_EQ(Error.what(), Case.Error);
    }
  }
  std::filesystem::remove_all(Dir);
}

TEST(BoardProfile, EveryRepositoryBoardParsesAndTheDefaultOneIsBuiltIn) {
  size_t Boards = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(DXESIM_BOARDS_DIR)) {
    if (Entry.path().extension() == ".toml") {
      EXPECT_NO_THROW(sim::LoadBoardProfile(Entry.path().string())) << Entry.path();
      ++Boards;
    }
  }
  EXPECT_GE(Boards, 4u);

  std::ifstream In(std::string(DXESIM_BOARDS_DIR) + "/default.toml", std::ios::binary);
  std::ostringstream File;
  File << In.rdbuf();
  EXPECT_EQ(sim::DefaultBoardProfileText(), File.str());
}

} // namespace
