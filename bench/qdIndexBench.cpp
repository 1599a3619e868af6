// Static-key B*-tree index on the real file system, beside SQLite. For N
// keys (10^5 and 10^6 by default) of 8 and 32 bytes, arriving in random and
// in ascending order:
//   - inserts per second: one InsertKeys per record through the indices
//     engine inside one transaction (the commit is timed on its own);
//   - FindKey per search: an EqualFirst search for every key in random
//     order on the committed tree, held in the cache (best of three passes);
//   - SQLite's lookup of the same keys in the same order: a WITHOUT ROWID
//     table whose primary key is the key (INTEGER for 8 bytes, a BLOB of
//     the same bytes for 32) beside the reference, filled in the same
//     arrival order in one transaction, searched through one prepared
//     statement (best of three passes); both engines must answer every
//     search with the reference the key was stored with;
//   - index blocks touched per insert and per FindKey, counted on a sample
//     by a block access that watches the reads: the tree's nodes and the
//     indices info block (the file header read besides is not counted);
//   - the tree's depth and page count.
//   - deletes per second: every key deleted again in arrival order through
//     DeleteKeys in one transaction.
// Then, for N random 8-byte keys: the bulk builder against the key-by-key
// builder (each on an empty index, both fed the same records; best of
// three builds each).
// Then the keyless B*-tree, for N keys of 8 and 100 bytes in random and
// ascending order, in a table whose records the static record engine
// keeps:
//   - inserts per second: AddRecord and InsertKeys per record in one
//     transaction; SQLite inserts the same rows (INTEGER PRIMARY KEY id,
//     key column with an index on it) in one transaction;
//   - FindKey per second on the committed tree held in the cache (best of
//     three passes) and record reads per FindKey; SQLite answers the same
//     searches with SELECT id FROM t WHERE k = ? (prepared); both must find
//     every key, and the found counts are compared;
//   - the tree's depth and page count, and for 100-byte keys the page count
//     of a static-key tree holding the same keys.
//
//   build/release/bench/qdIndexBench [--keyless] [N ...]
//
// Operations are timed in the thread's CPU time, commits by the wall clock.
// The tables live in QD_BENCH_FOLDER when set, else in the system's
// temporary folder.
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/qdBenchTransaction.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "engine/qdEngine.h"
#include "indexes/qdseIndexBase.h"
#include "indexes/qdseIndexEngineKeylessBstarTree.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileHandling.h"
#include "storage/qdsrIndexEngineBase.h"

namespace {

using namespace qd;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point aStart) { return std::chrono::duration<double>(Clock::now() - aStart).count(); }

// The thread's CPU time in seconds: what the operations themselves cost,
// also when other processes keep the machine busy (the benchmark runs on
// one thread and touches the files only in the commits, which are timed by
// the wall clock).
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char* aWhat) {
  std::fprintf(stderr, "qdIndexBench: %s\n", aWhat);
  std::abort();
}

// One field holding the key: an Int64 (an 8-byte key image) or 32 bytes;
// one unique index on it whose key has no null flags.
std::unique_ptr<TqdDataDictionary> indexDictionary(int32_t aKeyLength) {
  auto dict = std::make_unique<TqdDataDictionary>();
  dict->RemoveStreamDescriptor();
  if (aKeyLength == 8)
    dict->FieldsDescriptor()->AddField(u"Key", u"", qdtInt64, 0, 0, true);
  else
    dict->FieldsDescriptor()->AddField(u"Key", u"", qdtByteArray, aKeyLength, 0, true);
  // Only the benchmarked index: the dictionary's default sequential access
  // index would double the work of every insert.
  TqdMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  while (indices->IndexCount() > 0) indices->RemoveIndex(0);
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      indices->AddIndex(u"ByKey", 0, idNone, u"", &TqdNoNullCompKeyDescriptor::ClassInfo)->KeyDescriptor());
  key->Add(0);
  return dict;
}

// The key value of record i: distinct for every i, ordered as i. An Int64
// holds i; 32 bytes hold i big-endian in the first 8 bytes and a pattern
// derived from it after.
std::vector<uint8_t> keyBytes(int32_t aKeyLength, uint64_t aValue) {
  std::vector<uint8_t> bytes(static_cast<size_t>(aKeyLength));
  for (int32_t k = 0; k < 8; ++k) bytes[size_t(k)] = uint8_t(aValue >> (56 - 8 * k));
  for (int32_t k = 8; k < aKeyLength; ++k) bytes[size_t(k)] = uint8_t(aValue * 31 + uint64_t(k));
  return bytes;
}

