#include "tests/storage/qdseJournalFuzzHarness.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "platform/qdLittleEndian.h"
#include "storage/qdseJournalEngine.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {

namespace {

// Blocks read back per table: a recovered table holds a few dozen at most,
// and a damaged used-block count must not turn each run into a long scan.
constexpr uint32_t kJournalFuzzReadLimit = 64;
const char* const kJournalNames[] = {"/db/100.n$2", "/db/101.n$2"};

class TqdScopedJournalClass {
 public:
  explicit TqdScopedJournalClass(const TqdJournalEngineClass* aClass)
      : fPrevious(qdJournalEngineClass.exchange(aClass)) {}
  ~TqdScopedJournalClass() { qdJournalEngineClass.store(fPrevious); }
  TqdScopedJournalClass(const TqdScopedJournalClass&) = delete;
  TqdScopedJournalClass& operator=(const TqdScopedJournalClass&) = delete;

 private:
  const TqdJournalEngineClass* fPrevious;
};

void openTables(TqdBufferManager& aCache) {
  for (const char* path : kJournalFuzzTables) {
    try {
      auto table = TqdTestTable::Open(&aCache, path);
      auto header = table->Access().HeaderAccess(nullptr, false);
      const uint32_t used = header->UsedBlocks();
      header.reset();
      for (TqdBlockNumber n = 1; n < std::min<uint32_t>(used, kJournalFuzzReadLimit); ++n) {
        try {
          (void)table->Access().GetBlock(nullptr, n, 0, false);
        } catch (const EqdBaseException&) {
        }
      }
    } catch (const EqdBaseException&) {
      // A table a journal could not be recovered into is refused.
    }
  }
  aCache.CheckInvariants();
}

}  // namespace

const std::vector<std::vector<uint8_t>>& JournalFuzzTables() {
  static const std::vector<std::vector<uint8_t>> result = [] {
    std::vector<std::vector<uint8_t>> made;
    TqdFaultFixture fault;
    TqdBufferManager cache(u"/tmp");
    uint8_t fill = 0x10;
    for (const char* path : kJournalFuzzTables) {
      auto table = TqdTestTable::Create(&cache, path);
      TqdTestTransaction trans(&cache);
      AddBlocks(*table, &trans, 6, fill++);
      trans.Commit();
    }
    for (const char* path : kJournalFuzzTables) made.push_back(fault.Fs().ReadAll(path));
    return made;
  }();
  return result;
}

std::vector<uint8_t> EncodeJournalFuzzInput(const TqdJournalFuzzInput& aInput) {
  std::vector<uint8_t> bytes = {uint8_t((aInput.jfChecker & 3) | (aInput.jfJournals.size() > 1 ? 4 : 0))};
  if (aInput.jfJournals.size() > 1) {
    const size_t first = std::min<size_t>(aInput.jfJournals[0].size(), 0xFFFF);
    bytes.push_back(uint8_t(first));
    bytes.push_back(uint8_t(first >> 8));
    bytes.insert(bytes.end(), aInput.jfJournals[0].begin(), aInput.jfJournals[0].begin() + ptrdiff_t(first));
    bytes.insert(bytes.end(), aInput.jfJournals[1].begin(), aInput.jfJournals[1].end());
  } else if (!aInput.jfJournals.empty()) {
    bytes.insert(bytes.end(), aInput.jfJournals[0].begin(), aInput.jfJournals[0].end());
  }
  return bytes;
}

TqdJournalFuzzInput DecodeJournalFuzzInput(const uint8_t* aData, size_t aSize) {
  TqdJournalFuzzInput input;
  if (aSize == 0) return input;
  input.jfChecker = uint8_t(std::min(aData[0] & 3, 2));
  if ((aData[0] & 4) != 0 && aSize >= 3) {
    const size_t first = std::min<size_t>(size_t(aData[1]) | size_t(aData[2]) << 8, aSize - 3);
    input.jfJournals.emplace_back(aData + 3, aData + 3 + first);
    input.jfJournals.emplace_back(aData + 3 + first, aData + aSize);
  } else {
    input.jfJournals.emplace_back(aData + 1, aData + aSize);
  }
  return input;
}

void FuzzJournalInput(const uint8_t* aData, size_t aSize) {
  const TqdJournalFuzzInput input = DecodeJournalFuzzInput(aData, aSize);
  const auto& tables = JournalFuzzTables();
  TqdFaultFixture fault;
  for (size_t t = 0; t < tables.size(); ++t) fault.Fs().WriteAll(kJournalFuzzTables[t], tables[t]);
  for (size_t j = 0; j < input.jfJournals.size(); ++j) fault.Fs().WriteAll(kJournalNames[j], input.jfJournals[j]);
  TqdScopedJournalClass journalClass(qdJournalEngineClassOfKind(input.jfChecker));
  TqdBufferManager cache(u"/tmp");
  TqdTestTransactionMgr mgr(&cache, "/db");
  try {
    (void)mgr.CheckFolder();
    if (mgr.CheckFolder().jcrReplayed != 0) throw std::logic_error("a second folder check replayed a journal");
  } catch (const EqdBaseException&) {
    // A folder check reports its failures in the result; a raise is allowed
    // all the same, and the tables must then still refuse or open.
  }
  openTables(cache);
}

}  // namespace qd::test
