// Cursors: construction and the database's cursor list, record buffers,
// record identity and cache information, BLOB conveniences (marks, batches,
// locked and snapshot reads, replace), field access for filter engines,
// cursor options and the request-close handler.
#include "client/qdsdServerEngine.h"

#include <cstring>

#include "client/qdsdServerEngine_Private.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdLittleEndian.h"

namespace qd {

const TqdClassInfo TqdAbstractCursor::ClassInfo{u"TqdAbstractCursor", &TqdAbstractTimeoutObject::ClassInfo};
const TqdClassInfo TqdAbstractRemoteCursor::ClassInfo{u"TqdAbstractRemoteCursor", &TqdAbstractCursor::ClassInfo};
const TqdClassInfo TqdAbstractServerCursor::ClassInfo{u"TqdAbstractServerCursor", &TqdAbstractCursor::ClassInfo};
const TqdClassInfo TqdSqlAbstractCursor::ClassInfo{u"TqdSqlAbstractCursor", &TqdAbstractServerCursor::ClassInfo};

namespace {

// A read that may follow a BLOB replaced by a newer number: bounded so that
// numbers reported in a circle cannot keep the caller forever.
constexpr int kMaxBlobNumberHops = 64;

int64_t readSpecial(const TqdSpecialFieldsInfo* aSFI, TqdSpecialFieldType aType, const uint8_t* aBuffer) {
  if (aSFI == nullptr || aBuffer == nullptr) return 0;
  const int32_t offset = aSFI->sfiOffsets[aType];
  if (offset < 0) return 0;
  return qdGetI64(aBuffer + offset);
}

// Runs aWork under the session lock with the thread deadline armed from
// aTimeout, converting every exception to its code.
template <class F>
TqdResult lockedCall(TqdAbstractTimeoutObject* aObject, const TqdRef<TqdSimpleLock>& aLock, uint32_t aTimeout,
                     F&& aWork) {
  const bool outermost = qdsdServerEngineDetail::EnterOperation(aTimeout);
  TqdResult result = qdContractCall(aObject, [&]() -> TqdResult {
    if (!aLock) return aWork();
    aLock->Lock();
    TqdResult inner = 0;
    try {
      inner = aWork();
    } catch (...) {
      TqdResult ignored = 0;
      aLock->Unlock(ignored);
      throw;
    }
    aLock->Unlock(inner);
    return inner;
  });
  qdsdServerEngineDetail::LeaveOperation(outermost);
  return result;
}

}  // namespace

// --- Construction ----------------------------------------------------------------

TqdAbstractCursor::TqdAbstractCursor(TqdAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TqdAbstractTimeoutObject(aDatabase, aTimeout), acDatabase(aDatabase) {
  TqdPadlockGuard guard(aDatabase->adCursorsPadlock);
  acDatabasePrev = aDatabase->adCursorsTail;
  acDatabaseNext = nullptr;
  if (aDatabase->adCursorsTail != nullptr) {
    aDatabase->adCursorsTail->acDatabaseNext = this;
  } else {
    aDatabase->adCursorsHead = this;
  }
  aDatabase->adCursorsTail = this;
  acInList = true;
}

TqdAbstractCursor::~TqdAbstractCursor() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdAbstractDatabase* database = acDatabase;
  if (acInList) {
    TqdPadlockGuard guard(database->adCursorsPadlock);
    if (acDatabasePrev != nullptr) {
      acDatabasePrev->acDatabaseNext = acDatabaseNext;
    } else {
      database->adCursorsHead = acDatabaseNext;
    }
    if (acDatabaseNext != nullptr) {
      acDatabaseNext->acDatabasePrev = acDatabasePrev;
    } else {
      database->adCursorsTail = acDatabasePrev;
    }
    acDatabasePrev = nullptr;
    acDatabaseNext = nullptr;
    acInList = false;
    if (database->adCursorsHead == nullptr && !database->Destroying() && database->adCursorAutoFree)
      acStates.Include(acsAutoFreeDatabase);
  }
  qdReleaseCacheableInfo(acCacheableInfo);
  qdReleaseSpecialFieldsInfo(acSFI);
  qdReleaseDiffCompressorInfo(acDCI);
  // The database was opened for this cursor alone. Nothing of the cursor's
  // remaining destruction reaches the database.
  if (acStates.Contains(acsAutoFreeDatabase) && !database->Destroying()) {
    TqdAbstractServerObject* owner = database;
    qdFreeAndNil(owner);
  }
}

void TqdAbstractCursor::AfterConstruction() {
  TqdAbstractTimeoutObject::AfterConstruction();
  if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->CursorCounter().fetch_add(1);
  acStates.Include(acsLockedIncDone);
}

void TqdAbstractCursor::BeforeDestruction() {
  if (!Destroying() && acStates.Contains(acsLockedIncDone)) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->CursorCounter().fetch_sub(1);
    acStates.Exclude(acsLockedIncDone);
  }
  TqdAbstractTimeoutObject::BeforeDestruction();
  if (acInList) qdsdServerEngineDetail::WaitForListReaders(acDatabase->adCursorsPadlock);
}