void setKeyField(TqdFieldsDescriptor& aFields, uint8_t* aRecord, int32_t aKeyLength, uint64_t aValue) {
  aFields.InitRecord(aRecord);
  if (aKeyLength == 8) {
    const int64_t value = int64_t(aValue);
    aFields.SetRecordField(0, aRecord, &value);
    return;
  }
  aFields.SetRecordField(0, aRecord, keyBytes(aKeyLength, aValue).data());
}

// The table's block access, counting the index blocks fetched through it
// while counting is on.
class CountingBlockAccess final : public TqdBlockAccess {
 public:
  using TqdBlockAccess::TqdBlockAccess;
  TqdBlockRef GetValidBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty) override {
    TqdBlockRef block = TqdBlockAccess::GetValidBlock(aTrans, aBlockNumber, aMarkDirty);
    if (fCounting && block && qdIsIndexBlock(block.Data())) ++fReads;
    return block;
  }
  void Start() {
    fReads = 0;
    fCounting = true;
  }
  uint64_t Stop() {
    fCounting = false;
    return fReads;
  }

 private:
  bool fCounting = false;
  uint64_t fReads = 0;
};

// One table file in a cache of its own, with its indices engine.
class BenchTable {
 public:
  BenchTable(const qdString& aFolder, const qdString& aPath, TqdDataDictionary& aDict)
      : fCache(u"/tmp"), fFolder(aFolder), fDict(&aDict) {
    fFile = TqdBaseFile::Alloc(true, aPath, &fCache);
    fFile->OpenFile(omReadWrite, smExclusive, false, true);
    TqdBenchTransaction trans(&fCache, aFolder);
    if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) fail("AddHeader");
    fAccess = std::make_unique<CountingBlockAccess>(fFile, nullptr, aPath, 0);
    fFiles = {fAccess.get()};
    fIndices.reset(TqdBaseIndicesEngine::CreateEngine(aDict.IndicesDescriptor(), fFiles, nullptr, &trans, false));
    trans.Commit();
  }
  ~BenchTable() {
    fIndices.reset();
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
  }
  TqdStaticKeyBstarTreeIndexEngine& Index() {
    return *static_cast<TqdStaticKeyBstarTreeIndexEngine*>(fIndices->biseGetIndex(0));
  }

  TqdBufferManager fCache;
  qdString fFolder;
  TqdDataDictionary* fDict;
  TqdBaseFile* fFile;
  std::unique_ptr<CountingBlockAccess> fAccess;
  TqdBlockAccessList fFiles;
  std::unique_ptr<TqdBaseIndicesEngine> fIndices;
};

// Searches and builds are timed this many times, the best time counting.
constexpr int kPasses = 3;

// The records (key field set, reference i + 1) in arrival order, and the
// keys with their references in a random search order, laid out one after
// the other so that reading them costs the searches nothing.
struct Workload {
  int32_t recordLength = 0;
  int32_t keyLength = 0;
  std::vector<uint8_t> records;
  std::vector<uint64_t> values;
  std::vector<TqdRefNr> refs;
  std::vector<uint8_t> searchKeys;
  std::vector<uint64_t> searchValues;
  std::vector<TqdRefNr> searchRefs;
  uint8_t* Record(size_t aIndex) { return records.data() + aIndex * size_t(recordLength); }
  uint8_t* SearchKey(size_t aIndex) { return searchKeys.data() + aIndex * size_t(keyLength); }
};

Workload makeWorkload(TqdDataDictionary& aDict, TqdBaseKeyEngine& aKeyEngine, int64_t aCount, int32_t aKeyLength,
                      bool aRandom) {
  TqdFieldsDescriptor& fields = *aDict.FieldsDescriptor();
  Workload work;
  work.recordLength = fields.RecordLength() + 4;
  work.keyLength = int32_t(aKeyEngine.KeyLength());
  std::vector<uint64_t> values(static_cast<size_t>(aCount));
  std::iota(values.begin(), values.end(), uint64_t(0));
  if (aRandom) std::shuffle(values.begin(), values.end(), std::mt19937_64(42));
  work.records.assign(size_t(aCount) * size_t(work.recordLength), 0);
  work.refs.resize(size_t(aCount));
  work.values = values;
  for (size_t i = 0; i < size_t(aCount); ++i) {
    setKeyField(fields, work.Record(i), aKeyLength, values[i]);
    work.refs[i] = TqdRefNr(i + 1);
  }
  std::vector<uint32_t> order(static_cast<size_t>(aCount));
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  work.searchKeys.assign(size_t(aCount) * size_t(work.keyLength), 0);
  work.searchRefs.resize(size_t(aCount));
  work.searchValues.resize(size_t(aCount));
  for (size_t n = 0; n < size_t(aCount); ++n) {
    work.searchRefs[n] = work.refs[order[n]];
    work.searchValues[n] = values[order[n]];
    if (aKeyEngine.BuildKey(work.Record(order[n]), work.SearchKey(n), work.searchRefs[n], true) != 0) fail("BuildKey");
  }
  return work;
}

