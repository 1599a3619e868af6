// BLOB throughput of the segmented BLOB engine beside SQLite, and heap
// segment allocation.
//
//   build/release/bench/qdBlobBench [--benchmark_filter=...]
//
// Write: one transaction stores 10 MB as BLOBs of 1 KB, 64 KB or 10 MB each
// (10,240, 160 or 1 BLOBs) and commits; SQLite INSERTs the same BLOBs into
// one table in one transaction. Read: every BLOB is read whole, cached (the
// engine's block cache and SQLite's page cache hold the file) and cold
// (both reopened before each pass, so their caches start empty; the
// operating system's page cache is not dropped). Both files live in the same
// folder: QD_BENCH_FOLDER when set, else the system's temporary folder.
// Cache sizes: the block cache keeps every block of an open table (it has
// no limit yet); SQLite gets a page cache larger than its file
// (cache_size=-262144, 256 MB). SQLite runs with journal_mode=DELETE and
// synchronous=FULL, the guarantee of a synced commit. Both runs check that
// every byte read back is the byte written.
//
// Heap: 20- to 200-byte segments allocated and then freed again in one
// transaction, per second (the record heap's work; SQLite has no such
// operation to compare).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/qdBenchTransaction.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"
#include "storage/qdseBlobEngineSegmented.h"
#include "storage/qdsrBlockHeapEngineBase.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileHandling.h"

namespace {

using namespace qd;

constexpr uint64_t kTotalBytes = 10 * 1024 * 1024;

std::filesystem::path benchFolder(const std::string& aName) {
  const char* chosen = std::getenv("QD_BENCH_FOLDER");
  const std::filesystem::path base =
      chosen != nullptr ? std::filesystem::path(chosen) : std::filesystem::temp_directory_path();
  const std::filesystem::path folder = base / ("qdBlobBench-" + std::to_string(::getpid()) + "-" + aName);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

std::vector<uint8_t> content(uint32_t aSize, uint32_t aSeed) {
  std::vector<uint8_t> bytes(aSize);
  uint32_t x = aSeed * 2654435761u + 7;
  for (uint32_t i = 0; i < aSize; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = uint8_t(x >> 16);
  }
  return bytes;
}

// A stream that only counts and compares against the expected content.
class CheckingStream final : public TStream {
 public:
  explicit CheckingStream(const std::vector<uint8_t>& aExpected) : fExpected(aExpected) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* aBuffer, int32_t aCount) override {
    if (fPosition + size_t(aCount) > fExpected.size() ||
        std::memcmp(fExpected.data() + fPosition, aBuffer, size_t(aCount)) != 0)
      fBad = true;
    fPosition += size_t(aCount);
    return aCount;
  }
  int64_t Seek(int64_t, uint16_t) override { return int64_t(fPosition); }
  bool Good() const { return !fBad && fPosition == fExpected.size(); }

 private:
  const std::vector<uint8_t>& fExpected;
  size_t fPosition = 0;
  bool fBad = false;
};

// One table file with the default BLOB engine.
class BlobTable {
 public:
  explicit BlobTable(const std::filesystem::path& aFolder) : fFolder(Utf8ToString(aFolder.string())) {
    auto* blob = static_cast<TqdHeapBlobDescriptor*>(fDictionary.AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    fName = qdJoinPath(fFolder, u"blobs.qd1");
    Open(true);
  }
  ~BlobTable() { Close(); }

  void Open(bool aCreate) {
    fCache = std::make_unique<TqdBufferManager>(u"/tmp");
    fFile = TqdBaseFile::Alloc(true, fName, fCache.get());
    fFile->fiGrowSize = 256;
    fFile->OpenFile(omReadWrite, smExclusive, false, aCreate);
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, fName, 0);
    if (aCreate) {
      TqdBenchTransaction trans(fCache.get(), fFolder);
      if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) std::abort();
      fEngine.reset(TqdBaseBlobEngine::CreateEngine(fDictionary.BlobDescriptor(), {fAccess.get()}, &trans));
      trans.Commit();
    } else {
      TqdBlockRef header;
      bool readOnly = false;
      if (fCache->AddFile(fFile, nullptr, {}, false, header, readOnly) != 0) std::abort();
      header.Release();
      fEngine.reset(TqdBaseBlobEngine::CreateEngine(fDictionary.BlobDescriptor(), {fAccess.get()}, nullptr));
    }
  }
  void Close() {
    fEngine.reset();
    fAccess.reset();
    fCache->RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
    fCache.reset();
  }
  TqdBenchTransaction* NewTrans() { return new TqdBenchTransaction(fCache.get(), fFolder); }

  TqdDataDictionary fDictionary;
  qdString fFolder;
  qdString fName;
  std::unique_ptr<TqdBufferManager> fCache;
  TqdBaseFile* fFile = nullptr;
  std::unique_ptr<TqdBlockAccess> fAccess;
  std::unique_ptr<TqdBaseBlobEngine> fEngine;
};

