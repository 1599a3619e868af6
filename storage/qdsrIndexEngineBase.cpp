#include "storage/qdsrIndexEngineBase.h"

#include <cstring>
#include <memory>

#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "foundation/qdllUtils.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdSysUtils.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd {

namespace {

constexpr char kUnit[] = "qdsrIndexEngineBase";

TqdClassRegistry* gIndicesEngines = nullptr;
TqdClassRegistry** indicesEngines() { return &gIndicesEngines; }
TqdClassRegistry* gIndexEngines = nullptr;
TqdClassRegistry** indexEngines() { return &gIndexEngines; }

void markCorrupted(TqdBaseTransaction* aTrans) {
  if (aTrans != nullptr) aTrans->MarkCorrupted();
}

const char16_t* operationName(TqdKeyErrorType aErrorType) {
  switch (aErrorType) {
    case etInsert:
      return u"Insert";
    case etDelete:
      return u"Delete";
    case etModifyDelete:
      return u"Modify/Delete";
    case etModifyInsert:
      return u"Modify/Insert";
    case etBulkCreate:
      return u"BulkCreate";
  }
  return u"";
}

const char16_t* positionName(TqdIndexPathPosition aPosition) {
  switch (aPosition) {
    case ippUnknown:
      return u"ippUnknown";
    case ippBof:
      return u"ippBof";
    case ippOnCrackBefore:
      return u"ippOnCrackBefore";
    case ippOnCrackAfter:
      return u"ippOnCrackAfter";
    case ippOnKey:
      return u"ippOnKey";
    case ippEof:
      return u"ippEof";
  }
  return u"";
}

TqdBaseBulkBuilder* newBulkBuilderHub(TqdBaseTransaction* aTrans, const TqdIndexEngines& aIndexEngines) {
  return new TqdBulkBuilderHub(aTrans, aIndexEngines);
}

}  // namespace

// --- The indices engine ----------------------------------------------------------------------