void TqdAbstractCursor::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdAbstractTimeoutObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Database", acDatabase);
}

HRESULT TqdAbstractCursor::CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                                             TqdRef<IqdInterface>& aInterface) {
  const qdsdServerEngine_Private::TqdContextPath path = qdsdServerEngine_Private::SplitContextPath(aName);
  if (qdSameClassName(path.Head, u"<Cursor>")) return CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  if (qdSameClassName(path.Head, u"<Database>"))
    return acDatabase->CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  return TqdAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

// --- Layout ----------------------------------------------------------------------

TqdFieldsDescriptor* TqdAbstractCursor::FieldsDescriptor() {
  TqdBaseTableDescriptor* table = acGetTableDescriptor();
  return table != nullptr ? table->FieldsDescriptor() : nullptr;
}

TqdDiffCompressorInfo* TqdAbstractCursor::DCI() {
  if (TqdFieldsDescriptor* fields = FieldsDescriptor()) fields->GetDiffCompressionInfo(acDCI);
  return acDCI;
}

void TqdAbstractCursor::acInitFieldsInfo() {
  acFieldsDescriptor = FieldsDescriptor();
  if (acFieldsDescriptor == nullptr) return;
  acRecordLength = static_cast<uint32_t>(acFieldsDescriptor->RecordLength());
  acFieldsDescriptor->GetSpecialFieldsInfo(acSFI);
}

bool TqdAbstractCursor::acSnapshotRequiredForBlobRead(const TqdRecID&, int32_t, TqdBlobNr, bool) { return true; }

TqdResult TqdAbstractCursor::acTransactionStartForBlobReadSnapshoted() {
  return acDatabase->TransactionStart(false, true);
}

TqdResult TqdAbstractCursor::acTransactionRollbackForBlobReadSnapshoted() { return acDatabase->TransactionRollback(); }

TqdResult TqdAbstractCursor::SavePath() { return NotSupportedError(u"SavePath"); }
TqdResult TqdAbstractCursor::RestorePath() { return NotSupportedError(u"RestorePath"); }

void TqdAbstractCursor::RequestNestedTransactions() {
  throw EqdBaseException(qdeNotSupported, u"RequestNestedTransactions is not supported by %s", {ClassName()});
}

// --- Record buffers ----------------------------------------------------------------

PqdRecordBuffer TqdAbstractCursor::RecordBufferAlloc() {
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  if (fields == nullptr) throw EqdBaseException(static_cast<int64_t>(qdeNoCurrentRec));
  auto* buffer = static_cast<PqdRecordBuffer>(qdGetMemPtr(static_cast<size_t>(fields->RecordLength()) + 4));
  std::memset(buffer, 0, static_cast<size_t>(fields->RecordLength()) + 4);
  RecordBufferClear(buffer);
  return buffer;
}

void TqdAbstractCursor::RecordBufferFree(PqdRecordBuffer aBuffer) { qdFreeMem(aBuffer); }

void TqdAbstractCursor::RecordBufferClear(PqdRecordBuffer aBuffer) {
  if (aBuffer == nullptr) return;
  if (TqdFieldsDescriptor* fields = FieldsDescriptor()) fields->InitRecord(aBuffer);
}

// --- Not supported here --------------------------------------------------------------

TqdResult TqdAbstractCursor::GetBookmarkCache(PqdBookmarkBuffer, uint32_t) {
  return NotSupportedError(u"GetBookmarkCache");
}
TqdResult TqdAbstractCursor::SetToCacheBookmark(PqdBookmarkBuffer, uint32_t) {
  return NotSupportedError(u"SetToCacheBookmark");
}
TqdResult TqdAbstractCursor::BookmarkCheckLocal(PqdBookmarkBuffer, uint32_t) {
  return NotSupportedError(u"BookmarkCheckLocal");
}
TqdResult TqdAbstractCursor::BuildKey(PqdRecordBuffer, PqdKeyBuffer, bool) { return NotSupportedError(u"BuildKey"); }
TqdResult TqdAbstractCursor::KeyToRecord(PqdKeyBuffer, PqdRecordBuffer) { return NotSupportedError(u"KeyToRecord"); }
TqdResult TqdAbstractCursor::BlobBatchProcess(const TqdBlobBatchRequest&, TqdBlobBatchReply&) {
  return NotSupportedError(u"BlobBatchProcess");
}
TqdResult TqdAbstractCursor::BlobAddToCache(const TqdRecID&, int32_t, TqdBlobNr, uint32_t, const void*) {
  return NotSupportedError(u"BlobAddToCache");
}

TqdResult TqdAbstractCursor::ContainsLSNRefNr(TqdLSN& aLSN, TqdRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return qdeNoCurrentRec;
  return NotSupportedError(u"ContainsLSNRefNr");
}

TqdResult TqdAbstractCursor::GetDeletedRecords(TqdLSN, TqdRecordCacheInfos& aCacheInfos, int32_t, TqdLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN != nullptr) *aCurrentLSN = 0;
  return NotSupportedError(u"GetDeletedRecords");
}

