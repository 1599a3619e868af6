// Block cache costs: a hit (get and release of a cached block, also through
// a table's block access with its identity check), a miss that reads the
// block from a table file at 4, 8 and 16 KB, and making a cached block dirty
// (a private copy for a transaction). Random reads over working sets of 2
// and 10 times the cache budget (MaxRAM 10 MB) run beside SQLite in the same
// process: the same 4 KB records, SQLite's cache_size set to the budget and
// mmap off; both sum what they read and must agree.
//
//   build/release/bench/qdBlockCacheBench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include <sqlite3.h>

#include "bench/qdBenchTransaction.h"
#include "engine/qdEngine.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdsrBufferManager.h"

namespace {

using namespace qd;

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
    TqdBenchTransaction trans(&fCache);
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
  auto trans = std::make_unique<TqdBenchTransaction>(&table.fCache);
  TqdBlockNumber number = 1;
  for (auto _ : aState) {
    if (number > table.fBlocks) {
      aState.PauseTiming();
      trans->Rollback();
      trans = std::make_unique<TqdBenchTransaction>(&table.fCache);
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

// A working set of aFactor times the budget: the cache's random reads (each
// block carries its number in bytes 16..19), then SQLite's over the same
// records in one table of rowid and a 3900-byte blob. The label gives
// both times per read and their ratio.
void BM_RandomReadOverBudget(benchmark::State& aState) {
  const int factor = int(aState.range(0));
  BenchTable probe(qdbs4k, 1);
  const uint32_t budgetBytes = probe.fCache.MappedBudgetPages() * 4096;
  const uint32_t blocks = uint32_t(uint64_t(budgetBytes) * factor / 4096);
  BenchTable table(qdbs4k, blocks);
  {
    TqdBenchTransaction trans(&table.fCache);
    for (TqdBlockNumber n = 1; n <= blocks; ++n)
      qdPutU32(table.fCache.GetBlock(table.fFile, &trans, n, true).WritableData() + kBlockCommonHeaderSize, n);
    trans.Commit();
  }
  table.DropCache();
  const std::string dbPath = (table.fFolder / "bench.sqlite").string();
  sqlite3* db = nullptr;
  if (sqlite3_open(dbPath.c_str(), &db) != SQLITE_OK) std::abort();
  const std::string setup =
      "PRAGMA page_size=4096; PRAGMA mmap_size=0; PRAGMA journal_mode=DELETE;"
      " PRAGMA synchronous=FULL; PRAGMA cache_size=-" +
      std::to_string(budgetBytes / 1024) + "; CREATE TABLE t(id INTEGER PRIMARY KEY, b BLOB); BEGIN;";
  sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &insert, nullptr);
  std::vector<uint8_t> blob(3900);
  for (uint32_t n = 1; n <= blocks; ++n) {
    qdPutU32(blob.data(), n);
    sqlite3_bind_int64(insert, 1, n);
    sqlite3_bind_blob(insert, 2, blob.data(), int(blob.size()), SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT b FROM t WHERE id = ?", -1, &select, nullptr);

  constexpr int kReads = 20000;
  std::vector<uint32_t> order(kReads);
  std::mt19937 random(42);
  for (uint32_t& n : order) n = 1 + random() % blocks;
  double ourSeconds = 0, theirSeconds = 0;
  uint64_t ourSum = 0, theirSum = 0;
  for (auto _ : aState) {
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t n : order)
      ourSum += qdGetU32(table.fCache.GetBlock(table.fFile, nullptr, n, false).Data() + kBlockCommonHeaderSize);
    const auto middle = std::chrono::steady_clock::now();
    for (uint32_t n : order) {
      sqlite3_bind_int64(select, 1, n);
      if (sqlite3_step(select) == SQLITE_ROW)
        theirSum += qdGetU32(static_cast<const uint8_t*>(sqlite3_column_blob(select, 0)));
      sqlite3_reset(select);
    }
    const auto end = std::chrono::steady_clock::now();
    ourSeconds += std::chrono::duration<double>(middle - start).count();
    theirSeconds += std::chrono::duration<double>(end - middle).count();
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  if (ourSum != theirSum) aState.SkipWithError("the engines read different data");
  const double reads = double(aState.iterations()) * kReads;
  char label[160];
  std::snprintf(label, sizeof label, "%dx budget: %.0f ns/read, SQLite %.0f ns/read, ratio %.2f", factor,
                ourSeconds / reads * 1e9, theirSeconds / reads * 1e9, ourSeconds / theirSeconds);
  aState.SetLabel(label);
  aState.counters["qd_ns"] = ourSeconds / reads * 1e9;
  aState.counters["sqlite_ns"] = theirSeconds / reads * 1e9;
  aState.counters["evictions"] = double(table.fCache.CacheEvictions());
}
BENCHMARK(BM_RandomReadOverBudget)->Arg(2)->Arg(10)->Iterations(3)->Unit(benchmark::kMillisecond);

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
