// A small in-memory engine behind the contract, for the contract's tests:
// sessions, transaction contexts, databases (alias "Main" exists), statements,
// task infos and the cancel-flag hook. Every operation runs inside the
// contract's operation bracket; ThrowEverywhere makes each of them raise.
//
// Tables live in the engine (TqdFakeTable: a dictionary, record images in
// insertion order, BLOBs by number, named table streams); a cursor walks a
// table in that order. Cursor operations the contract's tests do not need
// answer 12289.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineBase.h"

namespace qd::qdsdFakeEngine {

class TqdFakeSession;

struct TqdFakeTable {
  qdString Name;
  std::unique_ptr<TqdDataDictionary> Dictionary = std::make_unique<TqdDataDictionary>();
  std::vector<std::vector<uint8_t>> Records;
  std::map<TqdBlobNr, std::vector<uint8_t>> Blobs;
  // A BLOB replaced by a newer number: reads of the old one answer 13058
  // and name the new one.
  std::map<TqdBlobNr, TqdBlobNr> Replaced;
  TqdBlobNr NextBlobNr = 1;
  std::map<qdString, std::vector<uint8_t>> Streams;
  // Every write that reached the records.
  int Writes = 0;
};

class TqdFakeServerEngine : public TqdBaseServerEngine {
 public:
  explicit TqdFakeServerEngine(TqdComponent* aOwner)
      : TqdBaseServerEngine(aOwner),
        fSetThreadTimeout(qdSetThreadTimeoutHook),
        fEnterNesting(qdEnterTimeoutNestingHook),
        fLeaveNesting(qdLeaveTimeoutNestingHook),
        fCancelFlag(qdThreadCancelFlagHook),
        fDeadline(qdThreadDeadlineHook) {
    // The fake keeps its operations to the bracket's own deadline and a
    // cancel flag of its own; the hooks it found go back when it ends, so a
    // binary that also runs the real engine keeps that engine's hooks.
    qdResetOperationHooks();
    qdThreadCancelFlagHook = [] { return &CancelFlag(); };
  }
  ~TqdFakeServerEngine() override {
    while (!Sessions().empty()) {
      TqdAbstractServerObject* session = Sessions().back();
      TqdAbstractServerObject::Free(session);
    }
    qdSetThreadTimeoutHook = fSetThreadTimeout;
    qdEnterTimeoutNestingHook = fEnterNesting;
    qdLeaveTimeoutNestingHook = fLeaveNesting;
    qdThreadCancelFlagHook = fCancelFlag;
    qdThreadDeadlineHook = fDeadline;
  }
  static std::atomic<bool>& CancelFlag() {
    thread_local std::atomic<bool> flag{false};
    return flag;
  }
  [[noreturn]] void bseRaise(TqdResult aErrorCode) override {
    throw EqdBaseException(static_cast<int64_t>(aErrorCode));
  }
  TGUID GetServerGuid() override { return TGUID{}; }
  qdString GetServerName() override { return u"Fake"; }
  bool bseSessionStatsEnabled() override { return StatsEnabled; }
  TqdResult SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName, const qdString& aPassword,
                          const qdString& aConnectedFrom, uint32_t aTimeout, int32_t aClientVersion) override;

  bool StatsEnabled = false;

  TqdFakeTable& AddTable(const qdString& aName) {
    auto table = std::make_unique<TqdFakeTable>();
    table->Name = aName;
    TqdFakeTable& result = *table;
    Tables[aName] = std::move(table);
    return result;
  }
  TqdFakeTable* FindTable(const qdString& aName) {
    auto it = Tables.find(aName);
    return it != Tables.end() ? it->second.get() : nullptr;
  }
  std::map<qdString, std::unique_ptr<TqdFakeTable>> Tables;
  // One line per DatabaseOpen and CursorOpen with the arguments that matter.
  std::vector<std::string> OpenLog;

 private:
  TqdSetThreadTimeoutProc fSetThreadTimeout;
  TqdTimeoutNestingProc fEnterNesting;
  TqdTimeoutNestingProc fLeaveNesting;
  TqdThreadCancelFlagFunc fCancelFlag;
  TqdThreadDeadlineFunc fDeadline;
};

inline const char* fakeModeName(TqdOpenMode aMode) {
  static const char* const kNames[] = {"ReadOnly", "WriteOnly", "ReadWrite", "None"};
  return kNames[aMode];
}
inline const char* fakeShareName(TqdShareMode aMode) {
  static const char* const kNames[] = {"Exclusive", "Shared", "ShareRead"};
  return kNames[aMode];
}