// --- Writes --------------------------------------------------------------------------

TqdResult TqdAbstractCursor::acValidateRecord(PqdRecordBuffer, PqdRecordBuffer) { return 0; }

TqdResult TqdAbstractCursor::RecordInsertEx(TqdLockType aLockType, TqdInsertOptions aInsertOptions,
                                            PqdRecordBuffer aData, int64_t* aAutoInc) {
  return qdOperationBracket(this, [&]() -> TqdResult {
    if (aInsertOptions.Contains(ioValidate)) {
      const TqdResult result = acValidateRecord(aData, nullptr);
      if (result != 0) return result;
    }
    return RecordInsert(aLockType, aData, aAutoInc);
  });
}

// --- Filters -------------------------------------------------------------------------

TqdResult TqdAbstractCursor::FilterAddExpression(const uint8_t* aExpression, TqdFilterID& aFilterID, bool aActivated) {
  aFilterID = 0;
  return qdContractCall(this, [&]() -> TqdResult {
    // A malformed expression raises 15498 here, before the cursor sees it.
    TqdSimpleExpressionFilterDescriptor filter(aExpression, qdThreadLocaleAnsiCodePage());
    return FilterAddCustom(&filter, aFilterID, aActivated);
  });
}

TqdResult TqdAbstractCursor::FilterAddCallback(void* aCookie, TqdFilterCallback aCallback, TqdFilterID& aFilterID,
                                               bool aActivated) {
  aFilterID = 0;
  return qdContractCall(this, [&]() -> TqdResult {
    TqdCallbackFilterDescriptor filter(aCookie, aCallback);
    return FilterAddCustom(&filter, aFilterID, aActivated);
  });
}

TqdResult TqdAbstractCursor::KeyFilterAddExpression(const uint8_t* aExpression, TqdKeyFilterID& aKeyFilterID) {
  aKeyFilterID = 0;
  return qdContractCall(this, [&]() -> TqdResult {
    TqdSimpleExpressionFilterDescriptor filter(aExpression, qdThreadLocaleAnsiCodePage());
    return KeyFilterAddCustom(&filter, aKeyFilterID);
  });
}

TqdResult TqdAbstractCursor::KeyFilterAddCallback(void* aCookie, TqdFilterCallback aCallback,
                                                  TqdKeyFilterID& aKeyFilterID) {
  aKeyFilterID = 0;
  return qdContractCall(this, [&]() -> TqdResult {
    TqdCallbackFilterDescriptor filter(aCookie, aCallback);
    return KeyFilterAddCustom(&filter, aKeyFilterID);
  });
}

