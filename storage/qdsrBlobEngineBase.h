// The BLOB engine family: the abstract store of a table's BLOBs (plain,
// links into other tables, references to external files), its registry and
// its creation from a BLOB descriptor. Concrete engines come in their own
// units.
//
// Ownership: the engine belongs to the table object and points at one of
// the table's block accesses (bbeBlobFile). No lock of its own.
#pragma once

#include <functional>

#include "platform/qdStream.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseBlobDescriptor;
class TqdBaseBlobEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlobEngineException, EqdBaseSubEngineException);

// Resolve BLOB links into other tables (supplied by the caller).
using TqdBlobLinkRead = std::function<TqdResult(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t aOffset,
                                                uint32_t aLen, TStream& aStream)>;
using TqdBlobLinkGetLength = std::function<TqdResult(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t& aLength)>;

struct TqdBlobEngineClass : TqdClassInfo {
  TqdBaseBlobEngine* (*Create)(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                               TqdBaseTransaction* aTrans) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseBlobDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseBlobEngine* qdNewBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                   TqdBaseTransaction* aTrans) {
  return new T(aDescriptor, aFiles, aTrans);
}

class TqdBaseBlobEngine : public TqdBaseSubEngine {
 public:
  static const TqdBlobEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // The BLOB file is aFiles[the descriptor's file number].
  TqdBaseBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans);

  static const TqdBlobEngineClass* FindEngineClass(qdStringView aName);
  static TqdBaseBlobEngine* CreateEngine(TqdBaseTableDescriptor* aTableDescriptor, const TqdBlockAccessList& aFiles,
                                         TqdBaseTransaction* aTrans);
  static TqdBaseBlobEngine* CreateEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                         TqdBaseTransaction* aTrans);
  static void CheckValidFromDescriptor(TqdBaseBlobDescriptor* aDescriptor);
  static void CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor);

  virtual void AddBlob(TqdBaseTransaction* aTrans, TqdBlobNr& aBlobNr) = 0;
  virtual void AddBlobLink(TqdBaseTransaction* aTrans, const qdString& aTableName, TqdBlobNr aTableBlobNr,
                           TqdBlobNr& aBlobNr) = 0;
  virtual void AddFileBlob(TqdBaseTransaction* aTrans, const qdString& aFileName, TqdBlobNr& aBlobNr) = 0;
  virtual void DeleteBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) = 0;
  // Removes the BLOB only when it holds no data, and answers true then.
  virtual bool FreeBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) = 0;
  [[nodiscard]] virtual TqdResult GetBlobLength(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr,
                                                const TqdBlobLinkGetLength& aLengthMethod, uint32_t& aLength) = 0;
  virtual bool IsFileBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aFileName) = 0;
  virtual bool IsBlobLink(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aSrcTableName,
                          TqdBlobNr& aSrcTableBlobNr) = 0;
  // Appends up to aLen bytes from aOffset to aStream.
  [[nodiscard]] virtual TqdResult Read(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                       const TqdBlobLinkRead& aReadMethod, TStream& aStream) = 0;
  virtual void Truncate(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aLen) = 0;
  virtual void Write(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) = 0;
  virtual void Rollback(TqdBaseTransaction* aTrans);
  virtual void IncBlobNr(TqdBlobNr& aBlobNr);

  TqdBlockAccess* BlobFile() const { return bbeBlobFile; }
  TqdBlobNr BlobNrMask() const { return bbeBlobNrMask; }

  // File BLOBs: aFileName is taken relative to the BLOB file's folder and
  // opened read-only and shared for the one call. Read, open and close
  // failures become 15441, 15440 and 15442; anything else raises.
  [[nodiscard]] TqdResult ReadFileBlob(const qdString& aFileName, uint32_t aOffset, uint32_t aLen, TStream& aStream);
  [[nodiscard]] TqdResult GetFileBlobLength(const qdString& aFileName, uint32_t& aLength);

 protected:
  TqdBlockAccess* bbeBlobFile = nullptr;
  TqdBlobNr bbeBlobNrMask = -1;
};

void qdsrBlobEngineBaseInitialize();
void qdsrBlobEngineBaseFinalize();

}  // namespace qd
