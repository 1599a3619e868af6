// Stand-ins for the index tests: an index engine that keeps its entries in
// memory (sorted by the key engine, then by reference), keeps its key count
// through the indices engine's header access, and lets a test refuse
// deletes; and an indices engine whose header values live in memory. Both
// register under "TestMemory" for the scope of a TqdFakeIndexRegistration.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "storage/qdsrIndexEngineBase.h"

namespace qd::test {

class TqdFakeIndexPath : public TqdBaseIndexPath {
 public:
  static const TqdIndexPathClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdBaseIndexPath::TqdBaseIndexPath;
};

inline const TqdIndexPathClass TqdFakeIndexPath::ClassInfo{{u"TqdFakeIndexPath", &TqdBaseIndexPath::ClassInfo, nullptr},
                                                           &qdNewIndexPath<TqdFakeIndexPath>};

class TqdFakeIndexEngine : public TqdBaseIndexEngine {
 public:
  static const TqdIndexEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdBaseIndexEngine::TqdBaseIndexEngine;

  struct Entry {
    std::vector<uint8_t> key;
    TqdRefNr refNr;
    TqdRefNr cacheRefNr;
  };

  const TqdIndexPathClass& GetIndexPathClass() const override { return TqdFakeIndexPath::ClassInfo; }
  void ValidateIndexPath(TqdBaseTransaction*, TqdBaseIndexPath*) override {}

  void DeleteAllKeys(TqdBaseTransaction* aTrans) override {
    fEntries.clear();
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(CreateHeaderAccess(aTrans, true, true, 0, 0));
    header->SetIndexRoot(qdIndexRootNone);
    header->SetIndexPageCount(0);
    header->SetIndexKeyCount(0);
  }

  bool DeleteKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr,
                 TqdBaseIndexPath* aPath) override {
    ++fDeleteCalls;
    if (fDeletesBeforeRefusal == 0) return false;
    if (fDeletesBeforeRefusal > 0) --fDeletesBeforeRefusal;
    auto it = Find(aKey, aRefNr);
    if (it == fEntries.end()) return false;
    fEntries.erase(it);
    AddToKeyCount(aTrans, -1);
    if (aPath != nullptr && aPath->IndexEngine() == this) {
      aPath->Position = ippOnCrackBefore;
      aPath->Deleted = true;
    }
    return true;
  }

