// The pass-through BLOB handler: every client BLOB request goes straight
// to the table's BLOB engine within the caller's transaction; nothing is
// kept aside, so a record change needs no BLOB work except deleting the
// BLOBs of a deleted record.
//
// Classes: TqdPassthroughBlobHandler. The BLOB engine, the link handler and
// the fields descriptor belong to the table and the database; the handler
// belongs to its cursor. No locks.
#pragma once

#include "storage/qdsrBlobHandlerBase.h"

namespace qd {

class TqdFieldsDescriptor;

class TqdPassthroughBlobHandler : public TqdBaseBlobHandler {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdPassthroughBlobHandler(TqdExtendableServerObject* aParent, TqdBaseBlobEngine* aBlobEngine,
                            TqdBaseBlobLinkHandler* aBlobLinkHandler, TqdFieldsDescriptor* aFieldsDescriptor);

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
  // Write at 0 then truncate to aLen; creates the BLOB for number 0.
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
  // Deletes every BLOB of the record; a failure marks the transaction
  // corrupted and returns its code.
  [[nodiscard]] TqdResult AfterDelete(TqdBaseTransaction* aTrans, const TqdRecID& aRecID,
                                      PqdRecordBuffer aRecord) override;
  [[nodiscard]] TqdResult BeforeInsert(TqdBaseTransaction* aTrans, PqdRecordBuffer aRecord) override;
  [[nodiscard]] TqdResult BeforeModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, PqdRecordBuffer aOldRecord,
                                       PqdRecordBuffer aNewRecord) override;
  [[nodiscard]] TqdResult AfterModify(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, PqdRecordBuffer aOldRecord,
                                      PqdRecordBuffer aNewRecord) override;
  bool NeedNested() override;

 private:
  TqdResult ReadOldRefused(qdStringView aOperation);
  TqdBlobLinkRead LinkReader();
  TqdBlobLinkGetLength LinkMeasurer();

  TqdBaseBlobEngine* ptbhBlobEngine;
  TqdBaseBlobLinkHandler* ptbhBlobLinkHandler;
  TqdFieldsDescriptor* ptbhFieldsDescriptor;
  TqdBlobFields ptbhBlobFields;
};

}  // namespace qd