const TqdIndicesEngineClass TqdBaseIndicesEngine::ClassInfo{
    {u"TqdBaseIndicesEngine", &TqdBaseSubEngine::ClassInfo, &indicesEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseIndicesEngine::Family{&TqdBaseIndicesEngine::ClassInfo,
                                                      &TqdBaseIndicesEngine::CheckValidDictionary};

TqdBaseIndicesEngine::TqdBaseIndicesEngine(TqdBaseIndicesDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                           TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* /*aTrans*/,
                                           bool /*aAddToExisting*/)
    : TqdBaseSubEngine(aDescriptor->ID(), qdTableVersionOf(aFiles)),
      biseDescriptor(aDescriptor),
      biseFiles(aFiles),
      biseRecordEngine(aRecordEngine) {
  const TqdBaseTableDescriptor* table = aDescriptor->FindParentOfType<TqdBaseTableDescriptor>();
  biseIsCache = table != nullptr && table->CachingState() == tcsIsCache;
  int32_t field = -1;
  if (biseIsCache && table->FieldsDescriptor() != nullptr && table->FieldsDescriptor()->HasRefNrField(field))
    biseRefNrOffset = table->FieldsDescriptor()->FieldDescriptor(field)->Offset();
  try {
    for (int32_t i = 0; i < aDescriptor->IndexCount(); ++i) AddIndexEngine(aDescriptor->IndexDescriptor(i));
    AllocKeys();
  } catch (...) {
    FreeKeys();
    for (auto it = biseIndices.rbegin(); it != biseIndices.rend(); ++it) delete *it;
    biseIndices.clear();
    throw;
  }
}

TqdBaseIndicesEngine::~TqdBaseIndicesEngine() {
  FreeKeys();
  for (auto it = biseIndices.rbegin(); it != biseIndices.rend(); ++it) delete *it;
  biseIndices.clear();
}

const TqdIndicesEngineClass* TqdBaseIndicesEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdIndicesEngineClass>(ClassInfo, aName);
}

TqdBaseIndicesEngine* TqdBaseIndicesEngine::CreateEngine(TqdBaseIndicesDescriptor* aDescriptor,
                                                         const TqdBlockAccessList& aFiles,
                                                         TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdIndicesEngineClass* engineClass = FindEngineClass(aDescriptor->IndicesEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseIndicesEngineException>(u"indices", aDescriptor->IndicesEngine());
  return engineClass->Create(aDescriptor, aFiles, aRecordEngine, aTrans, aAddToExisting);
}

TqdBaseIndicesEngine* TqdBaseIndicesEngine::CreateEngine(TqdBaseIndicesDescriptor* aDescriptor,
                                                         const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  return CreateEngine(aDescriptor, aFiles, nullptr, aTrans, aAddToExisting);
}

TqdBaseIndicesEngine* TqdBaseIndicesEngine::CreateEngine(TqdBaseTableDescriptor* aTableDescriptor,
                                                         const TqdBlockAccessList& aFiles,
                                                         TqdBaseRecordEngine* aRecordEngine, TqdBaseTransaction* aTrans,
                                                         bool aAddToExisting) {
  return CreateEngine(aTableDescriptor->IndicesDescriptor(), aFiles, aRecordEngine, aTrans, aAddToExisting);
}

void TqdBaseIndicesEngine::CheckValidDescriptor(TqdBaseIndicesDescriptor* aDescriptor) {
  for (int32_t i = 0; i < aDescriptor->IndexCount(); ++i)
    TqdBaseIndexEngine::CheckValidBaseFromDescriptor(aDescriptor->IndexDescriptor(i));
}

void TqdBaseIndicesEngine::CheckValidBaseFromDescriptor(TqdBaseIndicesDescriptor* aDescriptor) {
  const TqdIndicesEngineClass* engineClass = FindEngineClass(aDescriptor->IndicesEngine());
  if (engineClass == nullptr)
    qdRaiseUnknownEngine<EqdBaseIndicesEngineException>(u"indices", aDescriptor->IndicesEngine());
  if (engineClass->CheckValidDescriptor != nullptr)
    engineClass->CheckValidDescriptor(aDescriptor);
  else
    CheckValidDescriptor(aDescriptor);
}

void TqdBaseIndicesEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  if (aTableDescriptor->IndicesDescriptor() != nullptr)
    CheckValidBaseFromDescriptor(aTableDescriptor->IndicesDescriptor());
}

void TqdBaseIndicesEngine::IndexAdded(TqdBaseTransaction* /*aTrans*/, int32_t /*aInx*/) {}

void TqdBaseIndicesEngine::IndexRemoved(TqdBaseTransaction* /*aTrans*/, int32_t /*aInx*/) {}

const TqdBulkBuilderHubClass& TqdBaseIndicesEngine::GetBulkBuilderHubClass() const {
  return TqdBulkBuilderHub::ClassInfo;
}

TqdBaseBulkBuilder* TqdBaseIndicesEngine::CreateBulkBuilder(TqdBaseTransaction* aTrans) {
  if (biseIndices.empty()) return nullptr;
  if (biseIndices.size() == 1) return biseIndices[0]->CreateBulkBuilder(aTrans);
  return GetBulkBuilderHubClass().Create(aTrans, biseIndices);
}

void TqdBaseIndicesEngine::AddIndexEngine(TqdIndexDescriptor* aIndexDescriptor) {
  if (aIndexDescriptor->Number() != IndexCount()) qdAssertFailed(kUnit, "index number out of order");
  TqdBaseKeyEngine* keyEngine = TqdBaseKeyEngine::CreateFor(aIndexDescriptor->KeyDescriptor());
  TqdBaseIndexEngine* engine = TqdBaseIndexEngine::CreateEngine(this, keyEngine, aIndexDescriptor);
  biseNLSVersionChanged = biseNLSVersionChanged || engine->NLSVersionChanged();
  if (qdSameClassName(engine->IndexName(), TqdIndexDescriptor::kSequentialAccessIndex)) biseSeqIndexEngine = engine;
  biseIndices.push_back(engine);
}

void TqdBaseIndicesEngine::AllocKeys() {
  if (biseKeysAllocated) return;
  const size_t n = biseIndices.size();
  biseNewKeys.assign(n, nullptr);
  biseOldKeys.assign(n, nullptr);
  biseNewKeysValid.assign(n, false);
  biseOldKeysValid.assign(n, false);
  biseComp.assign(n, 0);
  biseKeysAllocated = true;
  for (size_t i = 0; i < n; ++i) {
    biseNewKeys[i] = biseIndices[i]->KeyEngine()->AllocKey();
    biseOldKeys[i] = biseIndices[i]->KeyEngine()->AllocKey();
  }
}

void TqdBaseIndicesEngine::FreeKeys() {
  if (!biseKeysAllocated) return;
  for (size_t i = 0; i < biseNewKeys.size() && i < biseIndices.size(); ++i) {
    if (biseNewKeys[i] != nullptr) biseIndices[i]->KeyEngine()->FreeKey(biseNewKeys[i]);
    if (biseOldKeys[i] != nullptr) biseIndices[i]->KeyEngine()->FreeKey(biseOldKeys[i]);
  }
  biseNewKeys.clear();
  biseOldKeys.clear();
  biseNewKeysValid.clear();
  biseOldKeysValid.clear();
  biseComp.clear();
  biseKeysAllocated = false;
}

void TqdBaseIndicesEngine::AddIndex(TqdBaseTransaction* aTrans, int32_t aIndex) {
  if (biseDescriptor->IndexCount() != aIndex + 1 || aIndex != IndexCount())
    throw EqdBaseIndicesEngineException(qdeBadIndexNum, u"Index number passed to routine is out of range [%d]",
                                        {aIndex});
  FreeKeys();
  try {
    AddIndexEngine(biseDescriptor->IndexDescriptor(aIndex));
    try {
      IndexAdded(aTrans, aIndex);
    } catch (...) {
      // An engine whose index has no stored place must not stay.
      TqdBaseIndexEngine* engine = biseIndices.back();
      biseIndices.pop_back();
      if (biseSeqIndexEngine == engine) biseSeqIndexEngine = nullptr;
      delete engine;
      throw;
    }
  } catch (...) {
    AllocKeys();
    throw;
  }
  AllocKeys();
}

void TqdBaseIndicesEngine::RemoveIndex(TqdBaseTransaction* aTrans, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= IndexCount() || biseDescriptor->IndexCount() != IndexCount() - 1)
    throw EqdBaseIndicesEngineException(qdeBadIndexNum, u"Index number passed to routine is out of range [%d]",
                                        {aIndex});
  TqdBaseIndexEngine* engine = biseIndices[size_t(aIndex)];
  engine->DeleteAllKeys(aTrans);
  IndexRemoved(aTrans, aIndex);
  FreeKeys();
  if (biseSeqIndexEngine == engine) biseSeqIndexEngine = nullptr;
  biseIndices.erase(biseIndices.begin() + aIndex);
  delete engine;
  for (size_t i = size_t(aIndex); i < biseIndices.size(); ++i) {
    TqdBaseIndexEngine* later = biseIndices[i];
    later->SetIndexNumber(later->IndexNumber() - 1);
    if (later->IndexNumber() != later->BookmarkHandler()->IndexID())
      qdAssertFailed(kUnit, "bookmark handler not renumbered");
  }
  AllocKeys();
}

