#include <Sim/BootLog.h>

#include <Library/BootLogRing.h>
#include <Sim/Machine.h>
#include <Sim/Trace.h>

namespace sim {

namespace {

uint32_t Load32(const uint8_t* Bytes) {
  return Bytes[0] | Bytes[1] << 8 | Bytes[2] << 16 | static_cast<uint32_t>(Bytes[3]) << 24;
}

std::string Bytes(uint64_t Count) {
  return std::to_string(Count) + " bytes";
}

} // namespace

uint64_t BootLogRingForSelector(uint8_t Selector) {
  return Selector == BOOT_LOG_SELECTOR_LOW ? BOOT_LOG_RING_BASE_LOW : BOOT_LOG_RING_BASE_HIGH;
}

BootLog DecodeBootLog(const uint8_t* Memory, uint64_t Size, uint64_t RingAddress) {
  BootLog Log;
  Log.Ring = RingAddress;
  if (Memory == nullptr || Size < RING_SLOT_INDEX + 4) {
    Log.State = BootLogState::OutOfRange;
    Log.Problem = "the ring header at " + Hex(RingAddress) + " needs " +
                  Bytes(RING_SLOT_INDEX + 4) + ", only " + Bytes(Memory ? Size : 0) + " available";
    return Log;
  }
  Log.Magic = Load32(Memory + RING_MAGIC);
  if (Log.Magic != BOOT_LOG_RING_MAGIC) {
    Log.State = BootLogState::NoRing;
    Log.Problem = "no boot-log ring at " + Hex(RingAddress) + ": its magic reads " +
                  Hex(Log.Magic) + ", not " + Hex(BOOT_LOG_RING_MAGIC);
    return Log;
  }

  // The writer's arithmetic: each field within its bound, 32-bit operands, a 64-bit sum.
  const uint32_t Slot = Load32(Memory + RING_SLOT_INDEX) % RING_SLOT_COUNT;
  const uint32_t SlotStride =
      Load32(Memory + RING_SLOT_TABLE_SIZE) % RING_SLOT_TABLE_SIZE_MODULUS / RING_SLOT_COUNT;
  const uint32_t LogBase = Load32(Memory + RING_LOG_BASE_OFFSET) % RING_LOG_BASE_OFFSET_MODULUS;
  const uint32_t UefiOffset = Load32(Memory + RING_UEFI_OFFSET) % RING_UEFI_OFFSET_MODULUS;
  const uint64_t Header =
      static_cast<uint64_t>(Slot) * SlotStride + LogBase + UefiOffset + AREA_HEADER_OFFSET;
  Log.AreaHeader = RingAddress + Header;
  if (Header + AREA_HEADER_SIZE > Size) {
    Log.State = BootLogState::OutOfRange;
    Log.Problem = "the area header at " + Hex(Log.AreaHeader) + " lies beyond the " + Bytes(Size) +
                  " available from " + Hex(RingAddress);
    return Log;
  }
  const uint8_t* Area = Memory + Header;
  const uint32_t StoredSize = Load32(Area + AREA_SIZE);
  const uint32_t StoredOffset = Load32(Area + AREA_WRITE_OFFSET);
  Log.AreaSize = StoredSize % AREA_SIZE_MODULUS;
  Log.WriteOffset = StoredOffset % AREA_OFFSET_MODULUS;
  Log.Wrapped = Load32(Area + AREA_WRAPPED);
  Log.LevelInForce = Load32(Area + AREA_LEVEL_IN_FORCE);
  if (Log.AreaSize < AREA_HEADER_SIZE) {
    Log.State = BootLogState::CorruptHeader;
    Log.Problem = "corrupt area header at " + Hex(Log.AreaHeader) + ": AreaSize " +
                  Hex(StoredSize) + " leaves no room for its own 128-byte header";
    return Log;
  }
  Log.Capacity = Log.AreaSize - static_cast<uint32_t>(AREA_HEADER_SIZE);
  if (Log.WriteOffset > Log.Capacity) {
    Log.State = BootLogState::CorruptHeader;
    Log.Problem = "corrupt area header at " + Hex(Log.AreaHeader) + ": WriteOffset " +
                  Hex(StoredOffset) + " lies beyond the " + Bytes(Log.Capacity) +
                  " of the data area";
    return Log;
  }
  const uint64_t Data = Header + AREA_HEADER_SIZE;
  if (Data + Log.Capacity > Size) {
    Log.State = BootLogState::OutOfRange;
    Log.Problem = "the data area [" + Hex(RingAddress + Data) + ", " +
                  Hex(RingAddress + Data + Log.Capacity) + ") lies beyond the " + Bytes(Size) +
                  " available from " + Hex(RingAddress);
    return Log;
  }

  const char* Text = reinterpret_cast<const char*>(Memory + Data);
  if (Log.Wrapped != 0) {
    Log.Text.assign(Text + Log.WriteOffset, Log.Capacity - Log.WriteOffset);
  }
  Log.Text.append(Text, Log.WriteOffset);
  Log.State = BootLogState::Decoded;
  return Log;
}

BootLog ReadBootLog(AddressSpace& Space) {
  const uint64_t Ring = BootLogRingForSelector(Space.Peek8(BOOT_LOG_SELECTOR));
  return DecodeBootLog(Space.RamPointer(Ring, RING_AREA_SIZE), RING_AREA_SIZE, Ring);
}

std::string DescribeBootLog(const BootLog& Log) {
  if (Log.State != BootLogState::Decoded) {
    return Log.Problem;
  }
  return "ring " + Hex(Log.Ring) + ", area header " + Hex(Log.AreaHeader) + ", " +
         Bytes(Log.Text.size()) + " of text in a " + std::to_string(Log.Capacity) +
         "-byte data area, write offset " + Hex(Log.WriteOffset) +
         (Log.Wrapped != 0 ? ", wrapped" : ", not wrapped");
}

} // namespace sim
