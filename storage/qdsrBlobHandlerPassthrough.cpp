#include "storage/qdsrBlobHandlerPassthrough.h"

#include "dictionary/qdsdDataDictionary_Fields.h"

namespace qd {

const TqdClassInfo TqdPassthroughBlobHandler::ClassInfo{u"TqdPassthroughBlobHandler", &TqdBaseBlobHandler::ClassInfo,
                                                        nullptr};

TqdPassthroughBlobHandler::TqdPassthroughBlobHandler(TqdExtendableServerObject* aParent, TqdBaseBlobEngine* aBlobEngine,
                                                     TqdBaseBlobLinkHandler* aBlobLinkHandler,
                                                     TqdFieldsDescriptor* aFieldsDescriptor)
    : TqdBaseBlobHandler(aParent),
      ptbhBlobEngine(aBlobEngine),
      ptbhBlobLinkHandler(aBlobLinkHandler),
      ptbhFieldsDescriptor(aFieldsDescriptor) {
  if (aFieldsDescriptor != nullptr) aFieldsDescriptor->HasBlobFields(ptbhBlobFields);
}

TqdBlobLinkRead TqdPassthroughBlobHandler::LinkReader() {
  return ptbhBlobLinkHandler != nullptr ? ptbhBlobLinkHandler->ReadMethod() : TqdBlobLinkRead();
}

TqdBlobLinkGetLength TqdPassthroughBlobHandler::LinkMeasurer() {
  return ptbhBlobLinkHandler != nullptr ? ptbhBlobLinkHandler->LengthMethod() : TqdBlobLinkGetLength();
}

TqdResult TqdPassthroughBlobHandler::ReadOldRefused(qdStringView aOperation) {
  return EqdBaseException::qdSetMessage(qdeNotSupported, u"%s with aReadOld = True is not supported by %s",
                                        {qdString(aOperation), ClassName()});
}

bool TqdPassthroughBlobHandler::BlobVerifyNr(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr) { return true; }

TqdResult TqdPassthroughBlobHandler::BlobCreate(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t,
                                                TqdBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlob(aTrans, aBlobNr);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobCreateFile(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t,
                                                    const qdString& aFileName, TqdBlobNr& aBlobNr) {
  ptbhBlobEngine->AddFileBlob(aTrans, aFileName, aBlobNr);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobCreateLink(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t,
                                                    const qdString& aTableName, TqdBlobNr aTableBlobNr,
                                                    TqdBlobNr& aBlobNr) {
  ptbhBlobEngine->AddBlobLink(aTrans, aTableName, aTableBlobNr, aBlobNr);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobDelete(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t,
                                                TqdBlobNr aBlobNr) {
  ptbhBlobEngine->DeleteBlob(aTrans, aBlobNr);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobFree(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t, TqdBlobNr aBlobNr,
                                              bool& aBlobDeleted) {
  aBlobDeleted = ptbhBlobEngine->FreeBlob(aTrans, aBlobNr);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobTruncate(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t,
                                                  TqdBlobNr aBlobNr, uint32_t aBlobLength) {
  ptbhBlobEngine->Truncate(aTrans, aBlobNr, aBlobLength);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobWrite(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t, TqdBlobNr aBlobNr,
                                               uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  ptbhBlobEngine->Write(aTrans, aBlobNr, aOffset, aLen, aBlob);
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BlobReplace(TqdBaseTransaction* aTrans, const TqdRecID& aRecID, int32_t aFieldNo,
                                                 TqdBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) {
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  if (aBlobNr == 0) {
    const TqdResult created = BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr);
    if (created != 0) return created;
    return BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
  }
  const TqdResult written = BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
  if (written != 0) return written;
  return BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aLen);
}

TqdResult TqdPassthroughBlobHandler::BlobGetLength(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t, bool aReadOld,
                                                   TqdBlobNr aBlobNr, uint32_t& aLength) {
  if (aReadOld) return ReadOldRefused(u"BlobGetLength");
  return ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, LinkMeasurer(), aLength);
}

bool TqdPassthroughBlobHandler::BlobIsLink(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t, TqdBlobNr aBlobNr,
                                           qdString& aSrcTableName, TqdBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  return ptbhBlobEngine->IsBlobLink(aTrans, aBlobNr, aSrcTableName, aSrcTableBlobNr);
}

TqdResult TqdPassthroughBlobHandler::BlobRead(TqdBaseTransaction* aTrans, const TqdRecID&, int32_t, bool aReadOld,
                                              TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream& aStream,
                                              uint32_t* aBlobLen) {
  if (aReadOld) return ReadOldRefused(u"BlobRead");
  if (aBlobLen != nullptr) {
    const TqdResult measured = ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, LinkMeasurer(), *aBlobLen);
    if (measured != 0) return measured;
  }
  return ptbhBlobEngine->Read(aTrans, aBlobNr, aOffset, aLen, LinkReader(), aStream);
}

TqdResult TqdPassthroughBlobHandler::BlobModified(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, bool&) {
  return NotSupportedError(u"BlobModified");
}

TqdResult TqdPassthroughBlobHandler::AfterDelete(TqdBaseTransaction* aTrans, const TqdRecID&, PqdRecordBuffer aRecord) {
  try {
    for (int32_t field : ptbhBlobFields) {
      bool isNull = true;
      TqdBlobNr blobNr = 0;
      ptbhFieldsDescriptor->GetRecordField(field, aRecord, isNull, &blobNr);
      if (!isNull && blobNr != 0) ptbhBlobEngine->DeleteBlob(aTrans, blobNr);
    }
  } catch (...) {
    const TqdResult code = asoConvertException(std::current_exception());
    if (aTrans != nullptr) aTrans->MarkCorrupted();
    return code;
  }
  return 0;
}

TqdResult TqdPassthroughBlobHandler::BeforeInsert(TqdBaseTransaction*, PqdRecordBuffer) { return 0; }
TqdResult TqdPassthroughBlobHandler::BeforeModify(TqdBaseTransaction*, const TqdRecID&, PqdRecordBuffer,
                                                  PqdRecordBuffer) {
  return 0;
}
TqdResult TqdPassthroughBlobHandler::AfterModify(TqdBaseTransaction*, const TqdRecID&, PqdRecordBuffer,
                                                 PqdRecordBuffer) {
  return 0;
}
bool TqdPassthroughBlobHandler::NeedNested() { return false; }

}  // namespace qd
