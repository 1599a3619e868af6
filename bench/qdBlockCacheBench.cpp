// Block cache costs: a hit (get and release of a cached block, also through
// a table's block access with its identity check), a miss that reads the
// block from a table file at 4, 8 and 16 KB, and making a cached block dirty
// (a private copy for a transaction).
//
//   build/release/bench/qdBlockCacheBench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "engine/qdEngine.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdsrBufferManager.h"

namespace {

using namespace qd;

// Commits as the server's transactions do, without journal.
class BenchTransaction final : public TqdBaseTransaction {
 public:
  explicit BenchTransaction(TqdBufferManager* aCache) : TqdBaseTransaction(aCache, nullptr, false, false) {}
  void Commit() override {
    TqdFlushList list;
    btBufferManager->CommitTransaction(this, &list, false);
    list.Flush(false);
    delete TransLevel();
  }
  void Rollback() override {
    btBufferManager->RollbackTransaction(this);
    delete TransLevel();
  }
};

// A table file of aBlocks blocks in a temporary folder, added to its own
// cache.
class BenchTable {
 public:
  BenchTable(TqdBlockSize aBlockSize, uint32_t aBlocks) : fCache(u"/tmp") {
    fFolder = std::filesystem::temp_directory_path() /
              ("qdBlockCacheBench-" + std::to_string(::getpid()) + "-" + std::to_string(int(aBlockSize)));
    std::filesystem::create_directories(fFolder);
    fName = Utf8ToString((fFolder / "bench.qd1").string());
    std::filesystem::remove(fFolder / "bench.qd1");
    fFile = TqdBaseFile::Alloc(true, fName, &fCache);
    fFile->fiBlockSize = aBlockSize;
    fFile->fiInitialSize = aBlocks + 1;
    fFile->OpenFile(omReadWrite, smExclusive, false, true);
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, fName, 0);
    BenchTransaction trans(&fCache);
    if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) std::abort();
    {
      auto header = fAccess->HeaderAccess(&trans, true);
      for (uint32_t i = 0; i < aBlocks; ++i) {
        TqdBlockRef block = header->GetNewBlock(&trans, 1);
        std::memset(block.WritableData() + kBlockCommonHeaderSize, int(i), 64);
      }
    }
    trans.Commit();
    fBlocks = aBlocks;
  }
  ~BenchTable() {
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
    std::filesystem::remove_all(fFolder);
  }

  // Forgets every cached block: the file is removed from the cache and
  // added again (block 0 is read back).
  void DropCache() {
    fCache.RemoveFile(fFile);
    TqdBlockRef header;
    bool readOnly = false;
    if (fCache.AddFile(fFile, nullptr, {}, false, header, readOnly) != 0) std::abort();
  }

  TqdBufferManager fCache;
  TqdBaseFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
  uint32_t fBlocks = 0;
  std::filesystem::path fFolder;
  qdString fName;
};

// Shared by the hit benchmarks and their threads; freed before the engine
// stops.
std::unique_ptr<BenchTable> hitTable;

BenchTable& HitTable() {
  static std::once_flag once;
  std::call_once(once, [] { hitTable = std::make_unique<BenchTable>(qdbs4k, 256); });
  return *hitTable;
}

void BM_CacheHit(benchmark::State& aState) {
  BenchTable& table = HitTable();
  if (aState.thread_index() == 0)
    for (TqdBlockNumber n = 1; n <= table.fBlocks; ++n) (void)table.fCache.GetBlock(table.fFile, nullptr, n, false);
  TqdBlockNumber number = 1 + TqdBlockNumber(aState.thread_index()) * 7;
  for (auto _ : aState) {
    TqdBlockRef block = table.fCache.GetBlock(table.fFile, nullptr, number, false);
    benchmark::DoNotOptimize(block.Data());
    block.Release();
    number = number % table.fBlocks + 1;
  }
}
BENCHMARK(BM_CacheHit)->Threads(1)->Threads(2)->UseRealTime();

void BM_BlockAccessHit(benchmark::State& aState) {
  BenchTable& table = HitTable();
  TqdBlockNumber number = 1 + TqdBlockNumber(aState.thread_index()) * 7;
  for (auto _ : aState) {
    TqdBlockRef block = table.fAccess->GetBlock(nullptr, number, 1, false);
    benchmark::DoNotOptimize(block.Data());
    block.Release();
    number = number % table.fBlocks + 1;
  }
}
BENCHMARK(BM_BlockAccessHit)->Threads(1)->Threads(2)->UseRealTime();

void BM_CacheMiss(benchmark::State& aState) {
  const auto size = TqdBlockSize(aState.range(0));
  BenchTable table(size, 2048);
  table.DropCache();
  TqdBlockNumber number = 1;
  for (auto _ : aState) {
    if (number > table.fBlocks) {
      aState.PauseTiming();
      table.DropCache();
      number = 1;
      aState.ResumeTiming();
    }
    TqdBlockRef block = table.fCache.GetBlock(table.fFile, nullptr, number++, false);
    benchmark::DoNotOptimize(block.Data());
  }
  aState.SetBytesProcessed(int64_t(aState.iterations()) * qdBlockSizeAllBytes(size));
  aState.SetLabel(std::to_string(qdBlockSizeAllBytes(size) / 1024) + " KB");
}
BENCHMARK(BM_CacheMiss)->Arg(qdbs4k)->Arg(qdbs8k)->Arg(qdbs16k);

void BM_MakeDirty(benchmark::State& aState) {
  const auto size = TqdBlockSize(aState.range(0));
  BenchTable table(size, 1024);
  for (TqdBlockNumber n = 1; n <= table.fBlocks; ++n) (void)table.fCache.GetBlock(table.fFile, nullptr, n, false);
  auto trans = std::make_unique<BenchTransaction>(&table.fCache);
  TqdBlockNumber number = 1;
  for (auto _ : aState) {
    if (number > table.fBlocks) {
      aState.PauseTiming();
      trans->Rollback();
      trans = std::make_unique<BenchTransaction>(&table.fCache);
      number = 1;
      aState.ResumeTiming();
    }
    TqdBlockRef block = table.fCache.GetBlock(table.fFile, trans.get(), number++, true);
    benchmark::DoNotOptimize(block.WritableData());
  }
  trans->Rollback();
  aState.SetLabel(std::to_string(qdBlockSizeAllBytes(size) / 1024) + " KB");
}
BENCHMARK(BM_MakeDirty)->Arg(qdbs4k)->Arg(qdbs8k)->Arg(qdbs16k);

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  hitTable.reset();
  qd::qdEngineFinalize();
  return 0;
}