TqdRefNr TqdBaseIndicesEngine::CacheRefNrOf(const uint8_t* aRecord) const {
  if (biseRefNrOffset < 0 || aRecord == nullptr) return 0;
  return qdGetI64(aRecord + biseRefNrOffset);
}

void TqdBaseIndicesEngine::SetCurrent(TqdRefNr aRefNr, TqdRefNr aCacheRefNr, PqdKeyBuffer aKey) {
  biseCurrentRefNr = aRefNr;
  biseCurrentCacheRefNr = aCacheRefNr;
  biseCurrentKey = aKey;
}

void TqdBaseIndicesEngine::ResetCurrent() {
  biseCurrentRefNr = qdNoCurrentRefNr;
  biseCurrentCacheRefNr = qdNoCurrentRefNr;
  biseCurrentKey = nullptr;
  biseCurrentTrans = nullptr;
}

namespace {

// Resets the Current values however the key operation ends (a plain
// template, so that a record change allocates nothing).
template <class F>
class TqdCurrentReset {
 public:
  explicit TqdCurrentReset(F aReset) : crReset(aReset) {}
  ~TqdCurrentReset() { crReset(); }
  TqdCurrentReset(const TqdCurrentReset&) = delete;
  TqdCurrentReset& operator=(const TqdCurrentReset&) = delete;

 private:
  F crReset;
};

}  // namespace

TqdResult TqdBaseIndicesEngine::InsertKeys(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecord,
                                           TqdBaseIndexPath* aPath) {
  biseCurrentTrans = aTrans;
  TqdCurrentReset reset([this] { ResetCurrent(); });
  const TqdRefNr cacheRefNr = CacheRefNrOf(aRecord);
  const int32_t count = IndexCount();
  for (int32_t i = 0; i < count; ++i) {
    TqdBaseIndexEngine* index = biseIndices[size_t(i)];
    PqdKeyBuffer key = biseNewKeys[size_t(i)];
    TqdResult r = index->KeyEngine()->BuildKey(aRecord, key, aRefNr, false);
    biseNewKeysValid[size_t(i)] = r == 0;
    if (r == 0) {
      SetCurrent(aRefNr, cacheRefNr, key);
      if (!index->InsertKey(aTrans, key, aRefNr, cacheRefNr, aPath)) r = index->GetKeyError(etInsert, key, aRefNr);
    } else if (r == qdeKeyFiltered) {
      r = 0;
    }
    if (r != 0) {
      biseNewKeysValid[size_t(i)] = false;
      for (int32_t j = i - 1; j >= 0; --j) {
        if (!biseNewKeysValid[size_t(j)]) continue;
        TqdBaseIndexEngine* earlier = biseIndices[size_t(j)];
        SetCurrent(aRefNr, cacheRefNr, biseNewKeys[size_t(j)]);
        if (!earlier->DeleteKey(aTrans, biseNewKeys[size_t(j)], aRefNr, cacheRefNr, aPath)) {
          markCorrupted(aTrans);
          break;
        }
      }
      return r;
    }
  }
  return 0;
}

TqdResult TqdBaseIndicesEngine::DeleteKeys(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecord,
                                           TqdBaseIndexPath* aPath) {
  biseCurrentTrans = aTrans;
  TqdCurrentReset reset([this] { ResetCurrent(); });
  const TqdRefNr cacheRefNr = CacheRefNrOf(aRecord);
  const int32_t count = IndexCount();
  for (int32_t i = 0; i < count; ++i) {
    TqdBaseIndexEngine* index = biseIndices[size_t(i)];
    PqdKeyBuffer key = biseOldKeys[size_t(i)];
    TqdResult r = index->KeyEngine()->BuildKey(aRecord, key, aRefNr, false);
    if (r == 0) {
      SetCurrent(aRefNr, cacheRefNr, key);
      if (!index->DeleteKey(aTrans, key, aRefNr, cacheRefNr, aPath)) r = index->GetKeyError(etDelete, key, aRefNr);
    } else if (r == qdeKeyFiltered) {
      r = 0;
    }
    if (r != 0) {
      markCorrupted(aTrans);
      return r;
    }
  }
  return 0;
}

