// A board: the initial contents of the address space, scripted register reads, and the
// firmware's configuration. Applied over the built-in defaults.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

struct BoardProfile {
  std::string Name;
  std::vector<std::pair<uint64_t, uint32_t>> Mem32;
  std::vector<std::pair<uint64_t, uint8_t>> Mem8;
  std::vector<std::pair<uint64_t, std::vector<uint32_t>>> Reads;
  bool Pcd = true;
  std::map<std::string, uint64_t> Fail; // firmware service -> status it returns without acting
  uint64_t TimerFrequency = 100000000;  // CNTFRQ_EL0
};

// Built-in contents before any profile: the PL011 reports an empty transmit FIFO.
constexpr uint64_t DEFAULT_UARTFR_ADDRESS = 0x840C0018;
constexpr uint32_t DEFAULT_UARTFR_VALUE = 0x90;

// The firmware services a profile may make fail.
bool IsFailableService(const std::string& Name);
// Their names, for messages: "AllocatePool, FreePool, ... or SetPtr".
std::string FailableServiceList();

// The most a profile file may hold. Real boards take a few KiB; the bound keeps the reading of any
// file quick, and bounds how deep its tables can nest.
constexpr uint64_t MAX_PROFILE_BYTES = 64 * 1024;

// A profile that cannot be used. what() is "file:line:column: message" ("file: message" when the
// fault is not at one place, such as a file that cannot be read). Every text taken from the file
// is printable (see PrintableText).
class ProfileError : public std::runtime_error {
public:
  ProfileError(const std::string& File, int Line, int Column, const std::string& Message);
  ProfileError(const std::string& File, const std::string& Message)
      : ProfileError(File, 0, 0, Message) {}
  const std::string& File() const { return FileName; }
  int Line() const { return LineNumber; }
  int Column() const { return ColumnNumber; }
  const std::string& Message() const { return Text; }

private:
  std::string FileName;
  int LineNumber;
  int ColumnNumber;
  std::string Text;
};

// Parses the TOML text of a board profile (any TOML 1.0 document) and applies the profile's rules:
// the tables [mem32], [mem8], [reads], [firmware] with [firmware.fail] and [timer], their keys,
// the types and ranges of their values. A TOML syntax error, an unknown table or key, an address
// given twice and a value that does not fit its place throw ProfileError; nothing is silently
// defaulted.
BoardProfile ParseBoardProfile(std::string_view Text, const std::string& FileName);
// Reads and parses a profile file.
BoardProfile LoadBoardProfile(const std::string& Path);

// The built-in default board: the repository's boards/default.toml, compiled in.
constexpr const char* DEFAULT_BOARD_FILE = "boards/default.toml";
std::string_view DefaultBoardProfileText();
BoardProfile DefaultBoardProfile();

} // namespace sim
