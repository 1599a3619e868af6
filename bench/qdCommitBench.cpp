// Level-0 commit costs on the real file system: latency and syncs per
// commit for 1, 10, 100 and 1,000 dirty blocks with each journal kind, and
// commits per second for a one-block change (the learner's answer append)
// beside SQLite inserting one row per transaction.
//
//   build/release/bench/qdCommitBench [--benchmark_filter=...]
//
// Syncs are data syncs of files plus syncs of folders, counted by a
// file-system layer between the storage code and POSIX. The folder holding
// the tables is QD_BENCH_FOLDER when set, else the system's temporary
// folder.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "bench/qdBenchTransaction.h"
#include "engine/qdEngine.h"
#include "platform/qdLittleEndian.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileHandling.h"
#include "storage/qdsrFileSystem.h"

namespace {

using namespace qd;

// Forwards to the real file system and counts its syncs.
class CountingFileSystem final : public TqdFileSystem {
 public:
  class File final : public TqdOSFile {
   public:
    File(std::unique_ptr<TqdOSFile> aFile, std::atomic<int64_t>& aSyncs) : fFile(std::move(aFile)), fSyncs(aSyncs) {}
    int PRead(int64_t aOffset, void* aBuffer, size_t aCount, size_t& aDone) override {
      return fFile->PRead(aOffset, aBuffer, aCount, aDone);
    }
    int PWrite(int64_t aOffset, const void* aBuffer, size_t aCount, size_t& aDone) override {
      return fFile->PWrite(aOffset, aBuffer, aCount, aDone);
    }
    int Truncate(int64_t aSize) override { return fFile->Truncate(aSize); }
    int DataSync() override {
      ++fSyncs;
      return fFile->DataSync();
    }
    int Size(int64_t& aSize) override { return fFile->Size(aSize); }
    int Identity(TqdOSFileIdentity& aIdentity) override { return fFile->Identity(aIdentity); }
    int Close() override { return fFile->Close(); }

   private:
    std::unique_ptr<TqdOSFile> fFile;
    std::atomic<int64_t>& fSyncs;
  };

  int Open(const std::string& aPath, const TqdOSOpenRequest& aRequest, std::unique_ptr<TqdOSFile>& aFile) override {
    std::unique_ptr<TqdOSFile> file;
    const int error = fReal.Open(aPath, aRequest, file);
    if (error == 0) aFile = std::make_unique<File>(std::move(file), fSyncs);
    return error;
  }
  int Rename(const std::string& aOld, const std::string& aNew, bool aReplace) override {
    return fReal.Rename(aOld, aNew, aReplace);
  }
  int Delete(const std::string& aPath) override { return fReal.Delete(aPath); }
  int SyncFolder(const std::string& aFolder) override {
    ++fSyncs;
    return fReal.SyncFolder(aFolder);
  }
  int Attributes(const std::string& aPath, TqdFileAttributesInfo& aInfo) override {
    return fReal.Attributes(aPath, aInfo);
  }
  int ListFolder(const std::string& aFolder, std::vector<std::string>& aNames) override {
    return fReal.ListFolder(aFolder, aNames);
  }
  std::string CanonicalName(const std::string& aPath) override { return fReal.CanonicalName(aPath); }
  int64_t MaxFileSize(const std::string& aPath) override { return fReal.MaxFileSize(aPath); }
  int FreeSpace(const std::string& aPath, int64_t& aAvailable) override { return fReal.FreeSpace(aPath, aAvailable); }

  int64_t Syncs() const { return fSyncs.load(); }

 private:
  TqdPosixFileSystem fReal;
  std::atomic<int64_t> fSyncs{0};
};

CountingFileSystem countingFileSystem;

std::filesystem::path benchFolder(const std::string& aName) {
  const char* chosen = std::getenv("QD_BENCH_FOLDER");
  const std::filesystem::path base =
      chosen != nullptr ? std::filesystem::path(chosen) : std::filesystem::temp_directory_path();
  const std::filesystem::path folder = base / ("qdCommitBench-" + std::to_string(::getpid()) + "-" + aName);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

constexpr uint32_t kTableBlocks = 1024;

// A table of kTableBlocks blocks in its own folder.
class BenchTable {
 public:
  explicit BenchTable(const std::string& aName) : fCache(u"/tmp") {
    fFolderPath = benchFolder(aName);
    fFolder = Utf8ToString(fFolderPath.string());
    const qdString name = qdJoinPath(fFolder, u"commit.qd1");
    fFile = TqdBaseFile::Alloc(true, name, &fCache);
    fFile->fiInitialSize = kTableBlocks + 1;
    fFile->OpenFile(omReadWrite, smExclusive, false, true);
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, name, 0);
    TqdBenchTransaction trans(&fCache, fFolder);
    if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) std::abort();
    {
      auto header = fAccess->HeaderAccess(&trans, true);
      for (uint32_t i = 0; i < kTableBlocks; ++i) (void)header->GetNewBlock(&trans, 1);
    }
    trans.Commit();
  }
  ~BenchTable() {
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
    std::filesystem::remove_all(fFolderPath);
  }

