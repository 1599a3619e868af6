// Small-item churn (8 to 256 bytes) on the engine allocator and on the
// system allocator (malloc / free), on 1 and 4 threads. Both run the same
// seeded sequence of requests, so their checksums must agree; the ratio
// printed at the end is engine time / system time (below 1: the engine is
// faster), from the fastest of seven repetitions of each.
//
//   churn  1024 live slots per thread; each step frees a random slot and
//          fills it again with a new random size
//   burst  256 allocations of random sizes, then all 256 freed
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/qdEngine.h"
#include "foundation/qdllMemoryManager.h"

namespace {

constexpr int kStepsPerIteration = 256;
constexpr int64_t kIterations = 20000;

struct TqdEngineHeap {
  static constexpr const char* kName = "engine";
  static void* Get(size_t aSize) { return qd::qdGetMemPtr(aSize); }
  static void Free(void* P) { qd::qdFreeMem(P); }
};

struct TqdSystemHeap {
  static constexpr const char* kName = "system";
  static void* Get(size_t aSize) { return std::malloc(aSize); }
  static void Free(void* P) { std::free(P); }
};

uint64_t nextRandom(uint64_t& aState) {
  aState ^= aState << 13;
  aState ^= aState >> 7;
  aState ^= aState << 17;
  return aState;
}

size_t sizeOf(uint64_t aRandom) { return 8 + (aRandom >> 40) % 249; }

template <typename THeap>
void Churn(benchmark::State& aState) {
  std::vector<uint8_t*> slots(1024, nullptr);
  uint64_t random = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(aState.thread_index() + 1);
  uint64_t checksum = 0;
  for (auto _ : aState) {
    for (int step = 0; step < kStepsPerIteration; ++step) {
      const uint64_t value = nextRandom(random);
      uint8_t*& slot = slots[value % slots.size()];
      if (slot != nullptr) {
        checksum += slot[0];
        THeap::Free(slot);
      }
      const size_t size = sizeOf(value);
      slot = static_cast<uint8_t*>(THeap::Get(size));
      slot[0] = static_cast<uint8_t>(size);
      slot[size - 1] = 1;
    }
  }
  for (uint8_t* slot : slots) {
    if (slot != nullptr) {
      checksum += slot[0];
      THeap::Free(slot);
    }
  }
  aState.SetItemsProcessed(aState.iterations() * kStepsPerIteration);
  aState.counters["checksum"] = benchmark::Counter(static_cast<double>(checksum), benchmark::Counter::kAvgThreads);
}

template <typename THeap>
void Burst(benchmark::State& aState) {
  uint8_t* held[kStepsPerIteration];
  uint64_t random = 0xD1B54A32D192ED03ull * static_cast<uint64_t>(aState.thread_index() + 1);
  uint64_t checksum = 0;
  for (auto _ : aState) {
    for (auto& item : held) {
      const size_t size = sizeOf(nextRandom(random));
      item = static_cast<uint8_t*>(THeap::Get(size));
      item[0] = static_cast<uint8_t>(size);
      item[size - 1] = 1;
    }
    for (uint8_t* item : held) {
      checksum += item[0];
      THeap::Free(item);
    }
  }
  aState.SetItemsProcessed(aState.iterations() * kStepsPerIteration);
  aState.counters["checksum"] = benchmark::Counter(static_cast<double>(checksum), benchmark::Counter::kAvgThreads);
}

// Repeated, and the fastest repetition compared: the machine may be busy
// with other work, which only ever makes a run slower. Both the wall time
// and the process's CPU time (which waiting for a processor does not
// inflate) are compared.
#define QD_ALLOCATOR_BENCHMARK(aWorkload, aHeap) \
  BENCHMARK_TEMPLATE(aWorkload, aHeap)           \
      ->Iterations(kIterations)                  \
      ->Repetitions(7)                           \
      ->Threads(1)                               \
      ->Threads(4)                               \
      ->MeasureProcessCPUTime()                  \
      ->UseRealTime()

QD_ALLOCATOR_BENCHMARK(Churn, TqdEngineHeap);
QD_ALLOCATOR_BENCHMARK(Churn, TqdSystemHeap);
QD_ALLOCATOR_BENCHMARK(Burst, TqdEngineHeap);
QD_ALLOCATOR_BENCHMARK(Burst, TqdSystemHeap);

// Keeps each run's time and checksum for the comparison at the end.
class TqdCollectingReporter : public benchmark::ConsoleReporter {
 public:
  struct TqdResult {
    double fNanosPerStep = 0;     // wall time
    double fCpuNanosPerStep = 0;  // process CPU time
    double fChecksum = 0;
  };
  std::map<std::string, TqdResult> fResults;  // "workload/threads:n" by heap

  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& run : aRuns) {
      if (run.run_type == Run::RT_Aggregate) continue;
      std::string name = run.run_name.str();
      const bool engine = name.find("TqdEngineHeap") != std::string::npos;
      const std::string key = name.substr(0, name.find('<')) + name.substr(name.find('>') + 1) + "|" +
                              (engine ? TqdEngineHeap::kName : TqdSystemHeap::kName);
      TqdResult& result = fResults[key];
      const double nanos = run.GetAdjustedRealTime() / kStepsPerIteration;
      if (result.fNanosPerStep == 0 || nanos < result.fNanosPerStep) result.fNanosPerStep = nanos;
      // CPU time summed over the threads, per step of one thread.
      const double cpu = run.GetAdjustedCPUTime() / kStepsPerIteration;
      if (result.fCpuNanosPerStep == 0 || cpu < result.fCpuNanosPerStep) result.fCpuNanosPerStep = cpu;
      const auto checksum = run.counters.find("checksum");
      if (checksum != run.counters.end()) result.fChecksum = checksum->second.value;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  // Repetitions of the engine and the system runs are interleaved, so both
  // meet the same moments of a busy machine.
  std::vector<char*> arguments(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  TqdCollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-56s %9s %9s %6s %9s %9s %6s  %s\n", "workload", "engine", "system", "ratio", "engine", "system",
              "ratio", "checksums");
  std::printf("%-56s %26s %26s\n", "", "(wall ns)", "(CPU ns)");
  int failures = 0;
  for (const auto& [key, result] : reporter.fResults) {
    const std::string workload = key.substr(0, key.find('|'));
    if (key.substr(key.find('|') + 1) != TqdEngineHeap::kName) continue;
    const auto system = reporter.fResults.find(workload + "|" + TqdSystemHeap::kName);
    if (system == reporter.fResults.end()) continue;
    const bool same = result.fChecksum == system->second.fChecksum;
    if (!same) ++failures;
    const TqdCollectingReporter::TqdResult& other = system->second;
    std::printf("%-56s %9.2f %9.2f %6.2f %9.2f %9.2f %6.2f  %s\n", workload.c_str(), result.fNanosPerStep,
                other.fNanosPerStep, result.fNanosPerStep / other.fNanosPerStep, result.fCpuNanosPerStep,
                other.fCpuNanosPerStep, result.fCpuNanosPerStep / other.fCpuNanosPerStep, same ? "agree" : "DIFFER");
  }
  std::printf("(ns per allocation and free of one thread, fastest repetition; ratio = engine / system)\n");
  benchmark::Shutdown();
  qd::qdEngineFinalize();
  return failures == 0 ? 0 : 1;
}
