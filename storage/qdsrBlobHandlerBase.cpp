#include "storage/qdsrBlobHandlerBase.h"

#include "dictionary/qdsdDataDictionary_Fields.h"

namespace qd {

const TqdClassInfo TqdBaseBlobLinkHandler::ClassInfo{u"TqdBaseBlobLinkHandler", &TqdExtendableServerObject::ClassInfo,
                                                     nullptr};
const TqdClassInfo TqdBaseBlobHandler::ClassInfo{u"TqdBaseBlobHandler", &TqdExtendableServerObject::ClassInfo, nullptr};
const TqdClassInfo TqdNullBlobHandler::ClassInfo{u"TqdNullBlobHandler", &TqdBaseBlobHandler::ClassInfo, nullptr};

// --- Link handler ------------------------------------------------------------------------

TqdBlobLinkRead TqdBaseBlobLinkHandler::ReadMethod() {
  return [this](const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, TStream& aStream) {
    return TqdResult(BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream));
  };
}

TqdBlobLinkGetLength TqdBaseBlobLinkHandler::LengthMethod() {
  return [this](const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t& aLength) {
    return TqdResult(BlobLinkGetLength(aTableName, aBlobNr, aLength));
  };
}

// --- Base handler ------------------------------------------------------------------------

TqdAbstractCursor* TqdBaseBlobHandler::Cursor() const { return dynamic_cast<TqdAbstractCursor*>(Parent()); }

TqdResult TqdBaseBlobHandler::GetBlobs(TqdBaseTransaction* /*aTrans*/, PqdRecordBuffer aData,
                                       const uint32_t* aMarkedBlobs, uint16_t& aBlobCount, TqdBlobNr* aBlobNrs) {
  const uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if (aData == nullptr) return qdeInvalidParam;
  TqdAbstractCursor* cursor = Cursor();
  TqdFieldsDescriptor* fields = cursor != nullptr ? cursor->FieldsDescriptor() : nullptr;
  TqdSpecialFieldsInfo* info = cursor != nullptr ? cursor->SFI() : nullptr;
  if (fields == nullptr || info == nullptr) return 0;
  for (size_t i = 0; i < info->sfiBlobFields.size(); ++i) {
    if (aMarkedBlobs != nullptr && (aMarkedBlobs[i / 32] & (uint32_t(1) << (i % 32))) == 0) continue;
    bool isNull = true;
    TqdBlobNr blobNr = 0;
    fields->GetRecordField(info->sfiBlobFields[i], aData, isNull, &blobNr);
    if (isNull || blobNr == 0) continue;
    if (aBlobCount == capacity || aBlobNrs == nullptr) return qdeOutOfRange;
    aBlobNrs[aBlobCount++] = blobNr;
  }
  return 0;
}

TqdResult TqdBaseBlobHandler::BlobsCancel(TqdBaseTransaction* /*aTrans*/, TqdRefNr /*aRefNr*/) { return 0; }

TqdResult TqdBaseBlobHandler::GetBlobCacheInfos(TqdBaseTransaction* /*aTrans*/, const TqdRecID& /*aRecID*/,
                                                TqdBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  return NotSupportedError(u"GetBlobCacheInfos");
}

TqdResult TqdBaseBlobHandler::BlobCacheFlushed(TqdBaseTransaction* /*aTrans*/, const TqdRecID& /*aRecID*/,
                                               int32_t /*aFieldNo*/, TqdBlobNr /*aBlobNr*/, TqdBlobNr* /*aNewBlobNr*/) {
  return NotSupportedError(u"BlobCacheFlushed");
}

TqdResult TqdBaseBlobHandler::BlobAddToCache(TqdBaseTransaction* /*aTrans*/, const TqdRecID& /*aRecID*/,
                                             int32_t /*aFieldNo*/, TqdBlobNr /*aBlobNr*/, uint32_t /*aLen*/,
                                             const void* /*aBlob*/) {
  return NotSupportedError(u"BlobAddToCache");
}

// --- Null handler ------------------------------------------------------------------------

TqdResult TqdNullBlobHandler::GetBlobs(TqdBaseTransaction*, PqdRecordBuffer, const uint32_t*, uint16_t& aBlobCount,
                                       TqdBlobNr*) {
  aBlobCount = 0;
  return 0;
}

bool TqdNullBlobHandler::BlobVerifyNr(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr) { return false; }

TqdResult TqdNullBlobHandler::BlobCreate(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr&) {
  return NotSupportedError(u"BlobCreate");
}

TqdResult TqdNullBlobHandler::BlobCreateFile(TqdBaseTransaction*, const TqdRecID&, int32_t, const qdString&,
                                             TqdBlobNr&) {
  return NotSupportedError(u"BlobCreateFile");
}

TqdResult TqdNullBlobHandler::BlobCreateLink(TqdBaseTransaction*, const TqdRecID&, int32_t, const qdString&, TqdBlobNr,
                                             TqdBlobNr&) {
  return NotSupportedError(u"BlobCreateLink");
}

TqdResult TqdNullBlobHandler::BlobDelete(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr) {
  return NotSupportedError(u"BlobDelete");
}

TqdResult TqdNullBlobHandler::BlobFree(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, bool&) {
  return NotSupportedError(u"BlobFree");
}

TqdResult TqdNullBlobHandler::BlobTruncate(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, uint32_t) {
  return NotSupportedError(u"BlobTruncate");
}

TqdResult TqdNullBlobHandler::BlobWrite(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, uint32_t, uint32_t,
                                        const void*) {
  return NotSupportedError(u"BlobWrite");
}

TqdResult TqdNullBlobHandler::BlobReplace(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr&, uint32_t,
                                          const void*) {
  return NotSupportedError(u"BlobReplace");
}

TqdResult TqdNullBlobHandler::BlobGetLength(TqdBaseTransaction*, const TqdRecID&, int32_t, bool, TqdBlobNr, uint32_t&) {
  return NotSupportedError(u"BlobGetLength");
}

bool TqdNullBlobHandler::BlobIsLink(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, qdString& aSrcTableName,
                                    TqdBlobNr&) {
  aSrcTableName.clear();
  return false;
}

TqdResult TqdNullBlobHandler::BlobRead(TqdBaseTransaction*, const TqdRecID&, int32_t, bool, TqdBlobNr, uint32_t,
                                       uint32_t, TStream&, uint32_t*) {
  return NotSupportedError(u"BlobRead");
}

TqdResult TqdNullBlobHandler::BlobModified(TqdBaseTransaction*, const TqdRecID&, int32_t, TqdBlobNr, bool&) {
  return NotSupportedError(u"BlobModified");
}

TqdResult TqdNullBlobHandler::AfterDelete(TqdBaseTransaction*, const TqdRecID&, PqdRecordBuffer) { return 0; }
TqdResult TqdNullBlobHandler::BeforeInsert(TqdBaseTransaction*, PqdRecordBuffer) { return 0; }
TqdResult TqdNullBlobHandler::BeforeModify(TqdBaseTransaction*, const TqdRecID&, PqdRecordBuffer, PqdRecordBuffer) {
  return 0;
}
TqdResult TqdNullBlobHandler::AfterModify(TqdBaseTransaction*, const TqdRecID&, PqdRecordBuffer, PqdRecordBuffer) {
  return 0;
}
bool TqdNullBlobHandler::NeedNested() { return false; }

}  // namespace qd