struct Figures {
  double insertsPerSecond = 0;
  double commitSeconds = 0;
  double findsPerSecond = 0;
  double sqliteFindsPerSecond = 0;
  double blocksPerInsert = 0;
  double blocksPerFind = 0;
  int32_t depth = 0;
  uint32_t pages = 0;
  // 0 when the engine does not delete keys.
  double deletesPerSecond = 0;
};

// The tree's depth: descend along the first pointers.
int32_t treeDepth(BenchTable& aTable) {
  TqdStaticKeyBstarTreeIndexEngine& index = aTable.Index();
  std::unique_ptr<TqdBaseIndexHeaderAccess> header(index.CreateHeaderAccess(nullptr, false, false, 0, 0));
  TqdBlockNumber block = header->GetIndexRoot();
  int32_t depth = 0;
  while (block != qdIndexRootNone) {
    ++depth;
    TqdBlockRef node = index.ReadNode(*header, block, false);
    if (qdIndexNodeKind(node.Data()) == kIndexNodeLeaf) break;
    block = index.TreePointer(node.Data(), 0);
  }
  return depth;
}

uint32_t pageCount(BenchTable& aTable) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> header(aTable.Index().CreateHeaderAccess(nullptr, false, false, 0, 0));
  return header->GetIndexPageCount();
}

// Searches every key (aLimit of them when counting blocks) on the
// committed tree.
double findAll(BenchTable& aTable, Workload& aWork, size_t aLimit) {
  TqdStaticKeyBstarTreeIndexEngine& index = aTable.Index();
  std::unique_ptr<TqdBaseIndexPath> path(index.CreateIndexPath());
  const size_t count = std::min(aLimit, aWork.searchRefs.size());
  const double start = cpuSeconds();
  for (size_t n = 0; n < count; ++n) {
    if (!index.FindKey(nullptr, aWork.SearchKey(n), 0, 0, 0, path.get(), skaEqualFirst, nullptr) ||
        path->RefNr != aWork.searchRefs[n])
      fail("FindKey missed a key");
  }
  return double(count) / (cpuSeconds() - start);
}

// --- SQLite -------------------------------------------------------------------------------------

// The settings every SQLite table of the run gets: 4 KB pages like the
// engine's blocks, a page cache that holds the whole table, so that both
// engines search trees held in memory, and the file kept locked by its one
// connection as the engine opens its table exclusively (otherwise every
// statement takes and drops the file lock and checks the file for changes,
// a few system calls that would dwarf the search).
constexpr const char* kSqliteSettings[] = {"PRAGMA page_size = 4096", "PRAGMA cache_size = -1048576",
                                           "PRAGMA locking_mode = EXCLUSIVE", "PRAGMA journal_mode = DELETE",
                                           "PRAGMA synchronous = FULL"};

void sqliteExec(sqlite3* aDb, const char* aSql) {
  if (sqlite3_exec(aDb, aSql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sqlite3_errmsg(aDb));
}

sqlite3_stmt* sqlitePrepare(sqlite3* aDb, const char* aSql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(aDb, aSql, -1, &statement, nullptr) != SQLITE_OK) fail(sqlite3_errmsg(aDb));
  return statement;
}

// Binds the key of value aValue as the engine stores it: the Int64 itself
// or the same 32 bytes.
void sqliteBindKey(sqlite3_stmt* aStatement, int32_t aKeyLength, uint64_t aValue) {
  const int rc = aKeyLength == 8 ? sqlite3_bind_int64(aStatement, 1, sqlite3_int64(aValue))
                                 : sqlite3_bind_blob(aStatement, 1, keyBytes(aKeyLength, aValue).data(), aKeyLength,
                                                     SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) fail("sqlite3_bind");
}