TqdResult TqdBaseIndicesEngine::UpdateKeys(TqdBaseTransaction* aTrans, TqdRefNr aOldRefNr, PqdRecordBuffer aOldRecord,
                                           TqdRefNr aNewRefNr, PqdRecordBuffer aNewRecord, TqdBaseIndexPath* aPath) {
  biseCurrentTrans = aTrans;
  TqdCurrentReset reset([this] { ResetCurrent(); });
  const TqdRefNr oldCacheRefNr = CacheRefNrOf(aOldRecord);
  const TqdRefNr newCacheRefNr = CacheRefNrOf(aNewRecord);

  // Puts indexes 0 .. aUpTo back as they were before the call; the entry of
  // index aUpTo itself was deleted but its new key not inserted when
  // aNewInserted is false. A step that fails leaves the indexes
  // inconsistent with the record, so the transaction must not commit.
  auto undo = [&](int32_t aUpTo, bool aNewInserted) {
    for (int32_t j = aUpTo; j >= 0; --j) {
      const auto s = size_t(j);
      if (biseComp[s] == 0) continue;
      TqdBaseIndexEngine* index = biseIndices[s];
      if ((j != aUpTo || aNewInserted) && biseNewKeysValid[s]) {
        SetCurrent(aNewRefNr, newCacheRefNr, biseNewKeys[s]);
        if (!index->DeleteKey(aTrans, biseNewKeys[s], aNewRefNr, newCacheRefNr, aPath)) {
          markCorrupted(aTrans);
          return;
        }
      }
      if (biseOldKeysValid[s]) {
        SetCurrent(aOldRefNr, oldCacheRefNr, biseOldKeys[s]);
        if (!index->InsertKey(aTrans, biseOldKeys[s], aOldRefNr, oldCacheRefNr, aPath)) {
          markCorrupted(aTrans);
          return;
        }
      }
    }
  };

  const int32_t count = IndexCount();
  for (int32_t i = 0; i < count; ++i) {
    const auto s = size_t(i);
    TqdBaseIndexEngine* index = biseIndices[s];
    TqdBaseKeyEngine* keyEngine = index->KeyEngine();
    biseComp[s] = 0;
    TqdResult r = keyEngine->BuildKey(aOldRecord, biseOldKeys[s], aOldRefNr, false);
    biseOldKeysValid[s] = r == 0;
    if (r == 0 || r == qdeKeyFiltered) r = keyEngine->BuildKey(aNewRecord, biseNewKeys[s], aNewRefNr, false);
    if (r != 0 && r != qdeKeyFiltered) {
      // Earlier indexes already hold the new record's keys: put the old
      // ones back so that the indexes keep matching the stored record.
      biseNewKeysValid[s] = false;
      undo(i - 1, true);
      return r;
    }
    biseNewKeysValid[s] = r == 0;
    const bool oldValid = biseOldKeysValid[s];
    const bool newValid = biseNewKeysValid[s];
    if (oldValid != newValid)
      biseComp[s] = 1;
    else if (oldValid)
      biseComp[s] = keyEngine->CompareKey(biseOldKeys[s], biseNewKeys[s], 0, 0);
    if (biseComp[s] == 0) biseComp[s] = aNewRefNr < aOldRefNr ? -1 : (aNewRefNr > aOldRefNr ? 1 : 0);
    if (biseComp[s] == 0) continue;
    if (oldValid) {
      SetCurrent(aOldRefNr, oldCacheRefNr, biseOldKeys[s]);
      if (!index->DeleteKey(aTrans, biseOldKeys[s], aOldRefNr, oldCacheRefNr, aPath)) {
        const TqdResult e = index->GetKeyError(etModifyDelete, biseOldKeys[s], aOldRefNr);
        markCorrupted(aTrans);
        return e;
      }
    }
    if (newValid) {
      SetCurrent(aNewRefNr, newCacheRefNr, biseNewKeys[s]);
      if (!index->InsertKey(aTrans, biseNewKeys[s], aNewRefNr, newCacheRefNr, aPath)) {
        const TqdResult e = index->GetKeyError(etModifyInsert, biseNewKeys[s], aNewRefNr);
        undo(i, false);
        return e;
      }
    }
  }
  return 0;
}

void TqdBaseIndicesEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseSubEngine::DescribeTo(aContainer);
  aContainer->AddInt64(u"IndexCount", IndexCount());
  aContainer->AddBoolean(u"IsCache", biseIsCache);
}

// --- The index engine ------------------------------------------------------------------------

const TqdIndexEngineClass TqdBaseIndexEngine::ClassInfo{
    {u"TqdBaseIndexEngine", &TqdBaseSubEngine::ClassInfo, &indexEngines}, nullptr, nullptr};

TqdBaseIndexEngine::TqdBaseIndexEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdIndexDescriptor* aIndexDescriptor,
                                       TqdBaseKeyEngine* aKeyEngine)
    : TqdBaseSubEngine(aIndexDescriptor->ID(), aIndicesEngine->TableVersion()),
      bieIndicesEngine(aIndicesEngine),
      bieKeyEngine(aKeyEngine) {
  try {
    bieIndexFile = qdFileOf(aIndicesEngine->Files(), aIndexDescriptor->FileNumber());
    bieIndexNumber = aIndexDescriptor->Number();
    bieIndexName = aIndexDescriptor->Name();
    bieDups = aIndexDescriptor->Dups() != idNone;
    bieDupsNullOnly = aIndexDescriptor->Dups() == idNull;
    TqdBaseKeyDescriptor* keyDescriptor = aIndexDescriptor->KeyDescriptor();
    if (aIndexDescriptor->Dups() == idNull && keyDescriptor != nullptr && !keyDescriptor->CanContainNulls()) {
      bieDups = false;
      bieDupsNullOnly = false;
    }
    bieKeysAreRefs = dynamic_cast<TqdRefKeyDescriptor*>(keyDescriptor) != nullptr;
    bieBookmarkHandler = new TqdBookmarkHandler(bieIndexNumber, bieKeyEngine);
    bieMaxFieldCount = bieKeyEngine->MaxFieldCount();
    bieRefNrOffset = aIndicesEngine->RefNrOffset();
  } catch (...) {
    delete bieBookmarkHandler;
    delete bieKeyEngine;
    throw;
  }
}