class TqdFakeTransContext : public TqdAbstractTransContext {
 public:
  using TqdAbstractTransContext::TqdAbstractTransContext;
  TqdResult TransactionStart(bool, bool aSnapShot) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (FailStart != 0) return FailStart;
      ++Starts;
      if (aSnapShot) ++Snapshots;
      return 0;
    });
  }
  TqdResult TransactionStartWith(bool, bool, const std::vector<TqdAbstractCursor*>&) override { return 0; }
  TqdResult TransactionCommit() override { return 0; }
  TqdResult TransactionRollback() override {
    if (FailRollback != 0) return FailRollback;
    ++Rollbacks;
    return 0;
  }
  int Starts = 0;
  int Snapshots = 0;
  int Rollbacks = 0;
  TqdResult FailStart = 0;
  TqdResult FailRollback = 0;
  TqdResult TransactionCorrupted() override { return 0; }
  TqdResult TransactionGetLevel(int32_t& aLevel) override {
    aLevel = 0;
    return 0;
  }
  TqdResult TransactionGetInfo(TqdTransactionInfo&, bool) override { return 0; }
};

class TqdFakeStatement : public TqdAbstractStatement {
 public:
  using TqdAbstractStatement::TqdAbstractStatement;
  TqdResult Prepare(TqdStatementType, const qdString&, TStream*) override { return 0; }
  TqdResult Exec(TqdAbstractCursor*& aCursor, TqdOpenMode, TStream*) override {
    aCursor = nullptr;
    return 0;
  }
  TqdResult SetParams(const TqdSqlParamList&, TStream*) override { return 0; }
  TqdResult GetParams(TqdSqlParamList&, TStream*) override { return 0; }
};

class TqdFakeTaskInfo : public TqdSqlAbstractTaskInfo {
 public:
  using TqdSqlAbstractTaskInfo::TqdSqlAbstractTaskInfo;
  TqdResult GetStatus(bool& aCompleted, TqdTaskStatus& aStatus) override {
    aCompleted = cancelled;
    aStatus = TqdTaskStatus{};
    return 0;
  }
  TqdResult Cancel() override {
    cancelled = true;
    return 0;
  }
  void Execute() override {}
  bool cancelled = false;
};

class TqdFakeCursor : public TqdSqlAbstractCursor {
 public:
  TqdFakeCursor(TqdAbstractDatabase* aDatabase, TqdFakeTable* aTable, uint32_t aTimeout, TqdOpenMode aOpenMode)
      : TqdSqlAbstractCursor(aDatabase, aTimeout), fTable(aTable), fOpenMode(aOpenMode) {
    acInitFieldsInfo();
  }
  ~TqdFakeCursor() override {
    qdFreeAndNil(fFilter);
    qdFreeAndNil(fKeyFilter);
  }

  TqdDataDictionary* acGetDictionary() override { return fTable->Dictionary.get(); }
  TqdBaseTableDescriptor* acGetTableDescriptor() override { return fTable->Dictionary.get(); }
  qdString acGetFullName() override { return fTable->Name; }
  TqdOpenMode sacGetOpenMode() override { return fOpenMode; }

  // Marks the cursor cacheable with the table's special-fields info.
  void MakeCacheable() {
    if (acCacheableInfo == nullptr) {
      acCacheableInfo = qdNewCacheableInfo();
      acCacheableInfo->ciSFI = qdAddRefSpecialFieldsInfo(acSFI);
    }
    acStates.Include(acsIsCacheable);
  }