// The same keys with the same references in a table of their own, in the
// same arrival order; then every search of the workload, in its order.
// Searches per second, best of three passes.
double sqliteFindsPerSecond(const std::filesystem::path& aFolder, const Workload& aWork, int32_t aKeyLength) {
  const std::filesystem::path path = aFolder / "index.db";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.string().c_str(), &db) != SQLITE_OK) fail("sqlite3_open");
  for (const char* pragma : kSqliteSettings) sqliteExec(db, pragma);
  sqliteExec(db, aKeyLength == 8 ? "CREATE TABLE t(k INTEGER PRIMARY KEY, ref INTEGER NOT NULL) WITHOUT ROWID"
                                 : "CREATE TABLE t(k BLOB PRIMARY KEY, ref INTEGER NOT NULL) WITHOUT ROWID");
  const int32_t keyLength = aKeyLength;
  sqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = sqlitePrepare(db, "INSERT INTO t(k, ref) VALUES (?1, ?2)");
  for (size_t i = 0; i < aWork.values.size(); ++i) {
    sqliteBindKey(insert, keyLength, aWork.values[i]);
    if (sqlite3_bind_int64(insert, 2, aWork.refs[i]) != SQLITE_OK || sqlite3_step(insert) != SQLITE_DONE)
      fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqliteExec(db, "COMMIT");
  // The search keys bound as they are, prepared outside the timed loop.
  std::vector<std::vector<uint8_t>> blobs;
  if (keyLength != 8)
    for (uint64_t value : aWork.searchValues) blobs.push_back(keyBytes(keyLength, value));
  sqlite3_stmt* lookup = sqlitePrepare(db, "SELECT ref FROM t WHERE k = ?1");
  double best = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    const double start = cpuSeconds();
    for (size_t n = 0; n < aWork.searchValues.size(); ++n) {
      if (keyLength == 8)
        (void)sqlite3_bind_int64(lookup, 1, sqlite3_int64(aWork.searchValues[n]));
      else
        (void)sqlite3_bind_blob(lookup, 1, blobs[n].data(), keyLength, SQLITE_STATIC);
      if (sqlite3_step(lookup) != SQLITE_ROW || sqlite3_column_int64(lookup, 0) != aWork.searchRefs[n])
        fail("SQLite missed a key");
      sqlite3_reset(lookup);
    }
    best = std::max(best, double(aWork.searchValues.size()) / (cpuSeconds() - start));
  }
  sqlite3_finalize(lookup);
  sqlite3_close(db);
  std::filesystem::remove(path);
  return best;
}

Figures runInsertFind(const std::filesystem::path& aFolder, int64_t aCount, int32_t aKeyLength, bool aRandom) {
  const qdString folderName = Utf8ToString(aFolder.string());
  const qdString path = Utf8ToString((aFolder / "index.qd1").string());
  std::unique_ptr<TqdDataDictionary> dict = indexDictionary(aKeyLength);
  Figures figures;
  {
    BenchTable table(folderName, path, *dict);
    Workload work = makeWorkload(*dict, *table.Index().KeyEngine(), aCount, aKeyLength, aRandom);
    {
      TqdBenchTransaction trans(&table.fCache, folderName);
      const double start = cpuSeconds();
      for (size_t i = 0; i < size_t(aCount); ++i)
        if (table.fIndices->InsertKeys(&trans, work.refs[i], work.Record(i), nullptr) != 0) fail("InsertKeys");
      figures.insertsPerSecond = double(aCount) / (cpuSeconds() - start);
      const Clock::time_point commitStart = Clock::now();
      trans.Commit();
      figures.commitSeconds = secondsSince(commitStart);
    }
    // Blocks per insert: a sample of fresh keys above every key, in a
    // transaction that is rolled back.
    {
      constexpr size_t kSample = 10000;
      TqdFieldsDescriptor& fields = *dict->FieldsDescriptor();
      std::vector<uint8_t> record(size_t(work.recordLength));
      std::mt19937_64 random(11);
      TqdBenchTransaction trans(&table.fCache, folderName);
      table.fAccess->Start();
      for (size_t n = 0; n < kSample; ++n) {
        const uint64_t value =
            aRandom ? uint64_t(aCount) + (random() % (uint64_t(aCount) * 16)) * 16 + n % 16 : uint64_t(aCount) + n;
        setKeyField(fields, record.data(), aKeyLength, value);
        (void)table.fIndices->InsertKeys(&trans, TqdRefNr(aCount) + 1 + TqdRefNr(n), record.data(), nullptr);
      }
      figures.blocksPerInsert = double(table.fAccess->Stop()) / double(kSample);
      trans.Rollback();
    }
    // The best of three passes: the machine's other work only ever slows a
    // pass down.
    for (int pass = 0; pass < kPasses; ++pass)
      figures.findsPerSecond = std::max(figures.findsPerSecond, findAll(table, work, work.searchRefs.size()));
    table.fAccess->Start();
    (void)findAll(table, work, 10000);
    figures.blocksPerFind = double(table.fAccess->Stop()) / double(std::min<size_t>(10000, size_t(aCount)));
    figures.depth = treeDepth(table);
    figures.pages = pageCount(table);
    figures.sqliteFindsPerSecond = sqliteFindsPerSecond(aFolder, work, aKeyLength);
    // Every key deleted again in arrival order, in one transaction.
    TqdBenchTransaction trans(&table.fCache, folderName);
    const double start = cpuSeconds();
    for (size_t i = 0; i < size_t(aCount); ++i)
      if (table.fIndices->DeleteKeys(&trans, work.refs[i], work.Record(i), nullptr) != 0) fail("DeleteKeys");
    figures.deletesPerSecond = double(aCount) / (cpuSeconds() - start);
    trans.Commit();
    if (pageCount(table) != 0) fail("pages left after deleting every key");
  }
  std::filesystem::remove(aFolder / "index.qd1");
  return figures;
}

