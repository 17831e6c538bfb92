// The board-profile parser: every form of the TOML subset the boards use, and a clear error with
// its line for everything else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <Sim/BoardProfile.h>

namespace {

using sim::BoardProfile;
using sim::ParseBoardProfile;
using sim::ProfileError;

const char* const EVERY_FORM = R"TOML(# A profile using every form of the subset
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

TEST(BoardProfile, ParsesEveryFormOfTheSubset) {
  ExpectEveryForm(ParseBoardProfile(EVERY_FORM, "every.toml"));

  std::string Crlf;
  for (const char C : std::string(EVERY_FORM)) {
    Crlf += C == '\n' ? std::string("\r\n") : std::string(1, C);
  }
  ExpectEveryForm(ParseBoardProfile(Crlf, "crlf.toml"));
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

TEST(BoardProfile, BadInputIsAnErrorNamingFileAndLine) {
  const struct {
    const char* Text;
    const char* Error;
  } CASES[] = {
      // TOML syntax
      {"= 5\n", "b.toml:1: expected a key, found '='"},
      {"[mem32]\n0x8000FFFC 0\n", "b.toml:2: expected '=' after key '0x8000FFFC'"},
      {"[mem32]\n0x8000FFFC =\n", "b.toml:2: missing value after '='"},
      {"[mem32]\n0x8000FFFC = 1 2\n",
       "b.toml:2: unexpected '2' after the value (one key = value per line)"},
      {"name = \"unterminated\n", "b.toml:1: unterminated string"},
      {"name = \"\\q\"\n", "b.toml:1: unknown escape \\q in a string"},
      {"name = bare\n", "b.toml:1: unexpected value 'bare' (strings take quotes)"},
      {"[mem32\n", "b.toml:1: expected ']' to close the table header"},
      {"[[mem32]]\n", "b.toml:1: arrays of tables ([[...]]) are not used in board profiles"},
      {"firmware.pcd = true\n",
       "b.toml:1: dotted keys are not used in board profiles (write a [table] header instead)"},
      {"[mem32]\n0x8000FFFC = 1.5\n",
       "b.toml:2: floating-point and date values are not used in board profiles: '1.5'"},
      {"[mem32]\n0x8000FFFC = 012\n",
       "b.toml:2: '012' is not a valid integer: leading zeros are not allowed (hex numbers take a "
       "0x prefix)"},
      {"[mem32]\n0x8000FFFC = 0x_12\n",
       "b.toml:2: '0x_12' is not a valid integer: an underscore must stand between two digits"},
      {"[mem32]\n0x8000FFFC = 0x1G\n", "b.toml:2: '0x1G' is not a valid integer: 'G' is not a "
                                       "base-16 digit"},
      {"[reads]\n0x881100F0 = [1,\n2\n", "b.toml:2: unterminated array"},
      {"[reads]\n0x881100F0 = [1 2]\n", "b.toml:2: expected ',' or ']' in the array, found '2'"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\",\n SetPtr = \"EFI_ABORTED\" }\n",
       "b.toml:2: an inline table must close on the line where it opens"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\", }\n",
       "b.toml:2: a trailing comma is not allowed in an inline table"},
      // Unknown tables and keys
      {"[memory]\n", "b.toml:1: unknown table [memory] (expected [mem32], [mem8], [reads], "
                     "[firmware], [firmware.fail] or [timer])"},
      {"speed = 1\n", "b.toml:1: unknown key 'speed' at the top level (expected name)"},
      {"[firmware]\nacpi = true\n",
       "b.toml:2: unknown key 'acpi' in [firmware] (expected pcd or fail)"},
      {"[mem32]\nplatform = 1\n", "b.toml:2: key 'platform' in [mem32] is not an address (a hex "
                                  "literal such as 0x8000FFFC): 'p' is not a base-10 digit"},
      {"[firmware]\nfail = { Reboot = \"EFI_ABORTED\" }\n",
       "b.toml:2: unknown firmware service 'Reboot' (expected AllocatePool, FreePool, "
       "InstallConfigurationTable, CreateEvent, InstallProtocolInterface, LocateProtocol or "
       "SetPtr)"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_BROKEN\" }\n",
       "b.toml:2: unknown status 'EFI_BROKEN' for CreateEvent (a status name such as "
       "EFI_OUT_OF_RESOURCES, or a hex literal)"},
      // Duplicates
      {"name = \"x\"\nname = \"y\"\n",
       "b.toml:2: duplicate key 'name' in the top level (first given at line 1)"},
      {"[mem32]\n0x10 = 1\n0x0010 = 2\n",
       "b.toml:3: duplicate key 0x10 in [mem32] (first given at line 2)"},
      {"[mem32]\n[mem32]\n", "b.toml:2: table [mem32] defined twice (first at line 1)"},
      {"[firmware]\nfail = { CreateEvent = \"EFI_ABORTED\", CreateEvent = \"EFI_ABORTED\" }\n",
       "b.toml:2: duplicate key 'CreateEvent' in the inline table"},
      {"[firmware]\nfail = {}\n[firmware.fail]\n",
       "b.toml:3: [firmware.fail] repeats the inline fail table of line 2"},
      // Values that do not fit their place
      {"[mem32]\n0x8000FFFC = 0x1_0000_0000\n",
       "b.toml:2: value for 0x8000fffc in [mem32] does not fit in 32 bits: 0x1_0000_0000"},
      {"[mem8]\n0xC6F0800A = 256\n",
       "b.toml:2: value for 0xc6f0800a in [mem8] does not fit in 8 bits: 256"},
      {"[mem8]\n0x1_0000_0000_0000_0000 = 1\n",
       "b.toml:2: address 0x1_0000_0000_0000_0000 in [mem8] does not fit in 64 bits"},
      {"[mem32]\n0x8000FFFE = 1\n",
       "b.toml:2: address 0x8000fffe in [mem32] is not 4-byte aligned"},
      {"[mem32]\n0x8000FFFC = -1\n", "b.toml:2: value for 0x8000fffc in [mem32] is negative: -1"},
      {"[mem32]\n0x8000FFFC = 99999999999999999999\n",
       "b.toml:2: '99999999999999999999' is not a valid integer: it does not fit in 64 bits"},
      {"[mem32]\n0x8000FFFC = \"0\"\n", "b.toml:2: value for 0x8000fffc in [mem32] must be an "
                                        "integer"},
      {"[reads]\n0x881100F0 = [\n 1,\n 0x1_0000_0000,\n]\n",
       "b.toml:4: scripted read for 0x881100f0 does not fit in 32 bits: 0x1_0000_0000"},
      {"[reads]\n0x881100F0 = 5\n",
       "b.toml:2: scripted reads for 0x881100f0 must be an array of integers"},
      {"[reads]\n0xC5280000 = [1]\n", "b.toml:2: scripted reads at 0xc5280000 lie in ordinary "
                                      "memory, which is not read through registers"},
      {"[firmware]\npcd = 1\n", "b.toml:2: pcd in [firmware] must be true or false"},
      {"[firmware]\nfail = { CreateEvent = 9 }\n",
       "b.toml:2: the status for CreateEvent must be a string: a status name or a hex literal"},
      {"[timer]\nfrequency = 0\n", "b.toml:2: frequency in [timer] must not be 0"},
      {"[timer]\nfrequency = 0x1_0000_0000\n",
       "b.toml:2: frequency in [timer] does not fit in 32 bits: 0x1_0000_0000"},
  };
  for (const auto& Case : CASES) {
    try {
      ParseBoardProfile(Case.Text, "b.toml");
      ADD_FAILURE() << "accepted: " << Case.Text;
    } catch (const ProfileError& Error) {
      EXPECT_STREQ(Error.what(), Case.Error) << Case.Text;
    }
  }
}

TEST(BoardProfile, AFileThatCannotBeReadIsAnError) {
  try {
    sim::LoadBoardProfile("/nonexistent/board.toml");
    ADD_FAILURE() << "accepted a missing file";
  } catch (const ProfileError& Error) {
    EXPECT_STREQ(Error.what(), "/nonexistent/board.toml: cannot read the board profile");
  }
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
