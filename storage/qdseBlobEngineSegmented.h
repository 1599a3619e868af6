// The default BLOB engine ("qd1xDefault"): each BLOB is a small tree of
// segments in a heap of the BLOB file, and its number is the heap reference
// of the root segment. The root never moves while the BLOB lives, so a BLOB
// grows and shrinks without its record being rewritten.
//
// Segments (the first byte is the type; integers little-endian):
//
//   type kind                 after the type byte
//      0 empty BLOB           12 ignored bytes (the segment is 13 bytes)
//      1 file BLOB, 8-bit     the file name, zero-padded to at least 12 bytes
//      2 link, 8-bit name     source BLOB number (8), source table name
//      3 small BLOB           bytes 1..11 data, byte 12 the count n, 1..11
//      4 data                 the data; a type-4 root holds at least 12 bytes
//      5 index                k >= 1 entries of 12 bytes: child reference (8),
//                             end offset of the child's range (4)
//      6 file BLOB, UTF-16    the name, zero-padded to at least 12 bytes
//      7 link, UTF-16 name    source BLOB number (8), source table name
//
// Index entries are in ascending order of end offset; entry i covers the
// BLOB bytes from the end of entry i-1 (or the start of the node's range)
// up to its own end, all leaves sit at one depth and the BLOB's length is
// the root's last end. Tables below version 30000 write types 1 and 2,
// later ones 6 and 7. A root is 13 bytes or more (a link root may be
// shorter), so it can turn into any other kind in place.
//
// Header section (4 bytes, named by the descriptor): the heap's map root.
//
// Everything read is checked before use: sizes that do not fit their type,
// a count byte outside 1..11, index entries that do not ascend inside their
// parent's range, a leaf whose size differs from its range, a child outside
// the file and trees deeper than 16 index levels raise 8962; an unknown
// type byte gives 11896 as the failure table says.
//
// Classes: TqdSegmentedBlobEngine, TqdSegmentedBlobHeapHeaderHandler,
// EqdSegmentedBlobEngineException. The engine owns its heap engine; all
// state lives in blocks of the caller's transaction. No locks.
#pragma once

#include <memory>

#include "storage/qdsrBlobEngineBase.h"
#include "storage/qdsrHeapEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdSegmentedBlobEngineException, EqdBaseBlobEngineException);

class TqdSegmentedBlobEngine;

class TqdSegmentedBlobHeapHeaderHandler : public TqdHeapHeaderHandler {
 public:
  explicit TqdSegmentedBlobHeapHeaderHandler(TqdSegmentedBlobEngine* aEngine);

  void DataBlockAdded(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess, PqdBlock aBlock) override;
  void DataBlockRemoved(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess, PqdBlock aBlock) override;
  TqdBlockNumber GetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess) override;
  void SetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess, TqdBlockNumber aBlockNumber) override;

 private:
  uint16_t bhhhHeaderSection;
};

class TqdSegmentedBlobEngine : public TqdBaseBlobEngine {
 public:
  static const TqdBlobEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // With aTrans (a new table) the header section is created and zeroed;
  // without, it is looked up.
  TqdSegmentedBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                         TqdBaseTransaction* aTrans);
  ~TqdSegmentedBlobEngine() override;

  static void CheckValidDescriptor(TqdBaseBlobDescriptor* aDescriptor);

  void AddBlob(TqdBaseTransaction* aTrans, TqdBlobNr& aBlobNr) override;
  void AddBlobLink(TqdBaseTransaction* aTrans, const qdString& aTableName, TqdBlobNr aTableBlobNr,
                   TqdBlobNr& aBlobNr) override;
  void AddFileBlob(TqdBaseTransaction* aTrans, const qdString& aFileName, TqdBlobNr& aBlobNr) override;
  void DeleteBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) override;
  bool FreeBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) override;
  [[nodiscard]] TqdResult GetBlobLength(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr,
                                        const TqdBlobLinkGetLength& aLengthMethod, uint32_t& aLength) override;
  bool IsFileBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aFileName) override;
  bool IsBlobLink(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aSrcTableName,
                  TqdBlobNr& aSrcTableBlobNr) override;
  [[nodiscard]] TqdResult Read(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                               const TqdBlobLinkRead& aReadMethod, TStream& aStream) override;
  void Truncate(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aLen) override;
  void Write(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override;
  void Rollback(TqdBaseTransaction* aTrans) override;
  void IncBlobNr(TqdBlobNr& aBlobNr) override;

  virtual TqdSegmentedBlobHeapHeaderHandler* CreateHeaderHandler();

  uint16_t HeaderSection() const { return beHeaderSection; }
  TqdBaseHeapEngine* HeapEngine() const { return beHeapEngine.get(); }

 private:
  class TqdTree;
  friend class TqdTree;

  uint16_t beHeaderSection = 0;
  std::unique_ptr<TqdBaseHeapEngine> beHeapEngine;
};

void qdseBlobEngineSegmentedInitialize();
void qdseBlobEngineSegmentedFinalize();

}  // namespace qd