  bool InsertKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr, TqdRefNr aCacheRefNr,
                 TqdBaseIndexPath* aPath) override {
    ++fInsertCalls;
    if (fOnInsert) fOnInsert();
    const bool unique = !Dups() || (DupsNullOnly() && !KeyEngine()->KeyContainsNulls(aKey));
    if (unique)
      for (const Entry& e : fEntries)
        if (KeyEngine()->CompareKey(e.key.data(), aKey, 0, 0) == 0) return false;
    Entry entry{std::vector<uint8_t>(aKey, aKey + KeyEngine()->KeyLength()), aRefNr, aCacheRefNr};
    auto at = std::find_if(fEntries.begin(), fEntries.end(), [&](const Entry& e) { return Less(entry, e); });
    fEntries.insert(at, std::move(entry));
    AddToKeyCount(aTrans, 1);
    if (aPath != nullptr && aPath->IndexEngine() == this) {
      aPath->Clear();
      aPath->Position = ippOnKey;
      aPath->RefNr = aRefNr;
      aPath->CacheRefNr = aCacheRefNr;
      KeyEngine()->CopyKey(aKey, aPath->Key);
      aPath->KeyValid = true;
    }
    return true;
  }

  bool FindKey(TqdBaseTransaction*, PqdKeyBuffer aKey, int32_t aFieldCount, int32_t aPartialLen, TqdRefNr aRefNr,
               TqdBaseIndexPath* aPath, TqdSearchKeyAction, TqdBaseFilterEngine*) override {
    for (const Entry& e : fEntries)
      if (KeyEngine()->CompareKey(e.key.data(), aKey, aFieldCount, aPartialLen) == 0 &&
          (aRefNr == 0 || aRefNr == e.refNr)) {
        aPath->Clear();
        aPath->Position = ippOnKey;
        aPath->RefNr = e.refNr;
        std::memcpy(aPath->Key, e.key.data(), e.key.size());
        aPath->KeyValid = true;
        return true;
      }
    return false;
  }
  bool NextKey(TqdBaseTransaction*, TqdBaseIndexPath*, TqdBaseFilterEngine*) override { return Unsupported(); }
  bool PrevKey(TqdBaseTransaction*, TqdBaseIndexPath*, TqdBaseFilterEngine*) override { return Unsupported(); }
  void GetKeyCount(TqdBaseTransaction* aTrans, uint32_t& aCount) override {
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(CreateHeaderAccess(aTrans, false, false, 0, 0));
    aCount = header->GetIndexKeyCount();
  }
  void Iterate(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr, TqdKeyIterator, TqdRecordIterator, void*,
               const TqdRangeInfo&, const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*, bool) override {
    Unsupported();
  }
  void IterateBackward(TqdBaseTransaction*, TqdBaseIndexPath*, PqdRecordBufferPtr, TqdKeyIterator, TqdRecordIterator,
                       void*, const TqdRangeInfo&, const TqdRangeInfo&, TqdBaseFilterEngine*, TqdBaseFilterEngine*,
                       bool) override {
    Unsupported();
  }
  TqdResult RecNoGet(TqdBaseTransaction*, TqdBaseIndexPath*, const TqdRangeInfo&, const TqdRangeInfo&,
                     TqdBaseFilterEngine*, TqdBaseFilterEngine*, uint32_t&, bool) override {
    return NotSupportedError(u"RecNoGet");
  }
  TqdResult RecNoSet(TqdBaseTransaction*, uint32_t, TqdBaseIndexPath*, const TqdRangeInfo&, const TqdRangeInfo&,
                     TqdBaseFilterEngine*, TqdBaseFilterEngine*, bool) override {
    return NotSupportedError(u"RecNoSet");
  }
  TqdResult EstimateRecordCount(TqdBaseTransaction*, const TqdRangeInfo&, const TqdRangeInfo&, uint32_t& aRecordCount,
                                bool) override {
    aRecordCount = uint32_t(fEntries.size());
    return 0;
  }

  // The references in key order.
  std::vector<TqdRefNr> Refs() const {
    std::vector<TqdRefNr> refs;
    for (const Entry& e : fEntries) refs.push_back(e.refNr);
    return refs;
  }

  std::vector<Entry> fEntries;
  // Runs at the start of every InsertKey.
  std::function<void()> fOnInsert;
  int fInsertCalls = 0;
  int fDeleteCalls = 0;
  // Deletes still answered before every further one is refused; -1: none
  // is refused.
  int fDeletesBeforeRefusal = -1;

 private:
  bool Less(const Entry& a, const Entry& b) {
    const int8_t c = KeyEngine()->CompareKey(a.key.data(), b.key.data(), 0, 0);
    return c != 0 ? c < 0 : a.refNr < b.refNr;
  }
  std::vector<Entry>::iterator Find(PqdKeyBuffer aKey, TqdRefNr aRefNr) {
    return std::find_if(fEntries.begin(), fEntries.end(), [&](const Entry& e) {
      return e.refNr == aRefNr && KeyEngine()->CompareKey(e.key.data(), aKey, 0, 0) == 0;
    });
  }
  void AddToKeyCount(TqdBaseTransaction* aTrans, int32_t aDelta) {
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(CreateHeaderAccess(aTrans, true, true, 0, 0));
    header->SetIndexKeyCount(uint32_t(int64_t(header->GetIndexKeyCount()) + aDelta));
    header->SetIndexRoot(fEntries.empty() ? qdIndexRootNone : 1);
  }
  bool Unsupported() { throw EqdBaseIndexEngineException(NotSupportedError(u"walk")); }
};

inline const TqdIndexEngineClass TqdFakeIndexEngine::ClassInfo{
    {u"TqdFakeIndexEngine", &TqdBaseIndexEngine::ClassInfo, nullptr}, &qdNewIndexEngine<TqdFakeIndexEngine>, nullptr};

