// Static record engine on the real file system: adding N records of 100
// bytes in one committed transaction, reading each by its reference in a
// random order, and a full scan, for N = 10^5 and 10^6. Reads and scans run
// twice: on the cache that committed the records, and after the table was
// reopened in a fresh cache (the blocks then come from the file, which the
// operating system most likely still holds in memory).
//
//   build/release/bench/qdRecordBench [N ...]
//
// The table lives in QD_BENCH_FOLDER when set, else in the system's
// temporary folder.
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
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "engine/qdEngine.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFileHandling.h"
#include "storage/qdsrRecordEngineBase.h"

namespace {

using namespace qd;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point aStart) { return std::chrono::duration<double>(Clock::now() - aStart).count(); }

// Id (Int32) and 92 bytes of payload: 96 bytes of fields and a 4-byte null
// bitmap make the 100-byte record.
std::unique_ptr<TqdDataDictionary> recordDictionary() {
  auto dict = std::make_unique<TqdDataDictionary>();
  dict->RemoveStreamDescriptor();
  dict->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  dict->FieldsDescriptor()->AddField(u"Payload", u"", qdtByteArray, 92, 0, false);
  return dict;
}

// One table file in a cache of its own.
class BenchTable {
 public:
  BenchTable(const qdString& aFolder, const qdString& aPath, TqdDataDictionary& aDict, bool aCreate) : fCache(u"/tmp") {
    fFile = TqdBaseFile::Alloc(true, aPath, &fCache);
    if (aCreate) {
      fFile->OpenFile(omReadWrite, smExclusive, false, true);
      TqdBenchTransaction trans(&fCache, aFolder);
      if (fFile->AddHeader(&trans, {}, qdSignature("QD!2")) != 0) std::abort();
      trans.Commit();
    } else {
      fFile->OpenFile(omReadWrite, smExclusive, false, false);
      TqdBlockRef header;
      bool readOnly = false;
      if (fCache.AddFile(fFile, nullptr, {}, false, header, readOnly) != 0) std::abort();
    }
    fAccess = std::make_unique<TqdBlockAccess>(fFile, nullptr, aPath, 0);
    fFiles = {fAccess.get()};
    fDict = &aDict;
  }
  ~BenchTable() {
    fEngine.reset();
    fAccess.reset();
    fCache.RemoveFile(fFile);
    fFile->CloseFile();
    delete fFile;
  }
  TqdBaseRecordEngine& Engine(TqdBaseTransaction* aTrans) {
    if (!fEngine) fEngine.reset(TqdBaseRecordEngine::CreateEngine(fDict, fFiles, aTrans));
    return *fEngine;
  }

  TqdBufferManager fCache;
  TqdBaseFile* fFile;
  std::unique_ptr<TqdBlockAccess> fAccess;
  TqdBlockAccessList fFiles;
  TqdDataDictionary* fDict;
  std::unique_ptr<TqdBaseRecordEngine> fEngine;
};

struct ReadFigures {
  double readsPerSecond;
  double scanPerSecond;
};

ReadFigures readAll(BenchTable& aTable, const std::vector<TqdRefNr>& aRefs, const TqdFieldsDescriptor& aFields) {
  TqdBaseRecordEngine& engine = aTable.Engine(nullptr);
  std::vector<TqdRefNr> order = aRefs;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  std::vector<uint8_t> record(size_t(aFields.RecordLength()) + 4);
  int64_t sum = 0;
  Clock::time_point start = Clock::now();
  for (TqdRefNr refNr : order) {
    engine.ReadRecord(nullptr, refNr, record.data());
    int32_t id = 0;
    std::memcpy(&id, record.data(), sizeof id);
    sum += id;
  }
  const double reads = double(order.size()) / secondsSince(start);

  struct Scan {
    int64_t count = 0;
    int64_t sum = 0;
  } scan;
  auto visit = [](void* aCookie, TqdRefNr, PqdRecordBuffer aRecord) {
    auto* s = static_cast<Scan*>(aCookie);
    int32_t id = 0;
    std::memcpy(&id, aRecord, sizeof id);
    ++s->count;
    s->sum += id;
    return rirContinue;
  };
  PqdRecordBuffer data = record.data();
  TqdRefNr from = 0;
  start = Clock::now();
  engine.Iterate(nullptr, from, &data, visit, &scan, nullptr, false, false);
  const double scanned = double(scan.count) / secondsSince(start);
  if (scan.count != int64_t(aRefs.size()) || scan.sum != sum) {
    std::fprintf(stderr, "scan saw %lld records, expected %zu\n", static_cast<long long>(scan.count), aRefs.size());
    std::abort();
  }
  return {reads, scanned};
}

void run(int64_t aCount) {
  const char* chosen = std::getenv("QD_BENCH_FOLDER");
  const std::filesystem::path folder =
      (chosen != nullptr ? std::filesystem::path(chosen) : std::filesystem::temp_directory_path()) /
      ("qdRecordBench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const qdString folderName = Utf8ToString(folder.string());
  const qdString path = Utf8ToString((folder / "records.qd1").string());
  std::unique_ptr<TqdDataDictionary> dict = recordDictionary();
  TqdFieldsDescriptor& fields = *dict->FieldsDescriptor();

  std::vector<TqdRefNr> refs;
  refs.reserve(size_t(aCount));
  double insertsPerSecond = 0;
  ReadFigures hot{};
  {
    BenchTable table(folderName, path, *dict, true);
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 4);
    std::vector<uint8_t> payload(92);
    const Clock::time_point start = Clock::now();
    TqdBenchTransaction trans(&table.fCache, folderName);
    TqdBaseRecordEngine& engine = table.Engine(&trans);
    for (int32_t id = 1; id <= aCount; ++id) {
      fields.InitRecord(record.data());
      fields.SetRecordField(0, record.data(), &id);
      std::memset(payload.data(), id & 0xFF, payload.size());
      fields.SetRecordField(1, record.data(), payload.data());
      TqdRefNr refNr = 0;
      engine.AddRecord(&trans, refNr, record.data());
      refs.push_back(refNr);
    }
    trans.Commit();
    insertsPerSecond = double(aCount) / secondsSince(start);
    hot = readAll(table, refs, fields);
  }
  ReadFigures cold{};
  {
    BenchTable table(folderName, path, *dict, false);
    cold = readAll(table, refs, fields);
  }
  std::printf(
      "%8lld records of %d bytes: insert+commit %10.0f rec/s | read by reference %10.0f/s (reopened %10.0f/s) | "
      "full scan %11.0f rec/s (reopened %11.0f rec/s)\n",
      static_cast<long long>(aCount), fields.RecordLength(), insertsPerSecond, hot.readsPerSecond, cold.readsPerSecond,
      hot.scanPerSecond, cold.scanPerSecond);
  std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  qd::qdEngineInitialize();
  std::vector<int64_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoll(argv[i]));
  if (counts.empty()) counts = {100000, 1000000};
  for (int64_t count : counts) run(count);
  qd::qdEngineFinalize();
  return 0;
}
