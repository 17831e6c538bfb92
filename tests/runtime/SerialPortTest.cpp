// PL011 console: the already-configured test, the programming sequence and the transmit path.
#include <Library/SerialPortLib.h>

#include "SimTest.h"

namespace {

using namespace simtest;

constexpr uint64_t DR = 0x840C0000, RSR = 0x840C0004, FR = 0x840C0018, IBRD = 0x840C0024,
                   FBRD = 0x840C0028, LCR_H = 0x840C002C, CR = 0x840C0030;

const std::vector<Event> PROGRAMMING = {W32(CR, 0),       W32(IBRD, 108), W32(FBRD, 32),
                                        W32(LCR_H, 0x70), W32(RSR, 0),    W32(CR, 0x301)};

std::vector<Event> Join(std::vector<Event> Head, const std::vector<Event>& Tail) {
  Head.insert(Head.end(), Tail.begin(), Tail.end());
  return Head;
}

class SerialPortTest : public SimTest {};

TEST_F(SerialPortTest, PortConfiguredByAnEarlierStageIsLeftAlone) {
  Set32(CR, 0x301);
  Set32(LCR_H, 0x70);
  Set32(IBRD, 108);
  Set32(FBRD, 32);
  Start();
  EXPECT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  EXPECT_EQ(Hardware(),
            (std::vector<Event>{R32(CR, 0x301), R32(LCR_H, 0x70), R32(IBRD, 108), R32(FBRD, 32)}));
}

TEST_F(SerialPortTest, FifosOffMeansReprogrammingAfterTheTransmitterDrains) {
  Set32(CR, 0x301);
  Set32(LCR_H, 0x60);
  Set32(IBRD, 108);
  Set32(FBRD, 32);
  Script(FR, {0x00, 0x00, 0x90});
  Start();
  SerialPortInitialize();
  EXPECT_EQ(
      Hardware(),
      Join({R32(CR, 0x301), R32(LCR_H, 0x60), R32(FR, 0), R32(FR, 0), R32(FR, 0x90)}, PROGRAMMING));
}

TEST_F(SerialPortTest, DisabledPortIsProgrammedWithoutReadingItsSettings) {
  Set32(LCR_H, 0x70);
  Start();
  SerialPortInitialize();
  EXPECT_EQ(Hardware(), Join({R32(CR, 0), R32(FR, 0x90)}, PROGRAMMING));
}

TEST_F(SerialPortTest, DivisorMismatchStopsTheComparisonThere) {
  Set32(CR, 0x301);
  Set32(LCR_H, 0x70);
  Set32(IBRD, 107);
  Start();
  SerialPortInitialize();
  EXPECT_EQ(Hardware(),
            Join({R32(CR, 0x301), R32(LCR_H, 0x70), R32(IBRD, 107), R32(FR, 0x90)}, PROGRAMMING));
}

TEST_F(SerialPortTest, EachByteWaitsForRoomAndIsOneByteStore) {
  Script(FR, {0x20, 0x20, 0x90, 0x90, 0x20, 0x90});
  Start();
  const UINT8 Text[] = {'O', 'K', '\n'};
  EXPECT_EQ(SerialPortWrite(Text, 3), 3u);
  EXPECT_EQ(Hardware(), (std::vector<Event>{R32(FR, 0x20), R32(FR, 0x20), R32(FR, 0x90),
                                            W8(DR, 'O'), R32(FR, 0x90), W8(DR, 'K'), R32(FR, 0x20),
                                            R32(FR, 0x90), W8(DR, 0x0A)}));
  EXPECT_EQ(Machine->Console(), "OK\n");
}

} // namespace