TqdBaseIndexEngine::~TqdBaseIndexEngine() {
  delete bieBookmarkHandler;
  delete bieKeyEngine;
}

const TqdIndexEngineClass* TqdBaseIndexEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdIndexEngineClass>(ClassInfo, aName);
}

TqdBaseIndexEngine* TqdBaseIndexEngine::CreateEngine(TqdBaseIndicesEngine* aIndicesEngine, TqdBaseKeyEngine* aKeyEngine,
                                                     TqdIndexDescriptor* aIndexDescriptor) {
  const TqdIndexEngineClass* engineClass = FindEngineClass(aIndexDescriptor->IndexEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr) {
    delete aKeyEngine;
    qdRaiseUnknownEngine<EqdBaseIndexEngineException>(u"index", aIndexDescriptor->IndexEngine());
  }
  return engineClass->Create(aIndicesEngine, aIndexDescriptor, aKeyEngine);
}

void TqdBaseIndexEngine::CheckValidDescriptor(TqdIndexDescriptor* aDescriptor) {
  if (aDescriptor->DirectParent() != nullptr)
    TqdBaseKeyEngine::CheckValidBaseFromDescriptor(aDescriptor->KeyDescriptor());
}

void TqdBaseIndexEngine::CheckValidBaseFromDescriptor(TqdIndexDescriptor* aDescriptor) {
  const TqdIndexEngineClass* engineClass = FindEngineClass(aDescriptor->IndexEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdBaseIndexEngineException>(u"index", aDescriptor->IndexEngine());
  if (engineClass->CheckValidDescriptor != nullptr)
    engineClass->CheckValidDescriptor(aDescriptor);
  else
    CheckValidDescriptor(aDescriptor);
}

const TqdIndexBulkBuilderClass& TqdBaseIndexEngine::GetBulkBuilderClass() const {
  return TqdDefaultIndexBulkBuilder::ClassInfo;
}

TqdBaseIndexHeaderAccess* TqdBaseIndexEngine::CreateHeaderAccess(TqdBaseTransaction* aTrans, bool aFileMarkDirty,
                                                                 bool aIndexMarkDirty, int32_t aFieldCount,
                                                                 int32_t aPartialLen) {
  return bieIndicesEngine->GetHeaderAccessClass().Create(aTrans, this, aFileMarkDirty, aIndexMarkDirty, aFieldCount,
                                                         aPartialLen);
}

TqdBaseIndexPath* TqdBaseIndexEngine::CreateIndexPath() { return GetIndexPathClass().Create(this); }

TqdBaseBulkBuilder* TqdBaseIndexEngine::CreateBulkBuilder(TqdBaseTransaction* aTrans) {
  return GetBulkBuilderClass().Create(aTrans, this);
}

TqdResult TqdBaseIndexEngine::GetKeyError(TqdKeyErrorType aErrorType, PqdKeyBuffer aKey, TqdRefNr aRefNr) {
  const qdString operation = operationName(aErrorType);
  const qdString fileName = bieIndexFile != nullptr ? bieIndexFile->fiName() : qdString();
  const qdString keyText = bieKeyEngine->KeyAsString(aKey);
  const qdString refNr = qdInt64ToStr(aRefNr);
  const qdString crlf = u"\r\n";
  qdString text = qdOriginalMessageMarker();
  text += crlf + u"Operation: " + operation + qdEncodeCustomInfo(u"Operation", operation);
  text += crlf + u"File: \"" + fileName + u"\"" + qdEncodeCustomInfo(u"File", fileName);
  text += crlf + u"Index: \"" + bieIndexName + u"\"" + qdEncodeCustomInfo(u"Index", bieIndexName);
  text += crlf + u"Key: " + keyText + qdEncodeCustomInfo(u"Key", keyText);
  text += crlf + u"RefNr: " + refNr + qdEncodeCustomInfo(u"RefNr", refNr);
  return EqdBaseException::qdSetMessage(qdeKeyViol, text);
}

int64_t TqdBaseIndexEngine::SeqAccessLookup(TqdBaseTransaction* /*aTrans*/, TqdRefNr /*aCacheRefNr*/,
                                            TqdBaseIndexPath* /*aPath*/) {
  return 0;
}

bool TqdBaseIndexEngine::NLSVersionChanged() const { return bieKeyEngine->NLSVersionChanged(); }

void TqdBaseIndexEngine::SetIndexNumber(int32_t aNumber) {
  bieIndexNumber = aNumber;
  bieBookmarkHandler->SetIndexID(aNumber);
}

void TqdBaseIndexEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseSubEngine::DescribeTo(aContainer);
  aContainer->AddInt64(u"IndexNumber", bieIndexNumber);
  aContainer->AddString(u"IndexName", bieIndexName);
  aContainer->AddBoolean(u"Dups", bieDups);
  aContainer->AddBoolean(u"DupsNullOnly", bieDupsNullOnly);
  aContainer->AddBoolean(u"KeysAreRefs", bieKeysAreRefs);
  aContainer->AddObject(u"KeyEngine", bieKeyEngine);
}