  // --- Position and records ---
  TqdResult SetToBegin() override {
    fPos = -1;
    return 0;
  }
  TqdResult SetToEnd() override {
    fPos = static_cast<int64_t>(fTable->Records.size());
    return 0;
  }
  TqdResult RecordGet(TqdLockType, PqdRecordBuffer aData) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (!OnRecord()) return qdeNoCurrentRec;
      Copy(aData);
      return 0;
    });
  }
  TqdResult RecordGetNext(TqdLockType, PqdRecordBuffer aData) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      do {
        fPos = std::min<int64_t>(fPos + 1, static_cast<int64_t>(fTable->Records.size()));
      } while (OnRecord() && !FilterMatchesBuffer(fTable->Records[static_cast<size_t>(fPos)].data()));
      if (!OnRecord()) return qdeEOF;
      Copy(aData);
      return 0;
    });
  }
  TqdResult RecordGetPrior(TqdLockType, PqdRecordBuffer aData) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      fPos = std::max<int64_t>(fPos - 1, -1);
      if (!OnRecord()) return qdeBOF;
      Copy(aData);
      return 0;
    });
  }
  TqdResult RecordInsert(TqdLockType, PqdRecordBuffer aData, int64_t*) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (fOpenMode == omReadOnly) return qdeTableReadOnly;
      fTable->Records.emplace_back(aData, aData + acRecordLength);
      ++fTable->Writes;
      fPos = static_cast<int64_t>(fTable->Records.size()) - 1;
      return 0;
    });
  }
  TqdResult RecordModify(PqdRecordBuffer aData, bool, PqdRecordDiff) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (!OnRecord()) return qdeNoCurrentRec;
      std::vector<uint8_t>& current = fTable->Records[static_cast<size_t>(fPos)];
      const TqdResult result = acValidateRecord(aData, current.data());
      if (result != 0) return result;
      current.assign(aData, aData + acRecordLength);
      ++fTable->Writes;
      return 0;
    });
  }
  TqdResult RecordDelete(PqdRecordBuffer, TqdLSN) override {
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (!OnRecord()) return qdeNoCurrentRec;
      fTable->Records.erase(fTable->Records.begin() + fPos);
      ++fTable->Writes;
      return 0;
    });
  }
  // Required fields must not be null.
  TqdResult acValidateRecord(PqdRecordBuffer aData, PqdRecordBuffer) override {
    TqdFieldsDescriptor* fields = FieldsDescriptor();
    for (int32_t i = 0; i < fields->FieldCount(); ++i) {
      if (fields->FieldDescriptor(i)->Required() && fields->IsRecordFieldNull(i, aData)) return qdeRequiredErr;
    }
    return 0;
  }
  TqdResult GetRecordCount(uint32_t& aRecCount, bool) override {
    aRecCount = static_cast<uint32_t>(fTable->Records.size());
    return 0;
  }
  bool GetNextLSN(TqdLSN& aLSN) override {
    aLSN = ++fLSN;
    return true;
  }

  // --- BLOBs ---
  TqdResult BlobCreate(const TqdRecID&, int32_t, TqdBlobNr& aBlobNr) override {
    return Blob([&]() -> TqdResult {
      aBlobNr = fTable->NextBlobNr++;
      fTable->Blobs[aBlobNr];
      return 0;
    });
  }
  TqdResult BlobDelete(const TqdRecID&, int32_t, TqdBlobNr aBlobNr) override {
    return Blob([&]() -> TqdResult { return fTable->Blobs.erase(aBlobNr) == 1 ? 0 : qdeInvalidBlobHandle; });
  }
  TqdResult BlobWrite(const TqdRecID&, int32_t, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                      const void* aBlob) override {
    return Blob([&]() -> TqdResult {
      auto it = fTable->Blobs.find(aBlobNr);
      if (it == fTable->Blobs.end()) return qdeInvalidBlobHandle;
      if (it->second.size() < size_t{aOffset} + aLen) it->second.resize(size_t{aOffset} + aLen);
      if (aLen > 0) std::memcpy(it->second.data() + aOffset, aBlob, aLen);
      return 0;
    });
  }
  TqdResult BlobTruncate(const TqdRecID&, int32_t, TqdBlobNr aBlobNr, uint32_t aBlobLength) override {
    return Blob([&]() -> TqdResult {
      auto it = fTable->Blobs.find(aBlobNr);
      if (it == fTable->Blobs.end()) return qdeInvalidBlobHandle;
      it->second.resize(aBlobLength);
      return 0;
    });
  }
  TqdResult sbcBlobGetLength(const TqdRecID&, int32_t, TqdBlobNr aBlobNr, uint32_t& aLength, bool,
                             TqdNewBlobNr* aNewBlobNr) override {
    ++BlobCalls;
    return Blob([&]() -> TqdResult {
      if (Moved(aBlobNr, aNewBlobNr)) return qdeBlobModified;
      auto it = fTable->Blobs.find(aBlobNr);
      if (it == fTable->Blobs.end()) return qdeInvalidBlobHandle;
      aLength = static_cast<uint32_t>(it->second.size());
      return 0;
    });
  }
  TqdResult sbcBlobRead(const TqdRecID&, int32_t, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream* aStream,
                        bool, TqdNewBlobNr* aNewBlobNr) override {
    ++BlobCalls;
    return Blob([&]() -> TqdResult {
      if (Moved(aBlobNr, aNewBlobNr)) return qdeBlobModified;
      auto it = fTable->Blobs.find(aBlobNr);
      if (it == fTable->Blobs.end()) return qdeInvalidBlobHandle;
      const size_t size = it->second.size();
      const size_t from = std::min<size_t>(aOffset, size);
      const size_t count = std::min<size_t>(aLen, size - from);
      if (count > 0) aStream->Write(it->second.data() + from, static_cast<int32_t>(count));
      return 0;
    });
  }

  // --- Table streams ---
  TqdResult TableStreamGetList(TqdStringList& aStreams) override {
    for (const auto& entry : fTable->Streams) aStreams.Add(entry.first);
    return 0;
  }
  TqdResult TableStreamWrite(const qdString& aName, TStream* aStream) override {
    if (fOpenMode == omReadOnly) return qdeTableReadOnly;
    std::vector<uint8_t>& bytes = fTable->Streams[aName];
    bytes.resize(static_cast<size_t>(aStream->Size()));
    aStream->SetPosition(0);
    if (!bytes.empty()) aStream->Read(bytes.data(), static_cast<int32_t>(bytes.size()));
    return 0;
  }
  TqdResult TableStreamRead(const qdString& aName, TStream* aStream) override {
    auto it = fTable->Streams.find(aName);
    if (it == fTable->Streams.end()) return qdeObjNotFound;
    if (!it->second.empty()) aStream->Write(it->second.data(), static_cast<int32_t>(it->second.size()));
    return 0;
  }
  TqdResult TableStreamDelete(const qdString& aName) override {
    return fTable->Streams.erase(aName) == 1 ? 0 : qdeObjNotFound;
  }

  // --- Everything else: not part of the fake ---
  TqdResult SetToCursor(TqdAbstractCursor*) override { return No(); }
  TqdResult SetToFilter(TqdBaseFilterDescriptor*, TqdBaseFilterDescriptor*, bool) override { return No(); }
  TqdResult sbcGetBookmarkSize(uint32_t& aSize) override {
    aSize = 0;
    return No();
  }
  TqdResult GetBookmark(PqdBookmarkBuffer, uint32_t) override { return No(); }
  TqdResult CompareBookmarks(PqdBookmarkBuffer, PqdBookmarkBuffer, uint32_t, TqdValueRelationship&) override {
    return No();
  }
  TqdResult SetToBookmark(PqdBookmarkBuffer, uint32_t) override { return No(); }
  TqdResult BookmarkAsVariant(PqdBookmarkBuffer, uint32_t, TqdVariant&) override { return No(); }
  TqdResult RecNoSupported() override { return No(); }
  TqdResult RecNoGet(uint32_t&, bool) override { return No(); }
  TqdResult RecNoSet(uint32_t, bool) override { return No(); }
  TqdResult RecordIsLocked(TqdLockType, TqdLockPresent&) override { return No(); }
  TqdResult RecordLockRelease(bool, bool) override { return No(); }
  TqdResult AutoIncGet(uint32_t&, bool) override { return No(); }
  TqdResult AutoIncSet(uint32_t) override { return No(); }
  // One record filter and one key filter, each an engine built from the
  // caller's descriptor (which the caller frees).
  TqdResult FilterAddCustom(TqdBaseFilterDescriptor* aFilter, TqdFilterID& aFilterID, bool aActivated) override {
    return AddFilter(fFilter, aFilter, aFilterID, aActivated);
  }
  bool FilterMatchesBuffer(PqdRecordBuffer aBuffer) override {
    return fFilter == nullptr || fFilter->MatchesBuffer(aBuffer);
  }
  bool KeyFilterMatches(PqdRecordBuffer aBuffer) { return fKeyFilter == nullptr || fKeyFilter->MatchesBuffer(aBuffer); }
  TqdResult FilterReplaceCustom(TqdBaseFilterDescriptor*, TqdFilterID&, bool, bool) override { return No(); }
  TqdResult FilterSetTimeout(uint32_t) override { return No(); }
  TqdResult FilterActivate(TqdFilterID) override { return No(); }
  TqdResult FilterDeactivate(TqdFilterID) override { return No(); }
  TqdResult FilterRemove(TqdFilterID) override { return No(); }
  TqdResult SwitchToIndex(const qdString&, int32_t, TqdPosnOnRec) override { return No(); }
  TqdResult GetIndexID(int32_t&) override { return No(); }
  // The key operations only record which kind of image they were given.
  TqdResult SetToKey(TqdSearchKeyAction, int32_t, int32_t, bool aDirectKey, const uint8_t*) override {
    DirectKeys = {aDirectKey};
    return 0;
  }
  TqdResult RecordGetForKey(int32_t, int32_t, bool aDirectKey, const uint8_t*, PqdRecordBuffer, bool, bool) override {
    DirectKeys = {aDirectKey};
    return 0;
  }
  TqdResult RecordGetForKeyBatch(int32_t, TqdRecordGetBatchExOptions, TqdBatchStreamAccess*&,
                                 const TqdDataSetKeyBufferArray&, bool, bool) override {
    return No();
  }
  TqdResult RangeReset() override { return No(); }
  TqdResult RangeSet(int32_t, int32_t, bool aDirectKey1, const uint8_t*, bool, int32_t, int32_t, bool aDirectKey2,
                     const uint8_t*, bool) override {
    DirectKeys = {aDirectKey1, aDirectKey2};
    return 0;
  }
  std::vector<bool> DirectKeys;
  TqdResult CompareKeys(int32_t, int32_t, bool, const uint8_t*, bool, const uint8_t*, TqdValueRelationship&) override {
    return No();
  }
  TqdResult KeyFilterAddCustom(TqdBaseFilterDescriptor* aKeyFilter, TqdKeyFilterID& aKeyFilterID) override {
    return AddFilter(fKeyFilter, aKeyFilter, aKeyFilterID, true);
  }
  TqdResult KeyFilterActivate(TqdKeyFilterID) override { return No(); }
  TqdResult KeyFilterDeactivate(TqdKeyFilterID) override { return No(); }
  TqdResult KeyFilterRemove(TqdKeyFilterID) override { return No(); }
  TqdResult RecordGetBatch(int32_t, TqdRecordGetBatchExOptions, TqdBatchStreamAccess*&, int32_t, bool) override {
    return No();
  }
  TqdResult RecordInsertBatch(TqdCustomMemoryStream*) override { return No(); }
  TqdResult CopyRecords(TqdAbstractCursor*, TqdBlobCopyMode, int32_t) override { return No(); }
  TqdResult CopyRecordsEx(TqdAbstractCursor*, TqdBlobCopyMode, int32_t, bool) override { return No(); }
  TqdResult DeleteRecords() override { return No(); }
  TqdResult BlobsCancel(TqdRefNr) override { return No(); }
  TqdResult BlobCreateFile(const TqdRecID&, int32_t, const qdString&, TqdBlobNr&) override { return No(); }
  TqdResult BlobFree(const TqdRecID&, int32_t, TqdBlobNr) override { return No(); }
  TqdResult BlobModified(const TqdRecID&, int32_t, TqdBlobNr, bool&) override { return No(); }
  TqdResult TableIsLocked(TqdLockType, TqdLockPresent&) override { return No(); }
  TqdResult TableLockAcquire(TqdLockType) override { return No(); }
  TqdResult TableLockRelease(TqdLockType, bool) override { return No(); }
  TqdResult Duplicate(TqdOpenMode, TqdAbstractCursor*& aNewCursor) override {
    aNewCursor = nullptr;
    return No();
  }
  TqdResult ChangePassword(const qdString&) override { return No(); }
  TqdResult GetRecordCountAsync(TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return No();
  }
  TqdResult GetRecordCountEx(TqdRecordCountOption, uint32_t&, bool) override { return No(); }
  TqdResult GetRecordCountExAsync(TqdRecordCountOption, TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return No();
  }
  TqdResult ascGetBlobCacheInfos(const TqdRecID&, TqdBlobCacheInfos&) override { return No(); }
  TqdResult ascSetBlobCacheFlushed(const TqdRecID&, int32_t, TqdBlobNr, TqdBlobNr*) override { return No(); }
  void sbcMarkReadonly() override { fOpenMode = omReadOnly; }
  qdString sbcGetRootName() override { return fTable->Name; }
  TqdIndexPathPosition sbcGetPosition() override { return ippUnknown; }
  TqdResult sbcSwitchToIndex(const qdString&, int32_t, TqdPosnOnRec) override { return No(); }
  TqdResult sbcGetIndexID(int32_t&) override { return No(); }
  void sbcRangeReset() override {}
  TqdResult sbcRangeSet(int32_t, int32_t, bool, const uint8_t*, bool, int32_t, int32_t, bool, const uint8_t*,
                        bool) override {
    return No();
  }
  void sbcSetToBegin() override { fPos = -1; }
  void sbcSetToEnd() override { fPos = static_cast<int64_t>(fTable->Records.size()); }
  TqdResult sbcRecordGetBatch(int32_t, TqdRecordGetBatchExOptions, TqdBatchStreamAccess*&, int32_t, bool) override {
    return No();
  }
  TqdResult sbcRecordInsertBatch(TqdCustomMemoryStream*) override { return No(); }
  TqdResult sbcCopyRecords(TqdAbstractCursor*, TqdBlobCopyMode, int32_t, bool) override { return No(); }
  TqdResult sbcDeleteRecords() override { return No(); }
  TqdResult sbcBlobCreateLink(const TqdRecID&, int32_t, const qdString&, TqdBlobNr, TqdBlobNr&) override {
    return No();
  }
  TqdResult sbcBlobDelete(const TqdRecID&, int32_t, TqdBlobNr) override { return No(); }
  TqdResult sbcBlobTruncate(const TqdRecID&, int32_t, TqdBlobNr, uint32_t) override { return No(); }
  TqdResult sbcBlobWrite(const TqdRecID&, int32_t, TqdBlobNr, uint32_t, uint32_t, const void*) override { return No(); }
  TqdResult sbcBlobReplace(const TqdRecID&, int32_t, TqdBlobNr&, uint32_t, const void*) override { return No(); }
  bool sbcBlobIsLink(const TqdRecID&, int32_t, TqdBlobNr, qdString&, TqdBlobNr&) override { return false; }
  TqdResult sbcRecordGet(TqdLockType aLockType, PqdRecordBuffer aData) override { return RecordGet(aLockType, aData); }
  TqdResult sbcRecordGetNext(TqdLockType aLockType, PqdRecordBuffer aData) override {
    return RecordGetNext(aLockType, aData);
  }
  TqdResult sbcRecordGetPrior(TqdLockType aLockType, PqdRecordBuffer aData) override {
    return RecordGetPrior(aLockType, aData);
  }
  TqdResult sbcRecordInsert(TqdLockType aLockType, TqdInsertOptions aInsertOptions, PqdRecordBuffer aData,
                            int64_t* aAutoInc) override {
    return RecordInsertEx(aLockType, aInsertOptions, aData, aAutoInc);
  }
  TqdResult sbcRecordModify(PqdRecordBuffer aData, bool aReleaseLock, PqdRecordDiff aDataDiff) override {
    return RecordModify(aData, aReleaseLock, aDataDiff);
  }
  TqdResult sbcRecordDelete(PqdRecordBuffer aData, TqdLSN aLSN) override { return RecordDelete(aData, aLSN); }
  uint32_t sbcAutoIncGet() override { return 0; }
  TqdResult sbcGetRecordCount(TqdRecordCountOption, uint32_t& aRecCount, bool aEstimate) override {
    return GetRecordCount(aRecCount, aEstimate);
  }
  TqdResult sbcChangePassword(const qdString&) override { return No(); }
  TqdResult sbcDuplicate(TqdOpenMode, TqdBaseID& aNewCursorID, bool) override {
    aNewCursorID = 0;
    return No();
  }
  void sbcIterate(PqdRecordBuffer*, TqdKeyIterator, TqdRecordIterator, bool, void*, bool) override {}
  bool sacHasKey(int32_t, TqdVariant&) override { return false; }
  TqdRefNr sacGetRefNr() override { return 0; }
  void sacSetRefNr(TqdRefNr) override {}
  void sacSetDefault(PqdRecordBuffer, int32_t) override {}
  void sacSetDefaultsInsert(PqdRecordBuffer) override {}
  TqdResult sacGetRecordByID(TqdRefNr, PqdRecordBuffer) override { return No(); }

  // Counts the locked BLOB calls; a non-zero FailBlob fails them; ThrowInBlob
  // makes them raise.
  int BlobCalls = 0;
  bool FollowReplaced = false;
  TqdResult FailBlob = 0;
  bool ThrowInBlob = false;

 private:
  bool OnRecord() const { return fPos >= 0 && fPos < static_cast<int64_t>(fTable->Records.size()); }
  void Copy(PqdRecordBuffer aData) const {
    const std::vector<uint8_t>& record = fTable->Records[static_cast<size_t>(fPos)];
    std::memcpy(aData, record.data(), record.size());
  }
  template <class F>
  TqdResult Blob(F aWork) {
    if (ThrowInBlob) throw std::runtime_error("fake BLOB failure");
    if (FailBlob != 0) return FailBlob;
    return aWork();
  }
  // A replaced number answers 13058 naming the newer one, or, with
  // FollowReplaced, is followed here and reported with success.
  bool Moved(TqdBlobNr& aBlobNr, TqdNewBlobNr* aNewBlobNr) const {
    auto it = fTable->Replaced.find(aBlobNr);
    if (it == fTable->Replaced.end()) return false;
    if (aNewBlobNr != nullptr) *aNewBlobNr = TqdNewBlobNr{it->second, true};
    if (!FollowReplaced) return true;
    while (it != fTable->Replaced.end()) {
      aBlobNr = it->second;
      it = fTable->Replaced.find(aBlobNr);
    }
    if (aNewBlobNr != nullptr) *aNewBlobNr = TqdNewBlobNr{aBlobNr, true};
    return false;
  }
  TqdResult No() { return NotSupportedError(u"fake"); }
  TqdResult AddFilter(TqdBaseFilterEngine*& aSlot, TqdBaseFilterDescriptor* aFilter, TqdFilterID& aFilterID,
                      bool aActivated) {
    return qdOperationBracket(this, [&]() -> TqdResult {
      TqdBaseFilterEngine* engine = TqdBaseFilterEngine::CreateFor(aFilter, this);
      engine->SetActive(aActivated);
      qdFreeAndNil(aSlot);
      aSlot = engine;
      aFilterID = engine->FilterID();
      return 0;
    });
  }
  TqdBaseFilterEngine* fFilter = nullptr;
  TqdBaseFilterEngine* fKeyFilter = nullptr;

  TqdFakeTable* fTable;
  TqdOpenMode fOpenMode;
  int64_t fPos = -1;
  TqdLSN fLSN = 0;
};

