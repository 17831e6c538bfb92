// The boot-log decoder over ring memory and its robustness against any header, and the register
// names that annotate traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <Sim/BootLog.h>
#include <Sim/Trace.h>

#include "SimTest.h"

namespace {

using sim::BootLog;
using sim::BootLogState;
using sim::DecodeBootLog;

constexpr uint64_t RING = 0xC5280000;

// Ring memory with the magic, every offset field 0 (area header at 0x400, data at 0x480), and the
// given area fields and data.
class Ring {
public:
  explicit Ring(uint64_t Size = 0x1000) : Bytes(Size, 0) { Put32(0x00, 0xEAEA2020); }
  void Put32(uint64_t Offset, uint32_t Value) {
    for (int I = 0; I < 4; ++I) {
      Bytes[Offset + I] = static_cast<uint8_t>(Value >> (8 * I));
    }
  }
  void PutText(uint64_t Offset, const std::string& Text) {
    std::copy(Text.begin(), Text.end(), Bytes.begin() + static_cast<ptrdiff_t>(Offset));
  }
  BootLog Decode() const { return DecodeBootLog(Bytes.data(), Bytes.size(), RING); }
  std::vector<uint8_t> Bytes;
};

// A 16-byte data area holding "0123456789ABCDEF".
Ring SixteenBytes(uint32_t WriteOffset, uint32_t Wrapped) {
  Ring R;
  R.Put32(0x404, 0x80 + 16);
  R.Put32(0x410, Wrapped);
  R.Put32(0x440, WriteOffset);
  R.PutText(0x480, "0123456789ABCDEF");
  return R;
}

TEST(BootLogDecoder, ReadsOldestTextFirst) {
  const BootLog Fresh = SixteenBytes(5, 0).Decode();
  EXPECT_EQ(Fresh.State, BootLogState::Decoded);
  EXPECT_EQ(Fresh.Text, "01234");
  EXPECT_EQ(Fresh.AreaHeader, 0xC5280400u);
  EXPECT_EQ(Fresh.Capacity, 16u);

  EXPECT_EQ(SixteenBytes(10, 1).Decode().Text, "ABCDEF0123456789");
  EXPECT_EQ(SixteenBytes(16, 1).Decode().Text, "0123456789ABCDEF");
  EXPECT_EQ(SixteenBytes(0, 1).Decode().Text, "0123456789ABCDEF");
  EXPECT_EQ(SixteenBytes(16, 0).Decode().Text, "0123456789ABCDEF");
  EXPECT_EQ(SixteenBytes(0, 0).Decode().Text, "");
}

// Slot 13 is slot 3, a slot table of 307201 + 1000 bytes has slots 100 bytes apart, the log base
// 308225 + 8 is 8 and the UEFI offset 30721 + 4 is 4: the region lies at 3 * 100 + 8 + 4 = 312,
// the area header at 312 + 0x400. AreaSize and WriteOffset count modulo their bounds too.
TEST(BootLogDecoder, FollowsTheWritersBoundsOnEveryField) {
  Ring R(0x2000);
  R.Put32(0x78, 13);
  R.Put32(0x10, 307201 + 1000);
  R.Put32(0x0C, 308225 + 8);
  R.Put32(0x28, 30721 + 4);
  const uint64_t Header = 312 + 0x400;
  R.Put32(Header + 0x04, 3145729 + 0x90);
  R.Put32(Header + 0x40, 3145601 + 3);
  R.PutText(Header + 0x80, "abcdefghijklmnop");
  const BootLog Log = R.Decode();
  EXPECT_EQ(Log.State, BootLogState::Decoded);
  EXPECT_EQ(Log.AreaHeader, RING + Header);
  EXPECT_EQ(Log.Capacity, 16u);
  EXPECT_EQ(Log.WriteOffset, 3u);
  EXPECT_EQ(Log.Text, "abc");
}

TEST(BootLogDecoder, ReportsAnAbsentRingACorruptHeaderAndShortMemory) {
  Ring NoMagic;
  NoMagic.Put32(0, 0x12345678);
  const BootLog Absent = NoMagic.Decode();
  EXPECT_EQ(Absent.State, BootLogState::NoRing);
  EXPECT_EQ(Absent.Problem, "no boot-log ring at 0xc5280000: its magic reads 0x12345678, not "
                            "0xeaea2020");

  Ring Tiny;
  Tiny.Put32(0x404, 3145729 + 5);
  const BootLog NoRoom = Tiny.Decode();
  EXPECT_EQ(NoRoom.State, BootLogState::CorruptHeader);
  EXPECT_EQ(NoRoom.Problem, "corrupt area header at 0xc5280400: AreaSize 0x300006 leaves no room "
                            "for its own 128-byte header");

  const BootLog PastEnd = SixteenBytes(17, 1).Decode();
  EXPECT_EQ(PastEnd.State, BootLogState::CorruptHeader);
  EXPECT_EQ(PastEnd.Problem, "corrupt area header at 0xc5280400: WriteOffset 0x11 lies beyond the "
                             "16 bytes of the data area");

  // The largest data area the header can express, in memory that does not hold it.
  Ring Huge;
  Huge.Put32(0x404, 3145728);
  const BootLog Beyond = Huge.Decode();
  EXPECT_EQ(Beyond.State, BootLogState::OutOfRange);
  EXPECT_EQ(Beyond.Problem, "the data area [0xc5280480, 0xc5580400) lies beyond the 4096 bytes "
                            "available from 0xc5280000");

  Ring FarHeader;
  FarHeader.Put32(0x0C, 308224);
  EXPECT_EQ(FarHeader.Decode().Problem,
            "the area header at 0xc52cb800 lies beyond the 4096 bytes available from 0xc5280000");

  const Ring Whole = SixteenBytes(5, 0);
  const BootLog Short = DecodeBootLog(Whole.Bytes.data(), 0x40, RING);
  EXPECT_EQ(Short.State, BootLogState::OutOfRange);
  EXPECT_EQ(Short.Problem,
            "the ring header at 0xc5280000 needs 124 bytes, only 64 bytes available");
  EXPECT_EQ(DecodeBootLog(nullptr, 0, RING).State, BootLogState::OutOfRange);
}

// Dumps read runs of memory at a time: across the start and the end of a RAM region, and over
// pages never written, every byte must still come from where it lives.
TEST(AddressSpaceLoad, CrossesRamRegionsAndUnwrittenPages) {
  sim::AddressSpace Space;
  Space.AddRamRegion(0xC5280000, 0x1000);
  Space.Poke32(0xC527FFFC, 0x44332211);
  Space.Poke32(0xC5280000, 0x88776655);
  Space.Poke32(0xC5280FFC, 0xCCBBAA99);
  Space.Poke32(0xC5281000, 0x00FFEEDD);
  uint8_t Bytes[16] = {};
  Space.Load(0xC527FFFC, Bytes, 8);
  EXPECT_EQ(std::vector<uint8_t>(Bytes, Bytes + 8),
            (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  Space.Load(0xC5280FFC, Bytes, 8);
  EXPECT_EQ(std::vector<uint8_t>(Bytes, Bytes + 8),
            (std::vector<uint8_t>{0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}));
  std::fill(std::begin(Bytes), std::end(Bytes), 0x5A);
  Space.Load(0x12345FF8, Bytes, 16);
  EXPECT_EQ(std::vector<uint8_t>(Bytes, Bytes + 16), std::vector<uint8_t>(16, 0));
}

TEST(RegisterNames, KnownAddressesAreAnnotatedAndOthersAreNot) {
  using simtest::R32;
  using simtest::W32;
  using simtest::W8;
  EXPECT_EQ(sim::FormatEvent(W32(0xA2900004, 1), true), "W32 0xa2900004 0x1 # shared.PortEnable");
  EXPECT_EQ(sim::FormatEvent(R32(0xA2916088, 0x40000), true),
            "R32 0xa2916088 0x40000 # pcie10.LinkStatus");
  EXPECT_EQ(sim::FormatEvent(W32(0xA2905070, 4), true), "W32 0xa2905070 0x4 # pcie8.LinkCtl2");
  EXPECT_EQ(sim::FormatEvent(W32(0xA291504C, 0x24), true), "W32 0xa291504c 0x24 # pcie10.LinkCap");
  EXPECT_EQ(sim::FormatEvent(W32(0xCD080C00, 0xABABABAB), true),
            "W32 0xcd080c00 0xabababab # isp.Marker");
  EXPECT_EQ(sim::FormatEvent(W8(0x840C0000, 0x41), true), "W8 0x840c0000 0x41 # uart.DR");
  EXPECT_EQ(sim::FormatEvent(W32(0xA2904578, 0), true), "W32 0xa2904578 0x0");
  EXPECT_EQ(sim::FormatEvent(W32(0xA2900004, 1), false), "W32 0xa2900004 0x1");
}

} // namespace
