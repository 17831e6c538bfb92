// LZMA decode speed: the image's decoder against liblzma's on the same corpus in the same run.
//
// The corpus is built at start from the machine's own programs and libraries (ELF files under
// /usr/bin and /usr/lib, in name order, until there are at least 16 MiB), each compressed on its
// own with liblzma at preset 6 into a stream of known size without an end marker, as the firmware
// build writes them. One iteration decodes the whole corpus. Repetitions of the two decoders are
// interleaved at random, since the machine is shared; the ratio of the medians is printed on a
// line of its own: `lzma-decode-ratio <ours/liblzma>`.
#include "LzmaDecoder.h"
#include "LzmaTestSupport.h"

#include <benchmark/benchmark.h>
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

// The decoder is compiled with the images' flags, stack protector included, so it needs the
// image's guard word.
extern "C" {
uintptr_t __stack_chk_guard = 0x2F8A6C31D94E5B07ULL;
[[noreturn]] void __stack_chk_fail() {
  std::abort();
}
}

namespace {

using lzmatest::Bytes;

constexpr size_t CORPUS_BYTES = 16u << 20;
constexpr size_t SMALLEST_FILE = 16u << 10;
constexpr size_t LARGEST_FILE = 4u << 20;

struct Item {
  Bytes Plain;
  Bytes Stream;
};

std::vector<Item> gCorpus;
size_t gPlainBytes = 0;
size_t gStreamBytes = 0;
size_t gLargest = 0;

void BuildCorpus() {
  for (const char* Directory : {"/usr/bin", "/usr/lib"}) {
    std::vector<std::filesystem::path> Paths;
    std::error_code Error;
    for (auto It = std::filesystem::recursive_directory_iterator(
             Directory, std::filesystem::directory_options::skip_permission_denied, Error);
         It != std::filesystem::recursive_directory_iterator(); It.increment(Error)) {
      if (It->is_regular_file(Error) && !It->is_symlink(Error)) {
        Paths.push_back(It->path());
      }
    }
    std::sort(Paths.begin(), Paths.end());
    for (const auto& Path : Paths) {
      if (gPlainBytes >= CORPUS_BYTES) {
        return;
      }
      auto Size = std::filesystem::file_size(Path, Error);
      if (Error || Size < SMALLEST_FILE || Size > LARGEST_FILE) {
        continue;
      }
      std::ifstream File(Path, std::ios::binary);
      Bytes Data((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
      if (Data.size() != Size || std::memcmp(Data.data(),
                                             "\x7F"
                                             "ELF",
                                             4) != 0) {
        continue;
      }
      Item I{std::move(Data), {}};
      I.Stream = lzmatest::LiblzmaRaw(I.Plain, 6);
      gPlainBytes += I.Plain.size();
      gStreamBytes += I.Stream.size();
      gLargest = std::max(gLargest, I.Plain.size());
      gCorpus.push_back(std::move(I));
    }
  }
}

RETURN_STATUS DecodeOurs(const Item& I, uint8_t* Output, uint16_t* Scratch) {
  LZMA_STREAM_INFO Info;
  RETURN_STATUS Status = LzmaReadStreamInfo(I.Stream.data(), I.Stream.size(), &Info);
  if (Status == RETURN_SUCCESS) {
    Status = LzmaDecodeStream(I.Stream.data(), I.Stream.size(), &Info, Output, Scratch);
  }
  return Status;
}

bool DecodeLiblzma(lzma_stream* S, const Item& I, uint8_t* Output) {
  if (lzma_alone_decoder(S, UINT64_MAX) != LZMA_OK) {
    return false;
  }
  S->next_in = I.Stream.data();
  S->avail_in = I.Stream.size();
  S->next_out = Output;
  S->avail_out = I.Plain.size() + 1;
  return lzma_code(S, LZMA_FINISH) == LZMA_STREAM_END;
}

void BM_DecodeOurs(benchmark::State& State) {
  Bytes Output(gLargest);
  std::vector<uint16_t> Scratch(1u << 16);
  for (auto _ : State) {
    for (const Item& I : gCorpus) {
      if (DecodeOurs(I, Output.data(), Scratch.data()) != RETURN_SUCCESS) {
        State.SkipWithError("decode failed");
        return;
      }
    }
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed((int64_t)(State.iterations() * gPlainBytes));
}

void BM_DecodeLiblzma(benchmark::State& State) {
  Bytes Output(gLargest + 1);
  lzma_stream S = LZMA_STREAM_INIT;
  for (auto _ : State) {
    for (const Item& I : gCorpus) {
      if (!DecodeLiblzma(&S, I, Output.data())) {
        State.SkipWithError("decode failed");
        return;
      }
    }
    benchmark::ClobberMemory();
  }
  lzma_end(&S);
  State.SetBytesProcessed((int64_t)(State.iterations() * gPlainBytes));
}

BENCHMARK(BM_DecodeOurs)->Unit(benchmark::kMillisecond)->Repetitions(11);
BENCHMARK(BM_DecodeLiblzma)->Unit(benchmark::kMillisecond)->Repetitions(11);

// Console output as usual (without colours, for logs), keeping the median rate of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& Reports) override {
    for (const Run& R : Reports) {
      auto Rate = R.counters.find("bytes_per_second");
      if (R.run_type == Run::RT_Aggregate && R.aggregate_name == "median" &&
          Rate != R.counters.end()) {
        Medians[R.run_name.function_name] = Rate->second.value;
      }
    }
    ConsoleReporter::ReportRuns(Reports);
  }
  std::map<std::string, double> Medians;
};

} // namespace

int main(int argc, char** argv) {
  std::vector<char*> Arguments(argv, argv + argc);
  char Interleave[] = "--benchmark_enable_random_interleaving=true";
  Arguments.insert(Arguments.begin() + 1, Interleave);
  int Count = (int)Arguments.size();
  benchmark::Initialize(&Count, Arguments.data());
  if (benchmark::ReportUnrecognizedArguments(Count, Arguments.data())) {
    return 1;
  }

  BuildCorpus();
  if (gPlainBytes < CORPUS_BYTES) {
    std::fprintf(stderr, "only %zu bytes of ELF files found for the corpus\n", gPlainBytes);
    return 1;
  }
  // Both decoders must give back the files before their speed means anything.
  Bytes Output(gLargest + 1);
  std::vector<uint16_t> Scratch(1u << 16);
  lzma_stream S = LZMA_STREAM_INIT;
  for (const Item& I : gCorpus) {
    if (DecodeOurs(I, Output.data(), Scratch.data()) != RETURN_SUCCESS ||
        std::memcmp(Output.data(), I.Plain.data(), I.Plain.size()) != 0 ||
        !DecodeLiblzma(&S, I, Output.data()) ||
        std::memcmp(Output.data(), I.Plain.data(), I.Plain.size()) != 0) {
      std::fprintf(stderr, "a corpus file does not round-trip\n");
      return 1;
    }
  }
  lzma_end(&S);
  std::printf("corpus: %zu ELF files, %zu bytes, %zu compressed at preset 6\n", gCorpus.size(),
              gPlainBytes, gStreamBytes);

  RatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();
  auto Ours = Reporter.Medians.find("BM_DecodeOurs");
  auto Theirs = Reporter.Medians.find("BM_DecodeLiblzma");
  if (Ours != Reporter.Medians.end() && Theirs != Reporter.Medians.end()) {
    std::printf("decode MB/s (median of output): ours %.1f, liblzma %.1f\n", Ours->second / 1e6,
                Theirs->second / 1e6);
    std::printf("lzma-decode-ratio %.3f\n", Ours->second / Theirs->second);
  }
  return 0;
}
