// The simulated physical address space: one sparse byte-addressed space. A location reads as
// the last value written there, else 0. RAM regions are contiguous host buffers reached by the
// drivers with ordinary loads and stores (not traced); everything else is register space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace sim {

class AddressSpace {
public:
  void AddRamRegion(uint64_t Base, uint64_t Size);
  // Host pointer to [Address, Address + Length) when it lies in one RAM region, else nullptr.
  uint8_t* RamPointer(uint64_t Address, uint64_t Length);
  bool IsRam(uint64_t Address) const;
  struct RamRange {
    uint64_t Base;
    uint64_t Size;
  };
  std::vector<RamRange> RamRanges() const;

  // Untraced access to any address: profiles, dumps, the firmware's own view.
  void Load(uint64_t Address, void* Buffer, size_t Length) const;
  void Store(uint64_t Address, const void* Buffer, size_t Length);
  uint32_t Peek32(uint64_t Address) const;
  void Poke32(uint64_t Address, uint32_t Value);
  uint8_t Peek8(uint64_t Address) const;
  void Poke8(uint64_t Address, uint8_t Value);

  // Whether a store to Address would need a register page that does not exist yet, and how many
  // register pages hold values.
  bool NeedsNewPage(uint64_t Address) const;
  size_t RegisterPages() const { return Pages.size(); }

  // Values for successive traced 32-bit reads of one register.
  void ScriptReads(uint64_t Address, const std::vector<uint32_t>& Values);
  bool NextScriptedRead(uint64_t Address, uint32_t& Value);

private:
  static constexpr uint64_t PAGE_SIZE = 4096;
  // Zero-filled memory that costs nothing until touched, mapped from the host for each region:
  // every machine has 8 MiB of ring memory and a run writes a few kilobytes of it.
  struct Unmap {
    uint64_t Length;
    void operator()(uint8_t* Memory) const;
  };
  struct ZeroedBytes {
    std::unique_ptr<uint8_t, Unmap> Memory;
    uint64_t Length;
    uint8_t* data() const { return Memory.get(); }
    uint64_t size() const { return Length; }
  };
  struct Region {
    uint64_t Base;
    ZeroedBytes Bytes;
  };
  uint8_t* BytePointer(uint64_t Address, bool Create);
  const uint8_t* BytePointer(uint64_t Address) const;

  std::vector<Region> Regions;
  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> Pages;
  std::map<uint64_t, std::deque<uint32_t>> Scripts;
};

} // namespace sim