// --- The index path --------------------------------------------------------------------------

const TqdIndexPathClass TqdBaseIndexPath::ClassInfo{{u"TqdBaseIndexPath", &TqdPersistent::ClassInfo, nullptr},
                                                    &qdNewIndexPath<TqdBaseIndexPath>};

TqdBaseIndexPath::TqdBaseIndexPath(TqdBaseIndexEngine* aIndexEngine) : bipIndexEngine(aIndexEngine) {
  if (aIndexEngine != nullptr) {
    Key = aIndexEngine->KeyEngine()->AllocKey();
    bipBookmarkHandler = aIndexEngine->BookmarkHandler();
  } else {
    bipBookmarkHandler = qdNoIndexBookmarkHandler();
  }
}

TqdBaseIndexPath::~TqdBaseIndexPath() {
  if (bipIndexEngine != nullptr && Key != nullptr) bipIndexEngine->KeyEngine()->FreeKey(Key);
}

TqdBaseIndexPath* TqdBaseIndexPath::CreateStandalone() { return new TqdBaseIndexPath(nullptr); }

TqdBaseIndexPath* TqdBaseIndexPath::Duplicate() {
  // Every path class carries a TqdIndexPathClass record.
  const auto& pathClass = static_cast<const TqdIndexPathClass&>(ClassType());
  TqdBaseIndexPath* copy = pathClass.Create(bipIndexEngine);
  try {
    copy->Assign(this);
  } catch (...) {
    delete copy;
    throw;
  }
  return copy;
}

void TqdBaseIndexPath::Assign(const TqdBaseIndexPath* aSource) {
  if (aSource == this) return;
  if (aSource == nullptr || aSource->bipIndexEngine != bipIndexEngine)
    throw EConvertError(Format(u"Cannot assign a %s to a %s",
                               {aSource != nullptr ? aSource->ClassName() : qdString(u"nil"), ClassName()}));
  Clear();
  RefNr = aSource->RefNr;
  CacheRefNr = aSource->CacheRefNr;
  Position = aSource->Position;
  KeyValid = aSource->KeyValid;
  if (KeyValid && bipIndexEngine != nullptr) bipIndexEngine->KeyEngine()->CopyKey(aSource->Key, Key);
  Deleted = aSource->Deleted;
}

void TqdBaseIndexPath::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdPersistent::DescribeTo(aContainer);
  aContainer->AddObject(u"IndexEngine", bipIndexEngine);
  aContainer->AddInt64(u"RefNr", RefNr);
  aContainer->AddInt64(u"CacheRefNr", CacheRefNr);
  aContainer->AddBoolean(u"KeyValid", KeyValid);
  if (KeyValid && bipIndexEngine != nullptr) {
    TqdRef<IqdExceptionDataContainer> key = aContainer->AddContainer(u"Key");
    bipIndexEngine->KeyEngine()->KeyAsExceptionData(Key, key.Get());
  }
  aContainer->AddString(u"Position", positionName(Position));
  aContainer->AddBoolean(u"Deleted", Deleted);
}

void TqdBaseIndexPath::Clear() {
  RefNr = 0;
  CacheRefNr = 0;
  KeyValid = false;
  Position = ippUnknown;
  Deleted = false;
}

void TqdBaseIndexPath::SetToEof() {
  Clear();
  Position = ippEof;
}

void TqdBaseIndexPath::SetToBof() {
  Clear();
  Position = ippBof;
}

void TqdBaseIndexPath::SetToCrackBefore() {
  if (Position != ippOnCrackBefore && Position != ippOnCrackAfter && Position != ippOnKey) return;
  Position = ippOnCrackBefore;
  Deleted = false;
}

void TqdBaseIndexPath::SetToCrackAfter() {
  if (Position != ippOnCrackBefore && Position != ippOnCrackAfter && Position != ippOnKey) return;
  Position = ippOnCrackAfter;
  Deleted = false;
}

void TqdBaseIndexPath::SetToDeleted() {
  if (Position != ippOnKey) return;
  Position = ippOnCrackBefore;
  Deleted = true;
}

TqdResult TqdBaseIndexPath::SetToRecord(PqdRecordBuffer aRecord, TqdRefNr aRefNr) {
  Clear();
  TqdResult r = qdeInvalidParam;
  if (bipIndexEngine != nullptr) {
    r = bipIndexEngine->KeyEngine()->BuildKey(aRecord, Key, aRefNr, true);
    KeyValid = r == 0;
  }
  if (r == qdeInvalidParam) r = 0;
  if (r != 0) {
    Clear();
    return r;
  }
  if (aRecord != nullptr && bipIndexEngine != nullptr && bipIndexEngine->RefNrOffset() >= 0)
    CacheRefNr = qdGetI64(aRecord + bipIndexEngine->RefNrOffset());
  RefNr = aRefNr;
  Position = ippOnKey;
  return 0;
}

