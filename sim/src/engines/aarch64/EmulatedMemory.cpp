// The emulated physical address space: the engine's window (stubs, tables, stack, pool, images),
// the SoC's ordinary memory shared with the machine, and register space everywhere else, mapped
// as a few callback regions that pass every access to the SoC model. Also what the firmware may
// reach through the pointers an image hands it.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "EngineImpl.h"

namespace sim {

using namespace engine;

namespace {

// The emulated processor's physical address range; above it every access faults.
constexpr uint64_t PHYSICAL_END = 1ULL << 48;

uint64_t AlignUp(uint64_t Value, uint64_t Alignment) {
  return (Value + Alignment - 1) / Alignment * Alignment;
}

} // namespace

HostMemory::HostMemory(size_t Length_) : Length(Length_) {
  void* Memory = mmap(nullptr, Length, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (Memory == MAP_FAILED) {
    throw std::bad_alloc();
  }
  Bytes = static_cast<uint8_t*>(Memory);
}

HostMemory::~HostMemory() {
  munmap(Bytes, Length);
}

uint8_t* Aarch64Engine::Impl::MapArea(uint64_t Base, uint64_t Size, uint32_t Protection,
                                      const std::string& Name) {
  Buffers.push_back(std::make_unique<HostMemory>(Size));
  uint8_t* Host = Buffers.back()->Data();
  Check(uc_mem_map_ptr(Uc, Base, Size, Protection, Host), "cannot map emulated memory");
  Areas[Base] = Area{Base, Size, Host, Name};
  return Host;
}

// The SoC's ordinary memory is shared with the machine, so that both engines and the host-side
// readers (dumps, the boot-log reader) see the same bytes. Pages only partly covered by it are
// register space, whose callbacks serve the memory bytes.
void Aarch64Engine::Impl::MapMachineMemory() {
  std::vector<std::pair<uint64_t, uint64_t>> Memory;
  for (const AddressSpace::RamRange& Range : M.Memory().RamRanges()) {
    const uint64_t First = AlignUp(Range.Base, PAGE);
    const uint64_t End = (Range.Base + Range.Size) / PAGE * PAGE;
    if (End > First) {
      uint8_t* Host = M.Memory().RamPointer(First, End - First);
      Check(uc_mem_map_ptr(Uc, First, End - First, UC_PROT_READ | UC_PROT_WRITE, Host),
            "cannot map SoC memory");
      Memory.push_back({First, End});
    }
  }
  std::sort(Memory.begin(), Memory.end());
  uint64_t Cursor = 0;
  for (const auto& [First, End] : Memory) {
    MapRegisterSpace(Cursor, First);
    Cursor = End;
  }
  MapRegisterSpace(Cursor, EMULATOR_WINDOW_BASE);
  MapRegisterSpace(EMULATOR_WINDOW_END, PHYSICAL_END);
}

void Aarch64Engine::Impl::MapRegisterSpace(uint64_t Base, uint64_t End) {
  if (End <= Base) {
    return;
  }
  MmioRegions.push_back(MmioRegion{this, Base});
  MmioRegion* Context = &MmioRegions.back();
  Check(uc_mmio_map(Uc, Base, End - Base, OnMmioRead, Context, OnMmioWrite, Context),
        "cannot map register space");
}

const LoadedImage* Aarch64Engine::Impl::ImageAt(uint64_t Address) const {
  auto Next = Images.upper_bound(Address);
  if (Next == Images.begin()) {
    return nullptr;
  }
  const LoadedImage& Image = *std::prev(Next)->second;
  return Image.Contains(Address) ? &Image : nullptr;
}

LoadedImage* Aarch64Engine::Impl::ImageAt(uint64_t Address) {
  return const_cast<LoadedImage*>(std::as_const(*this).ImageAt(Address));
}

uint8_t* Aarch64Engine::Impl::HostPointer(uint64_t Address, uint64_t Length) const {
  auto Next = Areas.upper_bound(Address);
  if (Next != Areas.begin()) {
    const Area& A = std::prev(Next)->second;
    if (Address - A.Base < A.Size && Length <= A.Size - (Address - A.Base)) {
      return A.Host + (Address - A.Base);
    }
  }
  if (const LoadedImage* Image = ImageAt(Address)) {
    return Length <= Image->Base + Image->Size - Address ? Image->Host + (Address - Image->Base)
                                                         : nullptr;
  }
  return M.Memory().RamPointer(Address, Length);
}

// The next image's place: on a 64 KiB boundary, with at least one page that nothing may touch
// after the one before, in a chunk mapped once for many images.
uint64_t Aarch64Engine::Impl::PlaceImage(uint64_t Size) {
  uint64_t Base = AlignUp(NextImageBase, IMAGE_ALIGNMENT);
  if (Chunks.empty() || Base + Size + PAGE > Chunks.back().Base + Chunks.back().Size) {
    const uint64_t ChunkBase =
        Chunks.empty() ? IMAGE_AREA_BASE : Chunks.back().Base + Chunks.back().Size;
    const uint64_t ChunkSize = AlignUp(Size + PAGE, IMAGE_CHUNK_SIZE);
    if (ChunkSize > IMAGE_AREA_END - ChunkBase) {
      throw std::runtime_error("dxesim: no room left in the emulated memory to load an image");
    }
    Chunks.push_back(ImageChunk{ChunkBase, ChunkSize, std::make_unique<HostMemory>(ChunkSize)});
    Check(uc_mem_map_ptr(Uc, ChunkBase, ChunkSize, UC_PROT_ALL, Chunks.back().Memory->Data()),
          "cannot map memory for images");
    Base = ChunkBase;
  }
  NextImageBase = Base + Size + PAGE;
  return Base;
}

std::string Aarch64Engine::Impl::Describe(uint64_t Address) const {
  auto Next = Areas.upper_bound(Address);
  if (Next != Areas.begin()) {
    const Area& A = std::prev(Next)->second;
    if (Address - A.Base < A.Size) {
      return Hex(Address) + " (" + A.Name + "+" + Hex(Address - A.Base) + ")";
    }
  }
  if (const LoadedImage* Image = ImageAt(Address)) {
    return Hex(Address) + " (" + Image->Name + "+" + Hex(Address - Image->Base) + ")";
  }
  return Hex(Address);
}

std::string Aarch64Engine::Impl::RelocationNote(uint64_t Address) const {
  if (Caller == nullptr || Caller->Relocated || Address < Caller->LinkedBase ||
      Address >= Caller->LinkedEnd || Caller->Contains(Address)) {
    return {};
  }
  return " (inside the addresses " + Hex(Caller->LinkedBase) + " to " + Hex(Caller->LinkedEnd - 1) +
         " that " + Caller->Name +
         " was linked for: the image carries no relocations, so an absolute address in it still "
         "points there, not to where the image was loaded, " +
         Hex(Caller->Base) + ")";
}

void Aarch64Engine::Impl::Read(uint64_t Address, void* Buffer, size_t Length) {
  if (Length == 0) {
    return;
  }
  if (const uint8_t* Host = HostPointer(Address, Length)) {
    std::memcpy(Buffer, Host, Length);
    return;
  }
  std::memset(Buffer, 0, Length);
}

void Aarch64Engine::Impl::Write(uint64_t Address, const void* Buffer, size_t Length) {
  if (Length == 0) {
    return;
  }
  if (uint8_t* Host = HostPointer(Address, Length)) {
    if (LoadedImage* Image = ImageAt(Address)) {
      for (uint64_t Page = Address & ~(PAGE - 1); Page < Address + Length; Page += PAGE) {
        Image->ChangedCode[(Page - Image->Base) / PAGE] = 1;
      }
      CheckedPage = 0;
    }
    std::memcpy(Host, Buffer, Length);
  }
}

// What a service may use for the image: its stack from the stack pointer up, a live pool block,
// and the image itself (its writable pages for a write); for reading also the firmware's tables.
bool Aarch64Engine::Impl::Reaches(const char* Service, uint64_t Address, uint64_t Length,
                                  bool ToWrite) {
  if (!Running || Length == 0) {
    return true;
  }
  const uint64_t End = Address + Length;
  bool Usable = false;
  if (End > Address) {
    const uint64_t Sp = ReadRegister(UC_ARM64_REG_SP);
    const auto& Pool = Fw.Pool();
    auto Block = Pool.upper_bound(Address);
    if (Block != Pool.begin()) {
      --Block;
    }
    if (Address >= std::max(Sp, STACK_BASE) && End <= STACK_TOP) {
      Usable = true;
    } else if (Block != Pool.end() && Address >= Block->first &&
               End <= Block->first + Block->second.Size) {
      Usable = true;
    } else if (Caller != nullptr && Caller->Contains(Address) &&
               End <= Caller->Base + Caller->Size) {
      Usable = true;
      for (uint64_t Page = Address & ~(PAGE - 1); Page < End; Page += PAGE) {
        Usable &= (Caller->PageAt(Page) & (ToWrite ? PE_PAGE_WRITE : PE_PAGE_READ)) != 0;
      }
    } else if (!ToWrite && Address >= TABLE_BASE && End <= TABLE_BASE + TABLE_SIZE) {
      Usable = true;
    }
  }
  if (!Usable) {
    NoteFault(M.RunningImageName() + ": " + Service + " was handed a pointer to " +
              std::to_string(Length) + " bytes at " + Describe(Address) + RelocationNote(Address) +
              " to " +
              (ToWrite ? "write, outside the image's data, its stack and its pool"
                       : "read, outside the image, its stack, its pool and the firmware's tables"));
  }
  return Usable;
}

// Pool contents are undefined on real firmware: fill them so that nothing relies on zeros, and
// poison freed blocks, which are never handed out again.
uint64_t Aarch64Engine::Impl::AllocatePool(size_t Length) {
  if (Length > POOL_CAPACITY) {
    return 0;
  }
  const uint64_t Size = AlignUp(Length == 0 ? 1 : Length, POOL_ALIGNMENT);
  if (Size > POOL_BASE + POOL_CAPACITY - NextPool) {
    return 0;
  }
  const uint64_t Block = NextPool;
  NextPool += Size;
  std::memset(HostPointer(Block, Size), 0xAF, Size);
  PoolBlocks[Block] = Size;
  return Block;
}

void Aarch64Engine::Impl::FreePool(uint64_t Block) {
  const auto Found = PoolBlocks.find(Block);
  if (Found != PoolBlocks.end()) {
    std::memset(HostPointer(Block, Found->second), 0xFE, Found->second);
    PoolBlocks.erase(Found);
  }
}

void Aarch64Engine::Impl::TraceMemory(bool ToWrite, uint64_t Address, unsigned Size, uint64_t Value,
                                      const std::string& Note) {
  M.Record(
      {ToWrite ? EventKind::MemoryWrite : EventKind::MemoryRead, Address, Value, Note, Size * 8});
}

uint64_t Aarch64Engine::Impl::RegisterRead(uint64_t Address, unsigned Size) {
  if (Halted) {
    return 0;
  }
  if (const uint8_t* Ram = M.Memory().RamPointer(Address, Size)) {
    uint64_t Value = 0;
    std::memcpy(&Value, Ram, Size);
    return Value;
  }
  uint64_t Value = 0;
  if (Size == 4) {
    Guarded([&] { Value = M.Read32(Address); });
  } else if (Size == 1) {
    Guarded([&] { Value = M.Read8(Address); });
  }
  return Value;
}

void Aarch64Engine::Impl::RegisterWrite(uint64_t Address, unsigned Size, uint64_t Value) {
  if (Halted) {
    return;
  }
  if (uint8_t* Ram = M.Memory().RamPointer(Address, Size)) {
    std::memcpy(Ram, &Value, Size);
    return;
  }
  if (Size == 4) {
    Guarded([&] { M.Write32(Address, static_cast<uint32_t>(Value)); });
  } else if (Size == 1) {
    Guarded([&] { M.Write8(Address, static_cast<uint8_t>(Value)); });
  }
}

uint64_t Aarch64Engine::Impl::OnMmioRead(uc_engine*, uint64_t Offset, unsigned Size, void* User) {
  const auto& Region = *static_cast<MmioRegion*>(User);
  return static_cast<Impl*>(Region.Owner)->RegisterRead(Region.Base + Offset, Size);
}

void Aarch64Engine::Impl::OnMmioWrite(uc_engine*, uint64_t Offset, unsigned Size, uint64_t Value,
                                      void* User) {
  const auto& Region = *static_cast<MmioRegion*>(User);
  static_cast<Impl*>(Region.Owner)->RegisterWrite(Region.Base + Offset, Size, Value);
}

} // namespace sim