uint32_t countFor(uint32_t aSize) { return uint32_t(std::max<uint64_t>(1, kTotalBytes / aSize)); }

// --- The engine --------------------------------------------------------------------------

void BM_QdBlobWrite(benchmark::State& aState) {
  const auto size = uint32_t(aState.range(0));
  const uint32_t count = countFor(size);
  const std::vector<uint8_t> bytes = content(size, size);
  const std::filesystem::path folder = benchFolder("qd-write-" + std::to_string(size));
  {
    BlobTable table(folder);
    for (auto _ : aState) {
      std::unique_ptr<TqdBenchTransaction> trans(table.NewTrans());
      for (uint32_t i = 0; i < count; ++i) {
        TqdBlobNr number = 0;
        table.fEngine->AddBlob(trans.get(), number);
        table.fEngine->Write(trans.get(), number, 0, size, bytes.data());
      }
      trans->Commit();
    }
  }
  std::filesystem::remove_all(folder);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * count * size);
  aState.SetLabel(std::to_string(count) + " BLOBs of " + std::to_string(size) + " bytes, one transaction");
}

void BM_QdBlobRead(benchmark::State& aState) {
  const auto size = uint32_t(aState.range(0));
  const bool cold = aState.range(1) != 0;
  const uint32_t count = countFor(size);
  const std::vector<uint8_t> bytes = content(size, size);
  const std::filesystem::path folder = benchFolder("qd-read-" + std::to_string(size));
  bool good = true;
  {
    BlobTable table(folder);
    std::vector<TqdBlobNr> numbers(count);
    {
      std::unique_ptr<TqdBenchTransaction> trans(table.NewTrans());
      for (TqdBlobNr& number : numbers) {
        table.fEngine->AddBlob(trans.get(), number);
        table.fEngine->Write(trans.get(), number, 0, size, bytes.data());
      }
      trans->Commit();
    }
    for (auto _ : aState) {
      if (cold) {
        aState.PauseTiming();
        table.Close();
        table.Open(false);
        aState.ResumeTiming();
      }
      for (TqdBlobNr number : numbers) {
        CheckingStream stream(bytes);
        if (table.fEngine->Read(nullptr, number, 0, size, nullptr, stream) != 0 || !stream.Good()) good = false;
      }
    }
  }
  std::filesystem::remove_all(folder);
  if (!good) aState.SkipWithError("a BLOB read back differs");
  aState.SetBytesProcessed(int64_t(aState.iterations()) * count * size);
  aState.SetLabel(std::string(cold ? "cold" : "cached") + ", " + std::to_string(count) + " BLOBs");
}

void BM_QdHeapAllocFree(benchmark::State& aState) {
  const std::filesystem::path folder = benchFolder("qd-heap");
  constexpr uint32_t kSegments = 10000;
  std::mt19937 random(5);
  std::vector<uint16_t> sizes(kSegments);
  for (uint16_t& size : sizes) size = uint16_t(20 + random() % 181);
  const std::vector<uint8_t> bytes = content(200, 1);
  {
    BlobTable table(folder);
    TqdBaseHeapEngine* heap = static_cast<TqdSegmentedBlobEngine&>(*table.fEngine).HeapEngine();
    std::vector<TqdHeapRef> refs(kSegments);
    for (auto _ : aState) {
      std::unique_ptr<TqdBenchTransaction> trans(table.NewTrans());
      for (uint32_t i = 0; i < kSegments; ++i) refs[i] = heap->AllocSegment(trans.get(), {bytes.data()}, {sizes[i]});
      for (uint32_t i = 0; i < kSegments; ++i) {
        TqdBlockRef block = heap->ReadBlockHeap(trans.get(), TqdBlockNumber(uint64_t(refs[i]) >> 32), true);
        heap->BlockHeapEngine()->FreeSegment(block.WritableData(), TqdSegmentRef(refs[i]));
      }
      trans->Commit();
    }
  }
  std::filesystem::remove_all(folder);
  aState.counters["ops/s"] =
      benchmark::Counter(double(aState.iterations()) * 2 * kSegments, benchmark::Counter::kIsRate);
  aState.SetLabel("20-200 byte segments, alloc then free, one transaction");
}

// --- SQLite --------------------------------------------------------------------------------

sqlite3* openSqlite(const std::filesystem::path& aFile) {
  sqlite3* db = nullptr;
  if (sqlite3_open(aFile.string().c_str(), &db) != SQLITE_OK) std::abort();
  for (const char* sql : {"PRAGMA journal_mode=DELETE", "PRAGMA synchronous=FULL", "PRAGMA cache_size=-262144",
                          "CREATE TABLE IF NOT EXISTS blobs(id INTEGER PRIMARY KEY, data BLOB)"})
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  return db;
}