bool TqdBaseIndexPath::IsOnKey() const { return Position == ippOnKey; }

bool TqdBaseIndexPath::IsOnCrack() const { return Position == ippOnCrackBefore || Position == ippOnCrackAfter; }

bool TqdBaseIndexPath::IsEof() const { return Position == ippEof; }

bool TqdBaseIndexPath::IsBof() const { return Position == ippBof; }

bool TqdBaseIndexPath::IsDeleted() const { return Deleted; }

TqdResult TqdBaseIndexPath::CheckCurrentState() const {
  if (Deleted) return qdeKeyOrRecDeleted;
  switch (Position) {
    case ippBof:
      return qdeBOF;
    case ippOnKey:
      return 0;
    case ippEof:
      return qdeEOF;
    default:
      return qdeNoCurrentRec;
  }
}

TqdResult TqdBaseIndexPath::GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache) {
  const uint32_t keyLength = bipIndexEngine != nullptr ? bipIndexEngine->KeyEngine()->KeyLength() : 0;
  if (aBookmark == nullptr || aSize < keyLength + kBookmarkHeaderSize) return qdeInvalidParam;
  qdPutI32(aBookmark + kBookmarkOffIndex, bipIndexEngine != nullptr ? bipIndexEngine->IndexNumber() : -1);
  aBookmark[kBookmarkOffPosition] = uint8_t(Position);
  aBookmark[kBookmarkOffKeyValid] = KeyValid ? 1 : 0;
  aBookmark[kBookmarkOffDeleted] = Deleted ? 1 : 0;
  aBookmark[11] = 0;
  qdPutI64(aBookmark + kBookmarkOffRefNr, aIsCache ? CacheRefNr : RefNr);
  qdPutI32(aBookmark + kBookmarkOffKeyLength, int32_t(keyLength));
  if (bipIndexEngine != nullptr) {
    uint8_t* key = aBookmark + kBookmarkHeaderSize;
    if (KeyValid)
      std::memcpy(key, Key, keyLength);
    else
      bipIndexEngine->KeyEngine()->ClearKey(key);
  }
  qdPutI32(aBookmark + kBookmarkOffCheck,
           int32_t(qdElfHash(aBookmark + kBookmarkCheckedStart,
                             int32_t(kBookmarkHeaderSize - kBookmarkCheckedStart + keyLength))));
  return 0;
}

TqdResult TqdBaseIndexPath::CheckBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize) {
  return bipBookmarkHandler->CheckBookmark(aBookmark, aSize);
}

TqdResult TqdBaseIndexPath::CompareBookmarks(PqdBookmarkBuffer aBookmark1, PqdBookmarkBuffer aBookmark2, uint32_t aSize,
                                             int32_t& aCompResult) {
  return bipBookmarkHandler->CompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult);
}

TqdResult TqdBaseIndexPath::SetToBookmark(PqdBookmarkBuffer aBookmark, uint32_t aSize, bool aIsCache) {
  const TqdResult r = CheckBookmark(aBookmark, aSize);
  if (r != 0) return r;
  const auto position = TqdIndexPathPosition(aBookmark[kBookmarkOffPosition]);
  const bool keyValid = aBookmark[kBookmarkOffKeyValid] != 0;
  const bool deleted = aBookmark[kBookmarkOffDeleted] != 0;
  const TqdRefNr refNr = qdGetI64(aBookmark + kBookmarkOffRefNr);
  const uint8_t* key = aBookmark + kBookmarkHeaderSize;
  if (bipIndexEngine != nullptr && Position == position && (aIsCache ? CacheRefNr : RefNr) == refNr &&
      Deleted == deleted) {
    TqdBaseKeyEngine* keyEngine = bipIndexEngine->KeyEngine();
    if (!KeyValid) {
      if (keyValid) {
        std::memcpy(Key, key, keyEngine->KeyLength());
        KeyValid = true;
      }
      return 0;
    }
    if (!keyValid || keyEngine->CompareKey(Key, key, 0, 0) == 0) return 0;
  }
  Clear();
  Position = position;
  if (aIsCache)
    CacheRefNr = refNr;
  else
    RefNr = refNr;
  Deleted = deleted;
  KeyValid = keyValid;
  if (bipIndexEngine != nullptr) {
    if (keyValid)
      std::memcpy(Key, key, bipIndexEngine->KeyEngine()->KeyLength());
    else
      bipIndexEngine->KeyEngine()->ClearKey(Key);
  }
  return 0;
}

TqdResult TqdBaseIndexPath::BookmarkAsVariant(PqdBookmarkBuffer aBookmark, uint32_t aSize, TqdVariant& aVariant) {
  aVariant = TqdVariant();
  return bipBookmarkHandler->BookmarkAsVariant(aBookmark, aSize, aVariant);
}

// --- The index header access -----------------------------------------------------------------

const TqdIndexHeaderAccessClass TqdBaseIndexHeaderAccess::ClassInfo{{u"TqdBaseIndexHeaderAccess", nullptr, nullptr},
                                                                    nullptr};