class TqdFakeDatabase : public TqdAbstractDatabase {
 public:
  using TqdAbstractDatabase::TqdAbstractDatabase;
  void PrepareDestroy() override {
    TqdAbstractDatabase::PrepareDestroy();
    if (OnPrepareDestroy) OnPrepareDestroy();
  }
  TqdResult TableExists(const qdString&, const qdString&, bool& aExists, bool) override {
    return qdOperationBracket(this, [&] {
      aExists = true;
      return TqdResult{0};
    });
  }
  TqdResult TableBuild(bool, const qdString&, const qdString&, TqdDataDictionary*, TqdTableScope, bool) override {
    return 0;
  }
  TqdResult TablePack(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableBackup(const qdString&, const qdString&, TqdAbstractDatabase*,
                        TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableRebuildIndex(const qdString&, const qdString&, const qdString&, int32_t,
                              TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableRestructure(const qdString&, const qdString&, TqdDataDictionary*, TqdBaseTableMapperDescriptor*, bool,
                             TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableAddField(const qdString&, const qdString&, TqdFieldDescriptor*) override { return 0; }
  TqdResult TableAddIndex(const qdString&, const qdString&, TqdIndexDescriptor*, bool) override { return 0; }
  TqdResult TableDropIndex(const qdString&, const qdString&, const qdString&, int32_t) override { return 0; }
  TqdResult TableRecover(const qdString&, const qdString&, TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableVerifyChecksum(const qdString&, const qdString&, bool, bool,
                                TqdAbstractTaskInfo*& aTaskInfo) override {
    aTaskInfo = nullptr;
    return 0;
  }
  TqdResult TableChangePassword(const qdString&, const qdString&, const qdString&) override { return 0; }
  TqdResult TableGetDictionary(const qdString&, const qdString&, TqdDataDictionary*) override { return 0; }
  TqdResult TableAutoIncGet(const qdString&, const qdString&, uint32_t& aValue) override {
    aValue = 0;
    return 0;
  }
  TqdResult CursorOpen(TqdAbstractCursor*& aCursor, const qdString& aTableName, const qdString&, TqdOpenMode aOpenMode,
                       TqdShareMode aShareMode, uint32_t aTimeout, const qdString& aIndexName, int32_t aIndexID,
                       bool aAllowSystem, TqdCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                       const TqdStringList* aMarkedBlobs) override {
    aCursor = nullptr;
    static_cast<TqdFakeServerEngine*>(asoGetServerEngine())
        ->OpenLog.push_back(
            "cursor " + StringToUtf8(aTableName) + " " + fakeModeName(aOpenMode) + " " + fakeShareName(aShareMode) +
            " index='" + StringToUtf8(aIndexName) + "'/" + std::to_string(aIndexID) +
            " system=" + std::to_string(aAllowSystem) + " options=" + std::to_string(aOpenOptions.Bits()) +
            " filter=" + std::to_string(aFilterTimeout) + " blobs=" + (aMarkedBlobs != nullptr ? "some" : "none"));
    return qdOperationBracket(this, [&]() -> TqdResult {
      if (ReportNoObject) return 0;
      TqdFakeTable* table = static_cast<TqdFakeServerEngine*>(asoGetServerEngine())->FindTable(aTableName);
      if (table == nullptr) return qdeNoSuchTable;
      aCursor = qdCreate<TqdFakeCursor>(this, table, aTimeout, aOpenMode);
      ++CursorsOpened;
      return 0;
    });
  }
  int CursorsOpened = 0;
  // CursorOpen answers success without a cursor.
  bool ReportNoObject = false;
  TqdResult StatementExecDirect(uint32_t, TqdStatementType, const qdString&, TStream*, const TqdSqlParamList&, TStream*,
                                TqdAbstractCursor*& aCursor, TqdOpenMode, TStream*, TStream*,
                                TqdStatementExecDirectPhase& aPhase) override {
    aCursor = nullptr;
    aPhase = sedAlloc;
    return 0;
  }
  TqdResult TableDelete(const qdString&, const qdString&) override { return 0; }
  TqdResult TableEmpty(const qdString&, const qdString&) override { return 0; }
  TqdResult TableRename(const qdString&, const qdString&, const qdString&) override { return 0; }
  TqdResult TableGetList(TqdStringList&) override { return 0; }
  TqdResult GetChangedTables(TqdStringList&) override { return 0; }
  TqdResult StatementAlloc(TqdAbstractStatement*& aStatement, uint32_t aTimeout) override {
    aStatement = nullptr;
    return qdOperationBracket(this, [&] {
      aStatement = qdCreate<TqdFakeStatement>(this, aTimeout);
      return TqdResult{0};
    });
  }
  TqdResult GetFreespace(int64_t& aFreeSpace) override {
    aFreeSpace = 0;
    return 0;
  }
  TqdResult GetPath(qdString& aPath) override {
    aPath.clear();
    return 0;
  }
  TqdResult GetAlias(qdString& aAlias) override {
    aAlias.clear();
    return 0;
  }
  std::function<void()> OnPrepareDestroy;
};

class TqdFakeSession : public TqdAbstractSession {
 public:
  using TqdAbstractSession::TqdAbstractSession;

  // One operation of the session through the boundary, running Work.
  TqdResult RunOperation() {
    return qdOperationBracket(this, [&] {
      ++calls;
      return Work();
    });
  }

  TqdResult AliasAdd(const qdString&, const qdString&, bool) override { return Op(); }
  TqdResult AliasDelete(const qdString&) override { return Op(); }
  TqdResult AliasModify(const qdString&, const qdString&, const qdString&, bool) override { return Op(); }
  TqdResult AliasGetList(TqdAliasList&) override { return Op(); }
  TqdResult AliasGetPath(const qdString&, qdString& aPath) override {
    aPath.clear();
    return Op();
  }
  TqdResult PasswordAdd(const qdString&) override { return Op(); }
  TqdResult PasswordRemove(const qdString&) override { return Op(); }
  TqdResult PasswordRemoveAll() override { return Op(); }
  TqdResult CloseInactiveFolders() override { return Op(); }
  TqdResult CloseInactiveTables() override { return Op(); }
  TqdResult DatabaseOpen(TqdAbstractDatabase*& aDatabase, const qdString& aAliasType, const qdString& aAlias,
                         TqdAbstractTransContext* aTransContext, TqdOpenMode aOpenMode, TqdShareMode aShareMode,
                         uint32_t aTimeout) override {
    aDatabase = nullptr;
    static_cast<TqdFakeServerEngine*>(ServerEngine())
        ->OpenLog.push_back("database " + StringToUtf8(aAliasType) + " " + StringToUtf8(aAlias) + " " +
                            fakeModeName(aOpenMode) + " " + fakeShareName(aShareMode));
    return qdOperationBracket(this, [&]() -> TqdResult {
      MaybeThrow();
      if (qdSameClassName(aAliasType, u"Name") && aAlias != u"Main") return qdeUnknownDb;
      if (ReportNoDatabase) return 0;
      aDatabase = qdCreate<TqdFakeDatabase>(this, aTransContext, aTimeout);
      return 0;
    });
  }
  TqdResult TransContextCreate(TqdAbstractTransContext*& aTransContext, uint32_t aTimeout) override {
    aTransContext = nullptr;
    return qdOperationBracket(this, [&]() -> TqdResult {
      MaybeThrow();
      if (FailTransContextCreate != 0) return FailTransContextCreate;
      aTransContext = qdCreate<TqdFakeTransContext>(this, aTimeout);
      return 0;
    });
  }
  TqdResult GetRegisteredClassList(TqdClassListType, TqdStringList&) override { return Op(); }

  std::function<TqdResult()> Work = [] { return TqdResult{0}; };
  int calls = 0;
  bool ThrowEverywhere = false;
  TqdResult FailTransContextCreate = 0;
  // DatabaseOpen answers success without a database.
  bool ReportNoDatabase = false;
  int32_t ClientVersion = 0;

 private:
  void MaybeThrow() {
    if (ThrowEverywhere) throw std::logic_error("fake engine failure");
  }
  TqdResult Op() {
    return qdOperationBracket(this, [&] {
      MaybeThrow();
      return TqdResult{0};
    });
  }
};

inline TqdResult TqdFakeServerEngine::SessionOpenEx(TqdAbstractSession*& aSession, const qdString& aUserName,
                                                    const qdString& aPassword, const qdString& aConnectedFrom,
                                                    uint32_t aTimeout, int32_t aClientVersion) {
  aSession = nullptr;
  return qdContractCall(nullptr, [&]() -> TqdResult {
    auto* session = qdCreate<TqdFakeSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom);
    session->ClientVersion = aClientVersion;
    aSession = session;
    return 0;
  });
}

}  // namespace qd::qdsdFakeEngine
