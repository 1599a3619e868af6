// The cursor side of BLOBs: the handler interface a table cursor calls for
// every client BLOB request and every record change that can touch BLOBs,
// the link handler through which a BLOB engine follows a BLOB link into
// another table, and the null handler of tables without BLOB fields.
//
// A handler decides whether a change goes straight to the BLOB engine, is
// kept aside until the record is posted, or lives in a local cache; the
// pass-through handler (storage/qdsrBlobHandlerPassthrough.h) is the plain
// case. Every operation answers 0 or an error number; an unsupported one
// leaves "<operation> not supported by <class>" with 12289 on the thread
// and raises nothing.
//
// Classes: TqdBaseBlobLinkHandler, TqdBaseBlobHandler, TqdNullBlobHandler.
// A handler belongs to its cursor (its parent), which frees it; handlers
// run only on the thread that holds the cursor's session and have no locks.
#pragma once

#include <cstdint>

#include "client/qdsdServerEngine.h"
#include "storage/qdsrBlobEngineBase.h"

namespace qd {

class TqdBaseBlobLinkHandler : public TqdExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdExtendableServerObject::TqdExtendableServerObject;

  // Reads a range of BLOB aBlobNr of table aTableName into aStream.
  virtual uint32_t BlobLinkRead(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                TStream& aStream) = 0;
  virtual uint32_t BlobLinkGetLength(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t& aLength) = 0;

  // The two operations bound to this handler, as a BLOB engine takes them.
  TqdBlobLinkRead ReadMethod();
  TqdBlobLinkGetLength LengthMethod();
};

class TqdBaseBlobHandler : public TqdExtendableServerObject {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  // aParent is the cursor whose fields descriptor and special-fields info
  // the handler reads.
  using TqdExtendableServerObject::TqdExtendableServerObject;

