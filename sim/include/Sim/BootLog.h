// A reader of the boot-log ring, decoding it as a later boot stage does: the ring chosen by the
// selector byte, its magic checked, the log region and area header found with the writer's own
// arithmetic, then the data area oldest text first. Every offset is checked against the memory
// given, so a corrupt header or a short dump is reported, never followed.
#pragma once

#include <cstdint>
#include <string>

#include <Sim/AddressSpace.h>

namespace sim {

enum class BootLogState {
  Decoded,       // Text holds the log
  NoRing,        // the magic is not there
  CorruptHeader, // the area header describes no usable data area
  OutOfRange,    // the header points beyond the memory given
};

struct BootLog {
  BootLogState State = BootLogState::NoRing;
  std::string Problem; // one line, when not decoded
  uint64_t Ring = 0;   // physical address of the ring header (R)
  uint32_t Magic = 0;
  uint64_t AreaHeader = 0;   // physical address of the area header (H), once computed
  uint32_t AreaSize = 0;     // normalised, header included
  uint32_t Capacity = 0;     // bytes of the data area
  uint32_t WriteOffset = 0;  // normalised
  uint32_t Wrapped = 0;      // as stored; nonzero means the data area has wrapped
  uint32_t LevelInForce = 0; // as stored
  std::string Text;          // oldest first, bytes as stored
};

// Ring base that the selector byte names: 2 the low ring, anything else the high one.
uint64_t BootLogRingForSelector(uint8_t Selector);

// Decodes the ring whose header is at Memory[0], Size bytes being available, RingAddress being
// the physical address of Memory[0] (used for the addresses reported).
BootLog DecodeBootLog(const uint8_t* Memory, uint64_t Size, uint64_t RingAddress);

// The ring of a simulated machine, chosen by its selector byte as the writer chooses it.
BootLog ReadBootLog(AddressSpace& Space);

// One line describing the ring: where it is and what state its header is in.
std::string DescribeBootLog(const BootLog& Log);

} // namespace sim