TqdBaseIndexHeaderAccess::TqdBaseIndexHeaderAccess(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndex,
                                                   bool aFileMarkDirty, bool aIndexMarkDirty, int32_t aFieldCount,
                                                   int32_t aPartialLen)
    : bhaTrans(aTrans),
      bhaFileMarkDirty(aFileMarkDirty),
      bhaIndexMarkDirty(aIndexMarkDirty),
      bhaID(aIndex->IndicesEngine()->ID()),
      bhaIndex(aIndex),
      bhaFieldCount(aFieldCount),
      bhaPartialLen(aPartialLen) {}

TqdBaseIndexHeaderAccess::~TqdBaseIndexHeaderAccess() = default;

TqdBaseFileHeaderAccess* TqdBaseIndexHeaderAccess::FileHeader() {
  if (!bhaFileHeader) bhaFileHeader = bhaIndex->IndexFile()->HeaderAccess(bhaTrans, bhaFileMarkDirty);
  return bhaFileHeader.get();
}

void TqdBaseIndexHeaderAccess::SetCompareDate(int32_t aFieldCount, int32_t aPartialLen) {
  bhaFieldCount = aFieldCount;
  bhaPartialLen = aPartialLen;
}

// --- Bulk builders ---------------------------------------------------------------------------

const TqdBulkBuilderHubClass TqdBulkBuilderHub::ClassInfo{{u"TqdBulkBuilderHub", nullptr, nullptr}, &newBulkBuilderHub};

TqdBulkBuilderHub::TqdBulkBuilderHub(TqdBaseTransaction* aTrans, const TqdIndexEngines& aIndexEngines) {
  try {
    for (TqdBaseIndexEngine* engine : aIndexEngines) bbhBulkBuilders.push_back(engine->CreateBulkBuilder(aTrans));
  } catch (...) {
    for (TqdBaseBulkBuilder* builder : bbhBulkBuilders) delete builder;
    bbhBulkBuilders.clear();
    throw;
  }
}

TqdBulkBuilderHub::~TqdBulkBuilderHub() {
  for (TqdBaseBulkBuilder* builder : bbhBulkBuilders) delete builder;
}

TqdResult TqdBulkBuilderHub::InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) {
  for (TqdBaseBulkBuilder* builder : bbhBulkBuilders) {
    const TqdResult r = builder->InsertKey(aRefNr, aRecord, aTrans);
    if (r != 0) return r;
  }
  return 0;
}

TqdResult TqdBulkBuilderHub::Finalize(TqdBaseTransaction* aTrans) {
  for (TqdBaseBulkBuilder* builder : bbhBulkBuilders) {
    const TqdResult r = builder->Finalize(aTrans);
    if (r != 0) return r;
  }
  return 0;
}

TqdBaseIndexBulkBuilder::TqdBaseIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine)
    : bibbIndexEngine(aIndexEngine),
      bibbKeyEngine(aIndexEngine->KeyEngine()),
      bibbRefNrOffest(aIndexEngine->RefNrOffset()) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> header(aIndexEngine->CreateHeaderAccess(aTrans, false, true, 0, 0));
  if (header->GetIndexRoot() != qdIndexRootNone || header->GetIndexPageCount() != 0 || header->GetIndexKeyCount() != 0)
    throw EqdBaseIndexBulkBuilder(qdeIndexNotEmpty, u"Index is not empty.");
}

const TqdIndexBulkBuilderClass TqdDefaultIndexBulkBuilder::ClassInfo{
    {u"TqdDefaultIndexBulkBuilder", nullptr, nullptr}, &qdNewIndexBulkBuilder<TqdDefaultIndexBulkBuilder>};

TqdDefaultIndexBulkBuilder::TqdDefaultIndexBulkBuilder(TqdBaseTransaction* aTrans, TqdBaseIndexEngine* aIndexEngine)
    : TqdBaseIndexBulkBuilder(aTrans, aIndexEngine) {
  dibbKey = bibbKeyEngine->AllocKey();
}

TqdDefaultIndexBulkBuilder::~TqdDefaultIndexBulkBuilder() {
  if (dibbKey != nullptr) bibbKeyEngine->FreeKey(dibbKey);
}

TqdResult TqdDefaultIndexBulkBuilder::InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord, TqdBaseTransaction* aTrans) {
  TqdResult r = bibbKeyEngine->BuildKey(aRecord, dibbKey, *aRefNr, false);
  if (r == 0) {
    const TqdRefNr cacheRefNr = bibbRefNrOffest >= 0 && aRecord != nullptr ? qdGetI64(aRecord + bibbRefNrOffest) : 0;
    if (!bibbIndexEngine->InsertKey(aTrans, dibbKey, *aRefNr, cacheRefNr, nullptr)) {
      r = bibbIndexEngine->GetKeyError(etInsert, dibbKey, *aRefNr);
      markCorrupted(aTrans);
    }
  } else if (r == qdeKeyFiltered) {
    r = 0;
  }
  return r;
}

TqdResult TqdDefaultIndexBulkBuilder::Finalize(TqdBaseTransaction* /*aTrans*/) { return 0; }

// --- Unit start and end ----------------------------------------------------------------------

void qdsrIndexEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseIndicesEngine::Family); }

void qdsrIndexEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseIndicesEngine::Family);
  qdFreeAndNil(gIndicesEngines);
  qdFreeAndNil(gIndexEngines);
}

}  // namespace qd