  // One commit changing blocks 1..aBlocks.
  void Commit(uint32_t aBlocks, uint64_t aValue) {
    TqdBenchTransaction trans(&fCache, fFolder);
    for (TqdBlockNumber n = 1; n <= aBlocks; ++n)
      qdPutU64(fAccess->GetBlock(&trans, n, 1, true).WritableData() + kBlockCommonHeaderSize, aValue);
    trans.Commit();
  }
  uint64_t Value() { return qdGetU64(fAccess->GetBlock(nullptr, 1, 1, false).Data() + kBlockCommonHeaderSize); }

  TqdBufferManager fCache;
  TqdBaseFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
  std::filesystem::path fFolderPath;
  qdString fFolder;
};

void BM_Commit(benchmark::State& aState) {
  const int64_t kind = aState.range(0);
  const auto dirty = uint32_t(aState.range(1));
  const TqdJournalEngineClass* previous = qdJournalEngineClass.exchange(qdJournalEngineClassOfKind(kind));
  {
    BenchTable table("kind" + std::to_string(kind) + "-" + std::to_string(dirty));
    table.Commit(dirty, 0);  // the folder's first journal file exists from here on
    uint64_t value = 0;
    const int64_t syncs = countingFileSystem.Syncs();
    for (auto _ : aState) table.Commit(dirty, ++value);
    const double commits = double(aState.iterations());
    aState.counters["syncs/commit"] = double(countingFileSystem.Syncs() - syncs) / commits;
    aState.counters["commits/s"] = benchmark::Counter(commits, benchmark::Counter::kIsRate);
    if (table.Value() != value) aState.SkipWithError("the table does not hold the last commit");
    aState.SetLabel("journal kind " + std::to_string(kind) + ", " + std::to_string(dirty) + " dirty blocks");
  }
  qdJournalEngineClass.store(previous);
}
BENCHMARK(BM_Commit)
    ->ArgsProduct({{0, 1, 2}, {1, 10, 100, 1000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

// SQLite, one row per transaction, with the journal modes that give the
// same guarantee as a synced commit.
void BM_SQLiteAnswerAppend(benchmark::State& aState) {
  const bool wal = aState.range(0) != 0;
  const std::filesystem::path folder = benchFolder(wal ? "sqlite-wal" : "sqlite-delete");
  sqlite3* db = nullptr;
  if (sqlite3_open((folder / "answers.db").string().c_str(), &db) != SQLITE_OK) std::abort();
  auto exec = [&](const char* aSql) {
    if (sqlite3_exec(db, aSql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  };
  exec(wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
  exec("PRAGMA synchronous=FULL");
  exec("CREATE TABLE answers(id INTEGER PRIMARY KEY, question INTEGER, correct INTEGER)");
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO answers(question, correct) VALUES (?, 1)", -1, &insert, nullptr) != SQLITE_OK)
    std::abort();
  int64_t rows = 0;
  for (auto _ : aState) {
    sqlite3_bind_int64(insert, 1, ++rows);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM answers", -1, &count, nullptr);
  sqlite3_step(count);
  if (sqlite3_column_int64(count, 0) != rows) aState.SkipWithError("row count differs");
  sqlite3_finalize(count);
  sqlite3_close(db);
  std::filesystem::remove_all(folder);
  aState.counters["commits/s"] = benchmark::Counter(double(aState.iterations()), benchmark::Counter::kIsRate);
  aState.SetLabel(wal ? "synchronous=FULL, journal_mode=WAL" : "synchronous=FULL, journal_mode=DELETE");
}
BENCHMARK(BM_SQLiteAnswerAppend)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The console report, then the one-block commit of each journal kind
// against SQLite in both journal modes.
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
    const double sqliteDelete = find("BM_SQLiteAnswerAppend/0/");
    const double sqliteWal = find("BM_SQLiteAnswerAppend/1/");
    for (int kind : {0, 1, 2}) {
      const double ours = find("BM_Commit/" + std::to_string(kind) + "/1/");
      if (ours <= 0 || sqliteDelete <= 0 || sqliteWal <= 0) continue;
      std::printf(
          "answer append, journal kind %d: %.2fx the time of SQLite (synchronous=FULL, journal_mode=DELETE), "
          "%.2fx (synchronous=FULL, journal_mode=WAL)\n",
          kind, ours / sqliteDelete, ours / sqliteWal);
    }
  }

 private:
  std::map<std::string, double> fTimes;
};

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  qd::TqdFileSystem* previous = qd::qdSetFileSystem(&countingFileSystem);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  qd::qdSetFileSystem(previous);
  qd::qdEngineFinalize();
  return 0;
}
