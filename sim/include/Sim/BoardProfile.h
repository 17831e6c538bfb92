// A board: the initial contents of the address space, scripted register reads, and the
// firmware's configuration. Applied over the built-in defaults.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
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

} // namespace sim