// --- Record identity -------------------------------------------------------------------

TqdRecID TqdAbstractCursor::acGetRecID(const uint8_t* aBuffer) {
  TqdRecID id;
  if (aBuffer == nullptr) return id;
  id.ridRefNr = readSpecial(acSFI, sftRefNr, aBuffer);
  id.ridInsertLSN = readSpecial(acSFI, sftInsertLSN, aBuffer);
  return id;
}

TqdResult TqdAbstractCursor::ExtractCacheInfo(const uint8_t* aData, TqdRecordCacheInfo& aCacheInfo) {
  qdRecordCacheInfoClear(aCacheInfo);
  if (!acStates.Contains(acsIsCacheable)) return NotSupportedError(u"ExtractCacheInfo");
  if (aData == nullptr) return qdeNoCurrentRec;
  const TqdSpecialFieldsInfo* sfi = acCacheableInfo != nullptr ? acCacheableInfo->ciSFI : nullptr;
  aCacheInfo.rciModifyLSN = readSpecial(sfi, sftModifyLSN, aData);
  aCacheInfo.rciRefNr = readSpecial(sfi, sftRefNr, aData);
  if (aCacheInfo.rciModifyLSN == 0 || aCacheInfo.rciRefNr == 0) return qdeNoCurrentRec;
  return 0;
}

TqdResult TqdAbstractCursor::ContainsCacheInfo(const TqdRecordCacheInfo& aCacheInfo) {
  if (qdRecordCacheInfoIsEmpty(aCacheInfo)) return qdeNoCurrentRec;
  TqdLSN lsn = aCacheInfo.rciModifyLSN;
  TqdRefNr refNr = aCacheInfo.rciRefNr;
  return ContainsLSNRefNr(lsn, refNr);
}

// --- BLOB numbers of a record --------------------------------------------------------------

namespace {

bool anyBitSet(const TqdMarkedBlobsByBlobIdx& aMarks) {
  for (uint32_t word : aMarks)
    if (word != 0) return true;
  return false;
}

bool isMarked(const TqdMarkedBlobsByBlobIdx& aMarks, size_t aBlobIndex) {
  const size_t word = aBlobIndex / 32;
  return word < aMarks.size() && ((aMarks[word] >> (aBlobIndex % 32)) & 1u) != 0;
}

}  // namespace

TqdResult TqdAbstractCursor::GetBlobs(PqdRecordBuffer aData, bool aMarkedOnly, uint16_t& aBlobCount,
                                      TqdBlobNr* aBlobNrs) {
  const uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  return qdContractCall(this, [&]() -> TqdResult {
    if (aMarkedOnly && !anyBitSet(acMarkedBlobs)) return 0;
    TqdFieldsDescriptor* fields = FieldsDescriptor();
    if (acSFI == nullptr || fields == nullptr || acSFI->sfiBlobFields.empty()) return 0;
    if (aData == nullptr) return qdeInvalidParam;
    for (size_t i = 0; i < acSFI->sfiBlobFields.size(); ++i) {
      if (aMarkedOnly && !isMarked(acMarkedBlobs, i)) continue;
      bool isNull = true;
      TqdBlobNr blobNr = 0;
      fields->GetRecordField(acSFI->sfiBlobFields[i], aData, isNull, &blobNr);
      if (isNull || blobNr == 0) continue;
      if (aBlobCount == capacity || aBlobNrs == nullptr) return qdeOutOfRange;
      aBlobNrs[aBlobCount++] = blobNr;
    }
    return 0;
  });
}

TqdResult TqdAbstractCursor::GetBlobs(PqdRecordBuffer aData, bool aMarkedOnly, TqdBlobNrs& aBlobNrs) {
  aBlobNrs.clear();
  if (aMarkedOnly && !anyBitSet(acMarkedBlobs)) return 0;
  if (acSFI == nullptr || acSFI->sfiBlobFields.empty()) return 0;
  const TqdResult result = qdContractCall(this, [&]() -> TqdResult {
    aBlobNrs.resize(acSFI->sfiBlobFields.size());
    uint16_t count = static_cast<uint16_t>(std::min<size_t>(aBlobNrs.size(), 0xFFFF));
    const TqdResult inner = GetBlobs(aData, aMarkedOnly, count, aBlobNrs.data());
    aBlobNrs.resize(count);
    return inner;
  });
  if (result != 0) aBlobNrs.clear();
  return result;
}

