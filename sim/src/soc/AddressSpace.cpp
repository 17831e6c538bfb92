#include <Sim/AddressSpace.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace sim {

void AddressSpace::Unmap::operator()(uint8_t* Memory) const {
  munmap(Memory, Length);
}

void AddressSpace::AddRamRegion(uint64_t Base, uint64_t Size) {
  const uint64_t Length = Size == 0 ? 1 : Size;
  void* Memory = mmap(nullptr, Length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Memory == MAP_FAILED) {
    throw std::bad_alloc();
  }
  Regions.push_back(Region{Base, {{static_cast<uint8_t*>(Memory), Unmap{Length}}, Size}});
}

uint8_t* AddressSpace::RamPointer(uint64_t Address, uint64_t Length) {
  for (Region& R : Regions) {
    const uint64_t Size = R.Bytes.size();
    if (Address >= R.Base && Address - R.Base <= Size && Length <= Size - (Address - R.Base)) {
      return R.Bytes.data() + (Address - R.Base);
    }
  }
  return nullptr;
}

bool AddressSpace::IsRam(uint64_t Address) const {
  for (const Region& R : Regions) {
    if (Address >= R.Base && Address - R.Base < R.Bytes.size()) {
      return true;
    }
  }
  return false;
}

std::vector<AddressSpace::RamRange> AddressSpace::RamRanges() const {
  std::vector<RamRange> Ranges;
  for (const Region& R : Regions) {
    Ranges.push_back({R.Base, R.Bytes.size()});
  }
  return Ranges;
}

uint8_t* AddressSpace::BytePointer(uint64_t Address, bool Create) {
  for (Region& R : Regions) {
    if (Address >= R.Base && Address - R.Base < R.Bytes.size()) {
      return R.Bytes.data() + (Address - R.Base);
    }
  }
  const uint64_t Page = Address / PAGE_SIZE;
  auto Found = Pages.find(Page);
  if (Found == Pages.end()) {
    if (!Create) {
      return nullptr;
    }
    Found = Pages.emplace(Page, std::make_unique<uint8_t[]>(PAGE_SIZE)).first;
    std::memset(Found->second.get(), 0, PAGE_SIZE);
  }
  return Found->second.get() + Address % PAGE_SIZE;
}

bool AddressSpace::NeedsNewPage(uint64_t Address) const {
  return !IsRam(Address) && Pages.find(Address / PAGE_SIZE) == Pages.end();
}

const uint8_t* AddressSpace::BytePointer(uint64_t Address) const {
  return const_cast<AddressSpace*>(this)->BytePointer(Address, false);
}

// Copies run by run (the rest of a RAM region or of a page), so that dumps of megabytes stay fast.
void AddressSpace::Load(uint64_t Address, void* Buffer, size_t Length) const {
  auto* Out = static_cast<uint8_t*>(Buffer);
  size_t Done = 0;
  while (Done < Length) {
    const uint64_t At = Address + Done;
    size_t Run = 0;
    for (const Region& R : Regions) {
      if (At >= R.Base && At - R.Base < R.Bytes.size()) {
        Run = std::min<uint64_t>(Length - Done, R.Bytes.size() - (At - R.Base));
        std::memcpy(Out + Done, R.Bytes.data() + (At - R.Base), Run);
        break;
      }
    }
    if (Run == 0) {
      Run = std::min<uint64_t>(Length - Done, PAGE_SIZE - At % PAGE_SIZE);
      // A page may hold the start of a RAM region: stop the run there.
      for (const Region& R : Regions) {
        if (R.Base > At && R.Base - At < Run) {
          Run = R.Base - At;
        }
      }
      const auto Found = Pages.find(At / PAGE_SIZE);
      if (Found == Pages.end()) {
        std::memset(Out + Done, 0, Run);
      } else {
        std::memcpy(Out + Done, Found->second.get() + At % PAGE_SIZE, Run);
      }
    }
    Done += Run;
  }
}

void AddressSpace::Store(uint64_t Address, const void* Buffer, size_t Length) {
  const auto* In = static_cast<const uint8_t*>(Buffer);
  for (size_t I = 0; I < Length; ++I) {
    *BytePointer(Address + I, true) = In[I];
  }
}

uint32_t AddressSpace::Peek32(uint64_t Address) const {
  uint8_t Bytes[4];
  Load(Address, Bytes, 4);
  return Bytes[0] | Bytes[1] << 8 | Bytes[2] << 16 | static_cast<uint32_t>(Bytes[3]) << 24;
}

void AddressSpace::Poke32(uint64_t Address, uint32_t Value) {
  const uint8_t Bytes[4] = {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8),
                            static_cast<uint8_t>(Value >> 16), static_cast<uint8_t>(Value >> 24)};
  Store(Address, Bytes, 4);
}

uint8_t AddressSpace::Peek8(uint64_t Address) const {
  const uint8_t* Byte = BytePointer(Address);
  return Byte ? *Byte : 0;
}

void AddressSpace::Poke8(uint64_t Address, uint8_t Value) {
  Store(Address, &Value, 1);
}

void AddressSpace::ScriptReads(uint64_t Address, const std::vector<uint32_t>& Values) {
  std::deque<uint32_t>& Script = Scripts[Address];
  Script.insert(Script.end(), Values.begin(), Values.end());
}

bool AddressSpace::NextScriptedRead(uint64_t Address, uint32_t& Value) {
  auto Found = Scripts.find(Address);
  if (Found == Scripts.end() || Found->second.empty()) {
    return false;
  }
  Value = Found->second.front();
  Found->second.pop_front();
  return true;
}

} // namespace sim
