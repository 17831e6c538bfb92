// The boot-log ring writer over arbitrary ring headers, selector bytes, levels and messages: the
// only ring bytes that may change are the area header's words and, when the message fits, the
// data area; the message then ends exactly at the new write offset.
#include <Library/DebugLogLib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <Sim/Machine.h>

namespace {

constexpr uint64_t RING_HIGH = 0xC5280000, RING_LOW = 0x31280000, SPAN = 4u << 20;

struct Reader {
  const uint8_t* Data;
  size_t Size;
  uint32_t Word() {
    uint32_t Value = 0;
    const size_t Take = Size < 4 ? Size : 4;
    std::memcpy(&Value, Data, Take);
    Data += Take;
    Size -= Take;
    return Value;
  }
};

void Check(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "ring writer property violated: %s\n", What);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static sim::Machine* Machine = [] {
    auto* M = new sim::Machine(sim::BoardProfile{});
    M->SetAccessBudget(UINT64_MAX); // one machine serves the whole fuzzing run
    return M;
  }();
  static std::vector<uint8_t> Before(SPAN);
  Reader In{Data, Size};
  const uint32_t Control = In.Word();
  const uint8_t Selector = Control & 3;
  const uint32_t Level = (Control >> 2) & 7;
  const uint32_t Fields[4] = {In.Word(), In.Word(), In.Word(), In.Word()};
  const uint32_t AreaSize = In.Word(), WriteOffset = In.Word(), Wrapped = In.Word() & 1;
  const std::string Message(reinterpret_cast<const char*>(In.Data), In.Size);

  const uint64_t Base = Selector == 2 ? RING_LOW : RING_HIGH;
  // Where the area header lies: slot x stride + log base + UEFI offset + 1 KiB.
  const uint64_t H = uint64_t{Fields[3] % 10} * (Fields[1] % 307201 / 10) + Fields[0] % 308225 +
                     Fields[2] % 30721 + 0x400;
  LogThreshold = LOG_THRESHOLD_UNPROBED;
  Machine->Events().clear();
  Machine->Memory().Poke32(0x8000FFFC, 0);
  Machine->Memory().Poke8(0xC6F0800A, Selector);
  const std::pair<uint64_t, uint32_t> Words[] = {
      {0, 0xEAEA2020},   {0x0C, Fields[0]},    {0x10, Fields[1]},       {0x28, Fields[2]},
      {0x78, Fields[3]}, {H + 0x04, AreaSize}, {H + 0x40, WriteOffset}, {H + 0x10, Wrapped}};
  for (const auto& [Offset, Value] : Words) {
    Machine->Memory().Poke32(Base + Offset, Value);
  }
  uint8_t* Ring = Machine->Memory().RamPointer(Base, SPAN);
  std::memcpy(Before.data(), Ring, SPAN);

  LogPrint(Level, "%a", Message.c_str());

  const uint32_t AreaBytes = AreaSize % 3145729, OldWrite = WriteOffset % 3145601;
  const uint32_t K = AreaBytes - 128;
  // The staged text: prefix and message cut at 1023 characters (and at the first NUL), without
  // carriage returns. An empty message is not written at all.
  static const char* const NAMES[] = {"DEBUG", "INFO", "WARNING", "ERROR"};
  const std::string Text(Message.c_str());
  std::string Formatted = std::string("[") + NAMES[Level > 3 ? 3 : Level] + "][UEFI]" + Text;
  Formatted.resize(std::min<size_t>(Formatted.size(), 1023));
  std::string Staged;
  for (char C : Formatted) {
    if (C != '\r') {
      Staged += C;
    }
  }
  const bool Passed = (Level > 3 ? 3 : Level) >= 2 && !Text.empty();
  const bool Fits = Passed && AreaBytes >= 128 && OldWrite <= K && Staged.size() <= K;
  const uint64_t Owned[][2] = {{H, H + 0x48}, {H + 0x80, H + 0x80 + (Fits ? K : 0)}};
  uint64_t From = 0;
  for (const auto& Range : Owned) {
    Check(std::memcmp(Ring + From, Before.data() + From, Range[0] - From) == 0,
          "a ring byte outside the area header and data area changed");
    From = Range[1];
  }
  Check(std::memcmp(Ring + From, Before.data() + From, SPAN - From) == 0,
        "a ring byte past the data area changed");
  const uint32_t NewWrite = Machine->Memory().Peek32(Base + H + 0x40);
  if (!Fits) {
    Check(NewWrite == WriteOffset, "a message that was not written moved the write offset");
    return 0;
  }
  const uint64_t End = OldWrite + Staged.size();
  Check(NewWrite == (End <= K ? End : End - K), "write offset");
  Check(Machine->Memory().Peek32(Base + H + 0x10) == (End <= K ? Wrapped : 1), "wrapped flag");
  for (size_t I = 0; I < Staged.size(); ++I) {
    const uint64_t Position = (NewWrite + K - Staged.size() + I) % K;
    Check(Ring[H + 0x80 + Position] == static_cast<uint8_t>(Staged[I]), "message text");
  }
  return 0;
}