TqdResult TqdAbstractCursor::BlobsSetMarked(const TqdMarkedBlobsByBlobIdx& aMarkedBlobs) {
  const int32_t blobFields = acSFI != nullptr ? static_cast<int32_t>(acSFI->sfiBlobFields.size()) : 0;
  const size_t needed = static_cast<size_t>((blobFields - 1) / 32 + 1);
  if (!aMarkedBlobs.empty() && aMarkedBlobs.size() < needed) return qdeInvalidParam;
  if (!anyBitSet(aMarkedBlobs)) {
    acMarkedBlobs.clear();
    return 0;
  }
  return qdContractCall(this, [&]() -> TqdResult {
    acMarkedBlobs = aMarkedBlobs;
    return 0;
  });
}

// --- BLOB batches ----------------------------------------------------------------------------

TqdResult TqdAbstractCursor::BlobBatchApply(PqdRecordBuffer aData, const TqdBlobBatchRequest& aRequest,
                                            const TqdBlobBatchReply& aReply) {
  TqdResult result = 0;
  // A count beyond either list is a damaged reply: apply what both carry.
  const size_t count = std::min<size_t>({aReply.bbrpCount, aReply.bbrpEntries.size(), aRequest.bbrqEntries.size()});
  for (size_t i = 0; i < count; ++i) {
    const TqdResult entry =
        BlobBatchEntryApply(aData, aRequest.bbrqRecID, aRequest.bbrqEntries[i], aReply.bbrpEntries[i]);
    if (entry != 0) result = entry;
  }
  if (count < aReply.bbrpCount && result == 0) result = qdeInvalidParam;
  return result;
}

TqdResult TqdAbstractCursor::BlobBatchEntryApply(PqdRecordBuffer aData, const TqdRecID&,
                                                 const TqdBlobBatchRequestEntry& aRequest,
                                                 const TqdBlobBatchReplyEntry& aReply) {
  if (aData == nullptr) return 0;
  return qdContractCall(this, [&]() -> TqdResult {
    TqdFieldsDescriptor* fields = FieldsDescriptor();
    // The field number comes from the client: only a BLOB field of this
    // table may be written.
    if (fields == nullptr || aRequest.bbrqeFieldNo >= fields->FieldCount() ||
        !qdBlobFieldTypes.Contains(fields->FieldDescriptor(aRequest.bbrqeFieldNo)->FieldType()))
      return qdeInvalidParam;
    const TqdBlobNr blobNr = aReply.bbrpeBlobNr;
    fields->SetRecordField(aRequest.bbrqeFieldNo, aData, blobNr != 0 ? &blobNr : nullptr);
    return 0;
  });
}

// --- Locked BLOB reads -----------------------------------------------------------------------

TqdResult TqdAbstractCursor::BlobRead(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr, uint32_t aOffset,
                                      uint32_t aLen, TStream* aStream, bool aReadOrg, TqdNewBlobNr* aNewBlobNr) {
  return lockedCall(this, atoLock, Timeout(), [&] {
    return sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr);
  });
}

TqdResult TqdAbstractCursor::BlobGetLength(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                           uint32_t& aLength, bool aReadOrg, TqdNewBlobNr* aNewBlobNr) {
  return lockedCall(this, atoLock, Timeout(),
                    [&] { return sbcBlobGetLength(aRecID, aFieldNo, aBlobNr, aLength, aReadOrg, aNewBlobNr); });
}