struct BuildFigures {
  double seconds = 0;
  double commitSeconds = 0;
  int32_t depth = 0;
  uint32_t pages = 0;
};

// Fills an empty index through a builder: the engine's own (bulk) or the
// framework's key-by-key one.
BuildFigures runBuild(const std::filesystem::path& aFolder, int64_t aCount, bool aBulk) {
  const qdString folderName = Utf8ToString(aFolder.string());
  const qdString path = Utf8ToString((aFolder / "build.qd1").string());
  std::unique_ptr<TqdDataDictionary> dict = indexDictionary(8);
  BuildFigures figures;
  {
    BenchTable table(folderName, path, *dict);
    Workload work = makeWorkload(*dict, *table.Index().KeyEngine(), aCount, 8, true);
    TqdBenchTransaction trans(&table.fCache, folderName);
    const double start = cpuSeconds();
    std::unique_ptr<TqdBaseBulkBuilder> builder(
        aBulk ? table.Index().CreateBulkBuilder(&trans)
              : TqdDefaultIndexBulkBuilder::ClassInfo.Create(&trans, &table.Index()));
    for (size_t i = 0; i < size_t(aCount); ++i)
      if (builder->InsertKey(&work.refs[i], work.Record(i), &trans) != 0) fail("builder InsertKey");
    if (builder->Finalize(&trans) != 0) fail("builder Finalize");
    builder.reset();
    figures.seconds = cpuSeconds() - start;
    const Clock::time_point commitStart = Clock::now();
    trans.Commit();
    figures.commitSeconds = secondsSince(commitStart);
    uint32_t keys = 0;
    table.Index().GetKeyCount(nullptr, keys);
    if (keys != uint32_t(aCount)) fail("builder lost keys");
    if (findAll(table, work, 1000) <= 0) fail("FindKey after the build");
    figures.depth = treeDepth(table);
    figures.pages = pageCount(table);
  }
  std::filesystem::remove(aFolder / "build.qd1");
  return figures;
}

// --- The keyless B*-tree ------------------------------------------------------------------------

// One field holding the key (an Int64, or aKeyLength bytes) and one unique
// index on it of engine aEngine.
std::unique_ptr<TqdDataDictionary> keylessDictionary(int32_t aKeyLength, const char16_t* aEngine) {
  std::unique_ptr<TqdDataDictionary> dict = indexDictionary(aKeyLength);
  if (dict->RecordDescriptor() == nullptr) dict->AddRecordDescriptor();
  TqdIndexDescriptor* index = dict->IndicesDescriptor()->IndexDescriptor(0);
  index->SetIndexEngine(aEngine);
  TqdBaseIndexEngine::CheckValidBaseFromDescriptor(index);
  return dict;
}

// The static record engine, counting the record reads index engines make
// for keys.
class CountingRecordEngine final : public TqdStaticRecordEngine {
 public:
  using TqdStaticRecordEngine::TqdStaticRecordEngine;
  TqdRecordIteratorResult ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBufferPtr aData,
                                               TqdRecordIterator aIterator, void* aCookie,
                                               TqdBaseFilterEngine* aFilter) override {
    ++fReads;
    return TqdStaticRecordEngine::ReadRecordForIterate(aTrans, aRefNr, aData, aIterator, aCookie, aFilter);
  }
  uint64_t fReads = 0;
};

// A table file with records and one index, in a cache of its own.
class RecordTable {
 public:
  RecordTable(const qdString& aFolder, const qdString& aPath, TqdDataDictionary& aDict) : fCache(u"/tmp") {
    fFile = TqdBaseFile::Alloc(true, aPath, &fCache);
    fFile->OpenFile(omReadWrite, smExclusive, false, true);
    TqdBenchTransaction trans(&fCache, aFolder);
    if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) fail("AddHeader");
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, aPath, 0);
    fFiles = {fAccess.get()};
    fRecords = std::make_unique<CountingRecordEngine>(aDict.RecordDescriptor(), fFiles, &trans);
    fIndices.reset(
        TqdBaseIndicesEngine::CreateEngine(aDict.IndicesDescriptor(), fFiles, fRecords.get(), &trans, false));
    trans.Commit();
  }
  ~RecordTable() {
    fIndices.reset();
    fRecords.reset();
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
  }
  TqdBaseIndexEngine& Index() { return *fIndices->biseGetIndex(0); }
  uint32_t Pages() {
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(Index().CreateHeaderAccess(nullptr, false, false, 0, 0));
    return header->GetIndexPageCount();
  }

  TqdBufferManager fCache;
  TqdBaseFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
  TqdBlockAccessList fFiles;
  std::unique_ptr<CountingRecordEngine> fRecords;
  std::unique_ptr<TqdBaseIndicesEngine> fIndices;
};