void sqliteInsert(sqlite3* aDb, const std::vector<uint8_t>& aBytes, uint32_t aCount, int64_t& aNextId) {
  sqlite3_exec(aDb, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(aDb, "INSERT INTO blobs(id, data) VALUES (?, ?)", -1, &insert, nullptr);
  for (uint32_t i = 0; i < aCount; ++i) {
    sqlite3_bind_int64(insert, 1, ++aNextId);
    sqlite3_bind_blob(insert, 2, aBytes.data(), int(aBytes.size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (sqlite3_exec(aDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

void BM_SQLiteBlobWrite(benchmark::State& aState) {
  const auto size = uint32_t(aState.range(0));
  const uint32_t count = countFor(size);
  const std::vector<uint8_t> bytes = content(size, size);
  const std::filesystem::path folder = benchFolder("sqlite-write-" + std::to_string(size));
  sqlite3* db = openSqlite(folder / "blobs.db");
  int64_t nextId = 0;
  for (auto _ : aState) sqliteInsert(db, bytes, count, nextId);
  sqlite3_close(db);
  std::filesystem::remove_all(folder);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * count * size);
  aState.SetLabel("journal_mode=DELETE, synchronous=FULL, cache_size=-262144");
}

void BM_SQLiteBlobRead(benchmark::State& aState) {
  const auto size = uint32_t(aState.range(0));
  const bool cold = aState.range(1) != 0;
  const uint32_t count = countFor(size);
  const std::vector<uint8_t> bytes = content(size, size);
  const std::filesystem::path folder = benchFolder("sqlite-read-" + std::to_string(size));
  sqlite3* db = openSqlite(folder / "blobs.db");
  int64_t nextId = 0;
  sqliteInsert(db, bytes, count, nextId);
  std::vector<uint8_t> buffer(size);
  bool good = true;
  for (auto _ : aState) {
    if (cold) {
      aState.PauseTiming();
      sqlite3_close(db);
      db = openSqlite(folder / "blobs.db");
      aState.ResumeTiming();
    }
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM blobs WHERE id = ?", -1, &select, nullptr);
    for (int64_t id = 1; id <= nextId; ++id) {
      sqlite3_bind_int64(select, 1, id);
      if (sqlite3_step(select) != SQLITE_ROW) std::abort();
      const int length = sqlite3_column_bytes(select, 0);
      // The same work as the engine's stream: the bytes land in the
      // caller's memory.
      std::memcpy(buffer.data(), sqlite3_column_blob(select, 0), size_t(std::min<int>(length, int(size))));
      if (length != int(size) || std::memcmp(buffer.data(), bytes.data(), size) != 0) good = false;
      sqlite3_reset(select);
    }
    sqlite3_finalize(select);
  }
  sqlite3_close(db);
  std::filesystem::remove_all(folder);
  if (!good) aState.SkipWithError("a BLOB read back differs");
  aState.SetBytesProcessed(int64_t(aState.iterations()) * count * size);
  aState.SetLabel(std::string(cold ? "cold" : "cached") +
                  ", journal_mode=DELETE, synchronous=FULL, cache_size=-262144");
}

const std::vector<int64_t> kSizes{1024, 64 * 1024, 10 * 1024 * 1024};

BENCHMARK(BM_QdBlobWrite)->ArgsProduct({kSizes})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SQLiteBlobWrite)->ArgsProduct({kSizes})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_QdBlobRead)->ArgsProduct({kSizes, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SQLiteBlobRead)->ArgsProduct({kSizes, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_QdHeapAllocFree)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The console report, then the engine's time as a multiple of SQLite's for
// each size and kind.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns)
      if (!run.error_occurred) fTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(aRuns);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto find = [&](const std::string& aPrefix) -> double {
      for (const auto& [name, time] : fTimes)
        if (name.rfind(aPrefix, 0) == 0) return time;
      return 0;
    };
    std::printf("SQLite settings: journal_mode=DELETE, synchronous=FULL, cache_size=-262144 (256 MB)\n");
    for (int64_t size : kSizes) {
      const std::string s = std::to_string(size);
      const double write = find("BM_QdBlobWrite/" + s + "/") / find("BM_SQLiteBlobWrite/" + s + "/");
      const double cached = find("BM_QdBlobRead/" + s + "/0/") / find("BM_SQLiteBlobRead/" + s + "/0/");
      const double cold = find("BM_QdBlobRead/" + s + "/1/") / find("BM_SQLiteBlobRead/" + s + "/1/");
      std::printf("%8lld-byte BLOBs: write %.2fx, read cached %.2fx, read cold %.2fx the time of SQLite\n",
                  static_cast<long long>(size), write, cached, cold);
    }
  }

 private:
  std::map<std::string, double> fTimes;
};

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  qd::qdEngineFinalize();
  return 0;
}