TqdResult TqdAbstractCursor::BlobReplace(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr& aBlobNr, uint32_t aLen,
                                         const void* aBlob) {
  return qdOperationBracket(this, [&]() -> TqdResult {
    TqdResult result = 0;
    if (aLen > 0) {
      result = aBlobNr != 0 ? BlobTruncate(aRecID, aFieldNo, aBlobNr, 0) : BlobCreate(aRecID, aFieldNo, aBlobNr);
      if (result == 0) result = BlobWrite(aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
    } else if (aBlobNr != 0) {
      result = BlobTruncate(aRecID, aFieldNo, aBlobNr, 0);
    }
    return result;
  });
}

TqdResult TqdAbstractCursor::sbcBlobReadSnapshoted(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                   uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                                   uint32_t* aBlobLen, TqdNewBlobNr* aNewBlobNr) {
  TqdBlobNr current = aBlobNr;
  // Repeats aStep while the BLOB was replaced by a newer number. A newer
  // number reported with success (the implementation read it already) is
  // kept as well, so that the caller learns of it at the end.
  auto follow = [&](auto aStep) -> TqdResult {
    TqdResult result = 0;
    for (int hop = 0;; ++hop) {
      if (aNewBlobNr != nullptr) *aNewBlobNr = TqdNewBlobNr{current, false};
      result = aStep(current);
      const bool moved = aNewBlobNr != nullptr && aNewBlobNr->nbnSet && aNewBlobNr->nbnBlobNr != current;
      if (moved) current = aNewBlobNr->nbnBlobNr;
      if (result != qdeBlobModified || !moved || hop >= kMaxBlobNumberHops) return result;
    }
  };
  TqdResult result = 0;
  if (aBlobLen != nullptr) {
    result =
        follow([&](TqdBlobNr aNr) { return sbcBlobGetLength(aRecID, aFieldNo, aNr, *aBlobLen, aReadOrg, aNewBlobNr); });
  }
  if (result == 0) {
    result = follow([&](TqdBlobNr aNr) {
      return sbcBlobRead(aRecID, aFieldNo, aNr, aOffset, aLen, aStream, aReadOrg, aNewBlobNr);
    });
  }
  if (aNewBlobNr != nullptr) *aNewBlobNr = TqdNewBlobNr{current, current != aBlobNr};
  return result;
}

TqdResult TqdAbstractCursor::BlobReadSnapshoted(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                                                uint32_t aOffset, uint32_t aLen, TStream* aStream, bool aReadOrg,
                                                TqdBlobReadSnapshotState& aSnapshot, uint32_t* aBlobLen,
                                                TqdNewBlobNr* aNewBlobNr) {
  if (aSnapshot == brssFailedToStart || aSnapshot == brssFailedToClose || aSnapshot == brssClosed)
    return qdeInvalidParam;
  return qdOperationBracket(this, [&]() -> TqdResult {
    bool startedHere = false;
    if (aSnapshot == brssRequestStart) {
      if (!acSnapshotRequiredForBlobRead(aRecID, aFieldNo, aBlobNr, aReadOrg)) {
        aSnapshot = brssUnneccesary;
      } else {
        const TqdResult started = acTransactionStartForBlobReadSnapshoted();
        if (started != 0) {
          aSnapshot = brssFailedToStart;
          return started;
        }
        aSnapshot = brssStarted;
        startedHere = true;
      }
    }
    const int64_t before = aStream != nullptr ? aStream->Position() : 0;
    uint32_t localLength = 0;
    uint32_t* blobLen = aBlobLen != nullptr ? aBlobLen : &localLength;
    TqdResult result =
        sbcBlobReadSnapshoted(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOrg, blobLen, aNewBlobNr);
    const int64_t read = aStream != nullptr ? aStream->Position() - before : 0;
    const bool ended = read < static_cast<int64_t>(aLen) || static_cast<int64_t>(aOffset) + read >= *blobLen;
    if (aSnapshot == brssRequestClose || (aSnapshot == brssStarted && ended)) {
      const TqdResult closed = acTransactionRollbackForBlobReadSnapshoted();
      if (closed != 0) {
        aSnapshot = brssFailedToClose;
        return closed;
      }
      aSnapshot = startedHere ? brssUnneccesary : brssClosed;
    }
    return result;
  });
}

// --- Field access --------------------------------------------------------------------------

int32_t TqdAbstractCursor::GetFieldCountRedirect() {
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  return fields != nullptr ? fields->FieldCount() : 0;
}

IqdFieldDescriptor* TqdAbstractCursor::GetFieldDescriptorRedirect(int32_t aIndex) {
  return FieldsDescriptor()->FieldDescriptor(aIndex);
}

bool TqdAbstractCursor::GetFieldForFilterRedirect(int32_t aField, qdStringView aName, const uint8_t* aData,
                                                  TqdFieldType& aType, int32_t& aSize, bool& aIsNull,
                                                  const uint8_t*& aValue, uint16_t& aCodePage) {
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  if (fields == nullptr) return false;
  return fields->GetFieldForFilter(aField, aName, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

int32_t TqdAbstractCursor::GetFieldFromNameRedirect(const qdString& aFieldName) {
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  return fields != nullptr ? fields->GetFieldFromName(aFieldName) : -1;
}

namespace {

// Brackets work in the timeout nesting, leaving it on every path.
class TqdTimeoutNesting {
 public:
  TqdTimeoutNesting() { qdEnterTimeoutNestingHook(); }
  ~TqdTimeoutNesting() { qdLeaveTimeoutNestingHook(); }
  TqdTimeoutNesting(const TqdTimeoutNesting&) = delete;
  TqdTimeoutNesting& operator=(const TqdTimeoutNesting&) = delete;
};

}  // namespace

TqdVariant TqdAbstractCursor::GetFieldAsVariantSelf(const uint8_t* aBuffer, int32_t aField) {
  TqdTimeoutNesting nesting;
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  TqdFieldDescriptor* field = fields->FieldDescriptor(aField);
  if (!qdBlobFieldTypes.Contains(field->FieldType())) return fields->fsdGetFieldByIndexAsVariant(aBuffer, aField);
  bool isNull = true;
  TqdBlobNr blobNr = 0;
  fields->GetRecordField(aField, aBuffer, isNull, &blobNr);
  if (isNull) return TqdVariant::Null();
  const TqdRecID recID = acGetRecID(aBuffer);
  uint32_t length = 0;
  qdRaiseIfError(BlobGetLength(recID, aField, blobNr, length, false, nullptr));
  if (length == 0) return TqdVariant::Null();
  TqdMemoryStream stream(-1);
  qdRaiseIfError(BlobRead(recID, aField, blobNr, 0, length, &stream, false, nullptr));
  const auto* bytes = stream.ByteArray();
  const size_t size = static_cast<size_t>(stream.Size());
  switch (field->FieldType()) {
    case qdtBlobWideMemo: {
      qdString text(size / 2, u'\0');
      if (!text.empty()) std::memcpy(text.data(), bytes, text.size() * 2);
      return TqdVariant(std::move(text));
    }
    case qdtBlobMemo: {
      qdString text;
      qdStringToWideString(std::string_view(reinterpret_cast<const char*>(bytes), size), text,
                           field->UsedStorageCodePage());
      return TqdVariant(std::move(text));
    }
    default:
      return TqdVariant::FromBytes(std::vector<uint8_t>(bytes, bytes + size));
  }
}

void TqdAbstractCursor::SetFieldAsVariantSelf(PqdRecordBuffer aBuffer, int32_t aField, const TqdVariant& aValue) {
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  TqdFieldDescriptor* field = fields->FieldDescriptor(aField);
  if (!qdBlobFieldTypes.Contains(field->FieldType())) {
    fields->fsdSetFieldByIndexAsVariant(aBuffer, aField, aValue);
    return;
  }
  std::string content;
  if (!aValue.IsEmpty() && !aValue.IsNull()) {
    if (field->FieldType() == qdtBlobWideMemo) {
      const qdString text = aValue.AsString();
      content.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    } else if (field->FieldType() == qdtBlobMemo) {
      content = qdWideStringToString(aValue.AsString(), field->UsedStorageCodePage());
    } else {
      const std::vector<uint8_t>& bytes = aValue.Bytes();
      content.assign(bytes.begin(), bytes.end());
    }
  }
  bool isNull = true;
  TqdBlobNr blobNr = 0;
  fields->GetRecordField(aField, aBuffer, isNull, &blobNr);
  if (isNull) blobNr = 0;
  const TqdRecID recID = acGetRecID(aBuffer);
  if (!content.empty()) {
    if (blobNr == 0) {
      qdRaiseIfError(BlobCreate(recID, aField, blobNr));
      fields->SetRecordField(aField, aBuffer, &blobNr);
    }
    const auto length = static_cast<uint32_t>(content.size());
    qdRaiseIfError(BlobWrite(recID, aField, blobNr, 0, length, content.data()));
    qdRaiseIfError(BlobTruncate(recID, aField, blobNr, length));
  } else {
    if (blobNr != 0) qdRaiseIfError(BlobDelete(recID, aField, blobNr));
    fields->SetRecordField(aField, aBuffer, nullptr);
  }
}

// --- Cursor options ----------------------------------------------------------------------

bool TqdAbstractCursor::AddCursorOption(TqdAbstractCursorOption aOption) {
  const bool added = !acOptions.Contains(aOption);
  acOptions.Include(aOption);
  return added;
}

bool TqdAbstractCursor::RemoveCursorOption(TqdAbstractCursorOption aOption) {
  const bool removed = acOptions.Contains(aOption);
  acOptions.Exclude(aOption);
  return removed;
}

bool TqdAbstractCursor::AddCursorOptions(TqdAbstractCursorOptions aOptions) {
  const bool added = !(aOptions - acOptions).Empty();
  acOptions = acOptions + aOptions;
  return added;
}

bool TqdAbstractCursor::RemoveCursorOptions(TqdAbstractCursorOptions aOptions) {
  const bool removed = !(aOptions * acOptions).Empty();
  acOptions = acOptions - aOptions;
  return removed;
}

bool TqdAbstractCursor::HasAllCursorOptions(TqdAbstractCursorOptions aOptions) const {
  return (aOptions - acOptions).Empty();
}

bool TqdAbstractCursor::HasAnyCursorOptions(TqdAbstractCursorOptions aOptions) const {
  return !(aOptions * acOptions).Empty();
}

// --- Server and SQL cursors ------------------------------------------------------------------

TqdResult TqdAbstractServerCursor::ascBlobRequestCache(const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr) {
  if (ascRemoteCursor == nullptr) return NotSupportedError(u"ascBlobRequestCache");
  return ascRemoteCursor->rcCacheBlob(aRecID, aFieldNo, aBlobNr, nullptr);
}

TqdSqlAbstractCursor::~TqdSqlAbstractCursor() {
  TqdPadlock* lock = sbcOnRequestCloseLock.load(std::memory_order_acquire);
  if (lock == nullptr) return;
  {
    TqdPadlockGuard guard(*lock);
    sbcOnRequestClose = nullptr;
  }
  delete sbcOnRequestCloseLock.exchange(nullptr);
}

void TqdSqlAbstractCursor::sbcSetOnRequestClose(const TqdRef<IqdRequestCloseHandler>& aHandler) {
  if (Destroying()) return;
  TqdPadlock* lock = sbcOnRequestCloseLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    auto* fresh = new TqdPadlock;
    if (sbcOnRequestCloseLock.compare_exchange_strong(lock, fresh)) {
      lock = fresh;
    } else {
      delete fresh;
    }
  }
  TqdPadlockGuard guard(*lock);
  sbcOnRequestClose = aHandler;
}

TqdRef<IqdRequestCloseHandler> TqdSqlAbstractCursor::sbcGetOnRequestClose() {
  TqdPadlock* lock = sbcOnRequestCloseLock.load(std::memory_order_acquire);
  if (lock == nullptr || Destroying()) return nullptr;
  TqdPadlockGuard guard(*lock);
  return sbcOnRequestClose;
}

TqdRequestCloseHandlerEvent::TqdRequestCloseHandlerEvent(TqdRequestCloseEvent aEvent) {
  TqdPadlockGuard guard(rcheLock);
  rcheDisconnected = !aEvent;
  rcheEvent = std::move(aEvent);
}

void TqdRequestCloseHandlerEvent::RequestClose(TqdAbstractCursor* aCursor) {
  TqdRequestCloseEvent event;
  {
    TqdPadlockGuard guard(rcheLock);
    if (rcheDisconnected) return;
    event = rcheEvent;
  }
  event(aCursor);
}

void TqdRequestCloseHandlerEvent::Disconnect() {
  TqdPadlockGuard guard(rcheLock);
  rcheDisconnected = true;
  rcheEvent = nullptr;
}

TqdRef<IqdRequestCloseHandlerEvent> qdMakeRequestCloseHandler(TqdRequestCloseEvent aEvent) {
  return qdMakeRef<TqdRequestCloseHandlerEvent>(std::move(aEvent));
}

}  // namespace qd