struct KeylessFigures {
  double insertsPerSecond = 0;
  double findsPerSecond = 0;
  double readsPerFind = 0;
  int32_t depth = 0;
  uint32_t pages = 0;
  uint32_t staticPages = 0;
  double sqliteInsertsPerSecond = 0;
  double sqliteFindsPerSecond = 0;
  size_t found = 0;
  size_t sqliteFound = 0;
};

// Fills aTable with the workload's records (their references replace the
// workload's); CPU seconds per record.
double fillRecordTable(RecordTable& aTable, Workload& aWork, const qdString& aFolder) {
  TqdBenchTransaction trans(&aTable.fCache, aFolder);
  const double start = cpuSeconds();
  for (size_t i = 0; i < aWork.refs.size(); ++i) {
    TqdRefNr refNr = 0;
    aTable.fRecords->AddRecord(&trans, refNr, aWork.Record(i));
    if (aTable.fIndices->InsertKeys(&trans, refNr, aWork.Record(i), nullptr) != 0) fail("InsertKeys");
    aWork.refs[i] = refNr;
  }
  const double seconds = cpuSeconds() - start;
  trans.Commit();
  return seconds;
}

// The keyless tree's depth, from the root's kind down the first pointers.
int32_t keylessDepth(RecordTable& aTable) {
  TqdBlockAccess& file = *aTable.fAccess;
  std::unique_ptr<TqdBaseIndexHeaderAccess> header(aTable.Index().CreateHeaderAccess(nullptr, false, false, 0, 0));
  TqdBlockNumber block = header->GetIndexRoot();
  int32_t depth = 0;
  while (block != qdIndexRootNone) {
    ++depth;
    TqdBlockRef node = qdReadIndexBlock(nullptr, &file, 0, block, false);
    if (qdIndexNodeKind(node.Data()) == kIndexNodeLeaf) break;
    block = qdGetU32(node.Data() + kIndexBlockHeaderSize);
  }
  return depth;
}

// SQLite: the rows inserted in one transaction, then every search of the
// workload (best of three passes). The count of keys found goes to aFound.
void sqliteKeyless(const std::filesystem::path& aFolder, const Workload& aWork, int32_t aKeyLength,
                   KeylessFigures& aFigures) {
  const std::filesystem::path path = aFolder / "keyless.db";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.string().c_str(), &db) != SQLITE_OK) fail("sqlite3_open");
  for (const char* pragma : kSqliteSettings) sqliteExec(db, pragma);
  sqliteExec(db, aKeyLength == 8 ? "CREATE TABLE t(id INTEGER PRIMARY KEY, k INTEGER NOT NULL)"
                                 : "CREATE TABLE t(id INTEGER PRIMARY KEY, k BLOB NOT NULL)");
  sqliteExec(db, "CREATE UNIQUE INDEX tk ON t(k)");
  std::vector<std::vector<uint8_t>> rows;
  if (aKeyLength != 8)
    for (uint64_t value : aWork.values) rows.push_back(keyBytes(aKeyLength, value));
  sqlite3_stmt* insert = sqlitePrepare(db, "INSERT INTO t(id, k) VALUES (?2, ?1)");
  sqliteExec(db, "BEGIN");
  double start = cpuSeconds();
  for (size_t i = 0; i < aWork.values.size(); ++i) {
    if (aKeyLength == 8)
      (void)sqlite3_bind_int64(insert, 1, sqlite3_int64(aWork.values[i]));
    else
      (void)sqlite3_bind_blob(insert, 1, rows[i].data(), aKeyLength, SQLITE_STATIC);
    if (sqlite3_bind_int64(insert, 2, sqlite3_int64(i + 1)) != SQLITE_OK || sqlite3_step(insert) != SQLITE_DONE)
      fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  aFigures.sqliteInsertsPerSecond = double(aWork.values.size()) / (cpuSeconds() - start);
  sqlite3_finalize(insert);
  sqliteExec(db, "COMMIT");
  std::vector<std::vector<uint8_t>> blobs;
  if (aKeyLength != 8)
    for (uint64_t value : aWork.searchValues) blobs.push_back(keyBytes(aKeyLength, value));
  sqlite3_stmt* lookup = sqlitePrepare(db, "SELECT id FROM t WHERE k = ?1");
  for (int pass = 0; pass < kPasses; ++pass) {
    size_t found = 0;
    start = cpuSeconds();
    for (size_t n = 0; n < aWork.searchValues.size(); ++n) {
      if (aKeyLength == 8)
        (void)sqlite3_bind_int64(lookup, 1, sqlite3_int64(aWork.searchValues[n]));
      else
        (void)sqlite3_bind_blob(lookup, 1, blobs[n].data(), aKeyLength, SQLITE_STATIC);
      if (sqlite3_step(lookup) == SQLITE_ROW) ++found;
      sqlite3_reset(lookup);
    }
    aFigures.sqliteFindsPerSecond =
        std::max(aFigures.sqliteFindsPerSecond, double(aWork.searchValues.size()) / (cpuSeconds() - start));
    aFigures.sqliteFound = found;
  }
  sqlite3_finalize(lookup);
  sqlite3_close(db);
  std::filesystem::remove(path);
}