// Header values in memory, one set per index number.
class TqdFakeIndicesEngine : public TqdBaseIndicesEngine {
 public:
  static const TqdIndicesEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  struct Values {
    uint32_t root = qdIndexRootNone;
    uint32_t pages = 0;
    uint32_t keys = 0;
  };

  TqdFakeIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                       TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans, bool aAddToExisting)
      : TqdBaseIndicesEngine(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting) {
    fValues.resize(size_t(IndexCount()));
  }

  void IndexAdded(TqdBaseTransaction*, int32_t aInx) override {
    fAdded.push_back(aInx);
    if (fFailIndexAdded) throw EqdBaseIndicesEngineException(qdeWriteErr);
    if (fValues.size() < size_t(aInx) + 1) fValues.resize(size_t(aInx) + 1);
    fValues[size_t(aInx)] = Values{};
  }
  void IndexRemoved(TqdBaseTransaction*, int32_t aInx) override {
    fRemoved.push_back(aInx);
    fValues.erase(fValues.begin() + aInx);
  }
  const TqdIndexHeaderAccessClass& GetHeaderAccessClass() const override;

  std::vector<Values> fValues;
  std::vector<int32_t> fAdded;
  bool fFailIndexAdded = false;
  std::vector<int32_t> fRemoved;
};

class TqdFakeIndicesHeaderAccess : public TqdBaseIndexHeaderAccess {
 public:
  static const TqdIndexHeaderAccessClass ClassInfo;
  using TqdBaseIndexHeaderAccess::TqdBaseIndexHeaderAccess;

  uint32_t GetIndexRoot() override { return V().root; }
  void SetIndexRoot(uint32_t aValue) override { V().root = aValue; }
  uint32_t GetIndexPageCount() override { return V().pages; }
  void SetIndexPageCount(uint32_t aValue) override { V().pages = aValue; }
  uint32_t GetIndexKeyCount() override { return V().keys; }
  void SetIndexKeyCount(uint32_t aValue) override { V().keys = aValue; }
  TqdLSN GetIndexLSN() override { return 0; }

 private:
  TqdFakeIndicesEngine::Values& V() {
    return static_cast<TqdFakeIndicesEngine*>(bhaIndex->IndicesEngine())->fValues[size_t(bhaIndex->IndexNumber())];
  }
};

inline const TqdIndexHeaderAccessClass TqdFakeIndicesHeaderAccess::ClassInfo{
    {u"TqdFakeIndicesHeaderAccess", &TqdBaseIndexHeaderAccess::ClassInfo, nullptr},
    &qdNewIndexHeaderAccess<TqdFakeIndicesHeaderAccess>};

inline const TqdIndexHeaderAccessClass& TqdFakeIndicesEngine::GetHeaderAccessClass() const {
  return TqdFakeIndicesHeaderAccess::ClassInfo;
}

inline const TqdIndicesEngineClass TqdFakeIndicesEngine::ClassInfo{
    {u"TqdFakeIndicesEngine", &TqdBaseIndicesEngine::ClassInfo, nullptr},
    &qdNewIndicesEngine<TqdFakeIndicesEngine>,
    nullptr};

// Both fakes registered as "TestMemory" for the scope.
class TqdFakeIndexRegistration {
 public:
  TqdFakeIndexRegistration() {
    TqdBaseSubEngine::Register(TqdFakeIndexEngine::ClassInfo, u"TestMemory");
    TqdBaseSubEngine::Register(TqdFakeIndicesEngine::ClassInfo, u"TestMemory");
  }
  ~TqdFakeIndexRegistration() {
    TqdBaseSubEngine::Unregister(TqdFakeIndicesEngine::ClassInfo);
    TqdBaseSubEngine::Unregister(TqdFakeIndexEngine::ClassInfo);
  }
  TqdFakeIndexRegistration(const TqdFakeIndexRegistration&) = delete;
  TqdFakeIndexRegistration& operator=(const TqdFakeIndexRegistration&) = delete;
};

}  // namespace qd::test
