// Table encryption costs: CodeBlock and DecodeBlock of the "qd1xDefault"
// engine at 4, 8 and 16 KB on 1 and 4 threads (each thread its own
// buffers; the engine's cipher pool serves them all), and the cache's miss
// path of a table file with and without encryption. There is no SQLite
// counterpart: its stock build has no encryption.
//
//   build/release/bench/qdEncryptionBench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/qdBenchTransaction.h"
#include "engine/qdEngine.h"
#include "storage/qdseEncryptionEngineBlowfishRC4.h"
#include "storage/qdsrBufferManager.h"

namespace {

using namespace qd;

std::unique_ptr<TqdBaseEncryptionEngine> sharedEngine;
uint8_t sharedArea[48];

TqdBaseEncryptionEngine& Engine() {
  static std::once_flag once;
  std::call_once(once, [] {
    TqdBaseEncryptionEngine* engine = nullptr;
    if (TqdBaseEncryptionEngine::CreateEngine(u"qd1xDefault", {u"bench password"}, sharedArea, true, false, engine) !=
        0)
      std::abort();
    sharedEngine.reset(engine);
  });
  return *sharedEngine;
}

void BM_CodeBlock(benchmark::State& aState) {
  const uint32_t size = uint32_t(aState.range(0));
  TqdBaseEncryptionEngine& engine = Engine();
  std::vector<uint8_t> plain(size, 0x5A), coded(size);
  for (auto _ : aState) {
    engine.CodeBlock(plain.data(), coded.data(), size, 0);
    benchmark::DoNotOptimize(coded.data());
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * size);
  aState.SetLabel(std::to_string(size / 1024) + " KB");
}
BENCHMARK(BM_CodeBlock)->Arg(4096)->Arg(8192)->Arg(16384)->Threads(1)->Threads(4)->UseRealTime();

void BM_DecodeBlock(benchmark::State& aState) {
  const uint32_t size = uint32_t(aState.range(0));
  TqdBaseEncryptionEngine& engine = Engine();
  std::vector<uint8_t> plain(size, 0x5A), coded(size), work(size);
  engine.CodeBlock(plain.data(), coded.data(), size, 0);
  for (auto _ : aState) {
    std::memcpy(work.data(), coded.data(), size);
    engine.DecodeBlock(work.data(), size, 0);
    benchmark::DoNotOptimize(work.data());
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * size);
  aState.SetLabel(std::to_string(size / 1024) + " KB");
}
BENCHMARK(BM_DecodeBlock)->Arg(4096)->Arg(8192)->Arg(16384)->Threads(1)->Threads(4)->UseRealTime();

// A 4 KB table file of 2048 blocks, plain or encrypted, in its own cache.
class BenchTable {
 public:
  explicit BenchTable(bool aEncrypted) : fCache(u"/tmp") {
    fFolder = std::filesystem::temp_directory_path() /
              ("qdEncryptionBench-" + std::to_string(::getpid()) + (aEncrypted ? "-e" : "-p"));
    std::filesystem::create_directories(fFolder);
    fName = Utf8ToString((fFolder / "bench.qd1").string());
    fFile = TqdBaseFile::Alloc(true, fName, &fCache);
    fFile->fiInitialSize = kBlocks + 1;
    if (aEncrypted) fFile->fiEncryptionEngineName = u"qd1xDefault";
    fFile->OpenFile(omReadWrite, smExclusive, false, true);
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, fName, 0);
    TqdBenchTransaction trans(&fCache);
    if (fFile->AddHeader(&trans, {u"bench"}, qdSignature("QD!2")) != 0) std::abort();
    {
      auto header = fAccess->HeaderAccess(&trans, true);
      for (uint32_t i = 0; i < kBlocks; ++i) {
        TqdBlockRef block = header->GetNewBlock(&trans, 1);
        std::memset(block.WritableData() + kBlockCommonHeaderSize, int(i), 64);
      }
    }
    trans.Commit();
  }
  ~BenchTable() {
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
    std::filesystem::remove_all(fFolder);
  }
  void DropCache() {
    fCache.RemoveFile(fFile);
    TqdBlockRef header;
    bool readOnly = false;
    if (fCache.AddFile(fFile, nullptr, {u"bench"}, false, header, readOnly) != 0) std::abort();
  }

  static constexpr uint32_t kBlocks = 2048;
  TqdBufferManager fCache;
  TqdBaseFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
  std::filesystem::path fFolder;
  qdString fName;
};

void BM_CacheMiss(benchmark::State& aState) {
  const bool encrypted = aState.range(0) != 0;
  BenchTable table(encrypted);
  table.DropCache();
  TqdBlockNumber number = 1;
  for (auto _ : aState) {
    if (number > BenchTable::kBlocks) {
      aState.PauseTiming();
      table.DropCache();
      number = 1;
      aState.ResumeTiming();
    }
    TqdBlockRef block = table.fCache.GetBlock(table.fFile, nullptr, number++, false);
    benchmark::DoNotOptimize(block.Data());
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * 4096);
  aState.SetLabel(encrypted ? "4 KB, encrypted" : "4 KB, plain");
}
BENCHMARK(BM_CacheMiss)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  sharedEngine.reset();
  qd::qdEngineFinalize();
  return 0;
}