KeylessFigures runKeyless(const std::filesystem::path& aFolder, int64_t aCount, int32_t aKeyLength, bool aRandom) {
  const qdString folderName = Utf8ToString(aFolder.string());
  KeylessFigures figures;
  {
    std::unique_ptr<TqdDataDictionary> dict = keylessDictionary(aKeyLength, u"KeylessBStarTree");
    const qdString path = Utf8ToString((aFolder / "keyless.qd1").string());
    RecordTable table(folderName, path, *dict);
    Workload work = makeWorkload(*dict, *table.Index().KeyEngine(), aCount, aKeyLength, aRandom);
    figures.insertsPerSecond = double(aCount) / fillRecordTable(table, work, folderName);
    // The searches' references follow the records' own.
    std::vector<size_t> position(static_cast<size_t>(aCount));
    for (size_t i = 0; i < size_t(aCount); ++i) position[size_t(work.values[i])] = i;
    for (size_t n = 0; n < size_t(aCount); ++n) work.searchRefs[n] = work.refs[position[size_t(work.searchValues[n])]];
    TqdBaseIndexEngine& index = table.Index();
    std::unique_ptr<TqdBaseIndexPath> searchPath(index.CreateIndexPath());
    for (int pass = 0; pass < kPasses; ++pass) {
      size_t found = 0;
      table.fRecords->fReads = 0;
      const double start = cpuSeconds();
      for (size_t n = 0; n < size_t(aCount); ++n)
        if (index.FindKey(nullptr, work.SearchKey(n), 0, 0, 0, searchPath.get(), skaEqualFirst, nullptr) &&
            searchPath->RefNr == work.searchRefs[n])
          ++found;
      figures.findsPerSecond = std::max(figures.findsPerSecond, double(aCount) / (cpuSeconds() - start));
      figures.readsPerFind = double(table.fRecords->fReads) / double(aCount);
      figures.found = found;
    }
    figures.depth = keylessDepth(table);
    figures.pages = table.Pages();
    if (figures.found != size_t(aCount)) fail("FindKey missed a key");
  }
  std::filesystem::remove(aFolder / "keyless.qd1");
  if (aKeyLength > 8) {
    std::unique_ptr<TqdDataDictionary> dict = keylessDictionary(aKeyLength, TqdIndexDescriptor::kDefaultEngine);
    const qdString path = Utf8ToString((aFolder / "static.qd1").string());
    {
      RecordTable table(folderName, path, *dict);
      Workload work = makeWorkload(*dict, *table.Index().KeyEngine(), aCount, aKeyLength, aRandom);
      (void)fillRecordTable(table, work, folderName);
      figures.staticPages = table.Pages();
    }
    std::filesystem::remove(aFolder / "static.qd1");
  }
  {
    Workload work;
    std::vector<uint64_t> values(static_cast<size_t>(aCount));
    std::iota(values.begin(), values.end(), uint64_t(0));
    if (aRandom) std::shuffle(values.begin(), values.end(), std::mt19937_64(42));
    work.values = values;
    std::vector<uint32_t> order(static_cast<size_t>(aCount));
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
    for (uint32_t o : order) work.searchValues.push_back(values[o]);
    sqliteKeyless(aFolder, work, aKeyLength, figures);
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  std::vector<int64_t> counts;
  // "--keyless" runs the keyless cases alone.
  bool keylessOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--keyless") == 0)
      keylessOnly = true;
    else
      counts.push_back(std::atoll(argv[i]));
  }
  if (counts.empty()) counts = {100000, 1000000};

  const char* chosen = std::getenv("QD_BENCH_FOLDER");
  const std::filesystem::path folder =
      (chosen != nullptr ? std::filesystem::path(chosen) : std::filesystem::temp_directory_path()) /
      ("qdIndexBench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);

  if (!keylessOnly) {
    std::printf("Static-key B*-tree, 4 KB blocks, unique index, one transaction per run\n");
    std::printf("SQLite %s beside it: WITHOUT ROWID table (k PRIMARY KEY, ref), one prepared SELECT;",
                sqlite3_libversion());
    for (const char* pragma : kSqliteSettings) std::printf(" %s;", pragma + 7);
    std::printf("\n");
    for (int64_t count : counts)
      for (int32_t keyLength : {8, 32})
        for (bool random : {true, false}) {
          const Figures f = runInsertFind(folder, count, keyLength, random);
          std::printf(
              "%8lld keys of %2d bytes, %-10s: insert %10.0f/s (commit %6.2f s) | FindKey %6.3f us, SQLite lookup "
              "%6.3f us, ratio %4.2f | index blocks per insert %5.2f, per FindKey %5.2f | depth %d, %u pages | "
              "delete %10.0f/s\n",
              static_cast<long long>(count), keyLength, random ? "random" : "ascending", f.insertsPerSecond,
              f.commitSeconds, 1e6 / f.findsPerSecond, 1e6 / f.sqliteFindsPerSecond,
              f.sqliteFindsPerSecond / f.findsPerSecond, f.blocksPerInsert, f.blocksPerFind, f.depth, f.pages,
              f.deletesPerSecond);
          std::fflush(stdout);
        }
    for (int64_t count : counts) {
      BuildFigures bulk = runBuild(folder, count, true);
      BuildFigures single = runBuild(folder, count, false);
      for (int pass = 1; pass < kPasses; ++pass) {
        const BuildFigures nextBulk = runBuild(folder, count, true);
        if (nextBulk.seconds < bulk.seconds) bulk = nextBulk;
        const BuildFigures nextSingle = runBuild(folder, count, false);
        if (nextSingle.seconds < single.seconds) single = nextSingle;
      }
      std::printf(
          "%8lld random 8-byte keys into an empty index: bulk build %7.3f s (%10.0f keys/s, commit %5.2f s, depth %d, "
          "%u pages) | key by key %7.3f s (%10.0f keys/s, commit %5.2f s, depth %d, %u pages) | bulk %.2fx faster\n",
          static_cast<long long>(count), bulk.seconds, double(count) / bulk.seconds, bulk.commitSeconds, bulk.depth,
          bulk.pages, single.seconds, double(count) / single.seconds, single.commitSeconds, single.depth, single.pages,
          single.seconds / bulk.seconds);
      std::fflush(stdout);
    }
  }
  std::printf(
      "Keyless B*-tree, 4 KB blocks, unique index, records in a static record engine; the block cache "
      "holds the whole table (no budget)\n");
  std::printf(
      "SQLite %s beside it: table t(id INTEGER PRIMARY KEY, k) with a unique index on k, rows inserted in one "
      "transaction, SELECT id FROM t WHERE k = ? prepared;",
      sqlite3_libversion());
  for (const char* pragma : kSqliteSettings) std::printf(" %s;", pragma + 7);
  std::printf("\n");
  for (int64_t count : counts)
    for (int32_t keyLength : {8, 100})
      for (bool random : {true, false}) {
        const KeylessFigures f = runKeyless(folder, count, keyLength, random);
        std::printf(
            "%8lld keys of %3d bytes, %-10s: insert %9.0f/s, SQLite %9.0f/s, ratio %4.2f | FindKey %6.3f us "
            "(%5.2f record reads), SQLite %6.3f us, ratio %4.2f | found %zu, SQLite %zu | depth %d, %u pages",
            static_cast<long long>(count), keyLength, random ? "random" : "ascending", f.insertsPerSecond,
            f.sqliteInsertsPerSecond, f.sqliteInsertsPerSecond / f.insertsPerSecond, 1e6 / f.findsPerSecond,
            f.readsPerFind, 1e6 / f.sqliteFindsPerSecond, f.sqliteFindsPerSecond / f.findsPerSecond, f.found,
            f.sqliteFound, f.depth, f.pages);
        if (f.staticPages != 0)
          std::printf(" (static-key tree %u pages, %.2f of it)", f.staticPages, double(f.pages) / f.staticPages);
        std::printf("\n");
        if (f.found != f.sqliteFound) fail("the engines found different counts");
        std::fflush(stdout);
      }
  std::filesystem::remove_all(folder);
  qd::qdEngineFinalize();
  return 0;
}