  // The non-zero BLOB numbers of aData, in field order; aMarkedBlobs (32-bit
  // words, bit i for the i-th BLOB field) limits them when given. On entry
  // aBlobCount is the capacity of aBlobNrs; 9986 for a nil record, 9985
  // when the array is too small (the count holds what was stored).
  [[nodiscard]] virtual TqdResult GetBlobs(TqdBaseTransaction* aTrans, PqdRecordBuffer aData,
                                           const uint32_t* aMarkedBlobs, uint16_t& aBlobCount, TqdBlobNr* aBlobNrs);
  [[nodiscard]] virtual TqdResult BlobsCancel(TqdBaseTransaction* aTrans, TqdRefNr aRefNr);
  virtual bool BlobVerifyNr(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                            TqdBlobNr aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult GetBlobCacheInfos(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                                    TqdBlobCacheInfos& aBCIs);
  [[nodiscard]] virtual TqdResult BlobCacheFlushed(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                   TqdBlobNr aBlobNr, TqdBlobNr* aNewBlobNr);
  [[nodiscard]] virtual TqdResult BlobCreate(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                             TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobCreateFile(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                 const qdString& aFileName, TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobCreateLink(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                 const qdString& aTableName, TqdBlobNr aTableBlobNr,
                                                 TqdBlobNr& aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobDelete(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                             TqdBlobNr aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult BlobFree(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                           TqdBlobNr aBlobNr, bool& aBlobDeleted) = 0;
  [[nodiscard]] virtual TqdResult BlobTruncate(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                               TqdBlobNr aBlobNr, uint32_t aBlobLength) = 0;
  [[nodiscard]] virtual TqdResult BlobWrite(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                            TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, const void* aBlob) = 0;
  [[nodiscard]] virtual TqdResult BlobReplace(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                              TqdBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) = 0;
  [[nodiscard]] virtual TqdResult BlobGetLength(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                bool aReadOld, TqdBlobNr aBlobNr, uint32_t& aLength) = 0;
  virtual bool BlobIsLink(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                          qdString& aSrcTableName, TqdBlobNr& aSrcTableBlobNr) = 0;
  // With aBlobLen the total length is returned there first.
  [[nodiscard]] virtual TqdResult BlobRead(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                           bool aReadOld, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                           TStream& aStream, uint32_t* aBlobLen) = 0;
  [[nodiscard]] virtual TqdResult BlobModified(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                               TqdBlobNr aBlobNr, bool& aChanged) = 0;
  [[nodiscard]] virtual TqdResult BlobAddToCache(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                 TqdBlobNr aBlobNr, uint32_t aLen, const void* aBlob);
  [[nodiscard]] virtual TqdResult AfterDelete(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                              PqdRecordBuffer aRecord) = 0;
  [[nodiscard]] virtual TqdResult BeforeInsert(TqdBaseTransaction* aTrans, PqdRecordBuffer aRecord) = 0;
  [[nodiscard]] virtual TqdResult BeforeModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                               PqdRecordBuffer aOldRecord, PqdRecordBuffer aNewRecord) = 0;
  [[nodiscard]] virtual TqdResult AfterModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                              PqdRecordBuffer aOldRecord, PqdRecordBuffer aNewRecord) = 0;
  // True when the next record change needs a nested transaction level.
  virtual bool NeedNested() = 0;

 protected:
  // The parent cursor, nil when the parent is something else.
  TqdAbstractCursor* Cursor() const;
};

class TqdNullBlobHandler : public TqdBaseBlobHandler {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdBaseBlobHandler::TqdBaseBlobHandler;

  [[nodiscard]] TqdResult GetBlobs(TqdBaseTransaction* aTrans, PqdRecordBuffer aData, const uint32_t* aMarkedBlobs,
                                   uint16_t& aBlobCount, TqdBlobNr* aBlobNrs) override;
  bool BlobVerifyNr(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr) override;
  [[nodiscard]] TqdResult BlobCreate(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                     TqdBlobNr& aBlobNr) override;
  [[nodiscard]] TqdResult BlobCreateFile(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                         const qdString& aFileName, TqdBlobNr& aBlobNr) override;
  [[nodiscard]] TqdResult BlobCreateLink(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                         const qdString& aTableName, TqdBlobNr aTableBlobNr,
                                         TqdBlobNr& aBlobNr) override;
  [[nodiscard]] TqdResult BlobDelete(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                     TqdBlobNr aBlobNr) override;
  [[nodiscard]] TqdResult BlobFree(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                   TqdBlobNr aBlobNr, bool& aBlobDeleted) override;
  [[nodiscard]] TqdResult BlobTruncate(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                       TqdBlobNr aBlobNr, uint32_t aBlobLength) override;
  [[nodiscard]] TqdResult BlobWrite(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                    TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, const void* aBlob) override;
  [[nodiscard]] TqdResult BlobReplace(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                      TqdBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) override;
  [[nodiscard]] TqdResult BlobGetLength(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                        bool aReadOld, TqdBlobNr aBlobNr, uint32_t& aLength) override;
  bool BlobIsLink(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo, TqdBlobNr aBlobNr,
                  qdString& aSrcTableName, TqdBlobNr& aSrcTableBlobNr) override;
  [[nodiscard]] TqdResult BlobRead(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                                   TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream& aStream,
                                   uint32_t* aBlobLen) override;
  [[nodiscard]] TqdResult BlobModified(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                       TqdBlobNr aBlobNr, bool& aChanged) override;
  [[nodiscard]] TqdResult AfterDelete(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                      PqdRecordBuffer aRecord) override;
  [[nodiscard]] TqdResult BeforeInsert(TqdBaseTransaction* aTrans, PqdRecordBuffer aRecord) override;
  [[nodiscard]] TqdResult BeforeModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, PqdRecordBuffer aOldRecord,
                                       PqdRecordBuffer aNewRecord) override;
  [[nodiscard]] TqdResult AfterModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, PqdRecordBuffer aOldRecord,
                                      PqdRecordBuffer aNewRecord) override;
  bool NeedNested() override;
};

}  // namespace qd
