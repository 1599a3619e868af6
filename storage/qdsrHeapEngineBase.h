// The heap engine family: a heap of variable-length segments spread over
// many blocks of one file, its registry and its creation, and the header
// handler through which the heap's owner (a record or BLOB engine) keeps
// the heap's anchor in its own header section.
//
// Ownership: the heap engine belongs to the engine that created it and owns
// its block heap engine and its header handler.
#pragma once

#include <memory>
#include <vector>

#include "storage/qdsrBlockHeapEngineBase.h"

namespace qd {

class TqdBaseHeapDescriptor;
class TqdBaseHeapEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseHeapEngineException, EqdBaseSubEngineException);

// Subclassed by a heap's owner.
class TqdHeapHeaderHandler : public TqdObject {
 public:
  // A new heap data block was created; the owner links it.
  virtual void DataBlockAdded(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess, PqdBlock aBlock) = 0;
  // A heap data block is about to be deleted; the owner unlinks it.
  virtual void DataBlockRemoved(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess,
                                PqdBlock aBlock) = 0;
  // Bytes at the start of each heap data block before the block heap.
  virtual uint16_t DataBlockHeaderSize() { return 16; }
  virtual TqdBlockNumber GetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess) = 0;
  virtual void SetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess, TqdBlockNumber aBlockNumber) = 0;

  TqdBaseHeapEngine* hhhEngine = nullptr;
};

struct TqdHeapEngineClass : TqdClassInfo {
  TqdBaseHeapEngine* (*Create)(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                               TqdHeapHeaderHandler* aHeaderHandler) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseHeapDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseHeapEngine* qdNewHeapEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                   TqdHeapHeaderHandler* aHeaderHandler) {
  return new T(aDescriptor, aDataFile, aHeaderHandler);
}

class TqdBaseHeapEngine : public TqdBaseSubEngine {
 public:
  static const TqdHeapEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Takes ownership of aHeaderHandler; creates the block heap engine of the
  // descriptor's block heap descriptor.
  TqdBaseHeapEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                    TqdHeapHeaderHandler* aHeaderHandler);
  ~TqdBaseHeapEngine() override;

  static const TqdHeapEngineClass* FindEngineClass(qdStringView aName);
  // Nil for a nil descriptor (the handler is freed then); 15503 for an
  // unknown name.
  static TqdBaseHeapEngine* CreateEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                         TqdHeapHeaderHandler* aHeaderHandler);
  static void CheckValidBaseFromDescriptor(TqdBaseHeapDescriptor* aDescriptor);
  // 10004 "A block heap descriptor is required" without a block heap
  // descriptor; else the block heap family's check.
  static void CheckValidDescriptor(TqdBaseHeapDescriptor* aDescriptor);

  virtual void BlockHeapChanged(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                uint16_t aRecoverableSpace) = 0;
  virtual TqdHeapRef AllocSegment(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                                  const std::vector<uint16_t>& aSizes) = 0;
  virtual TqdHeapRef AllocSegmentEx(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                                    const std::vector<uint32_t>& aSizes, uint16_t aMinSize, uint16_t& aSize,
                                    uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) = 0;
  virtual TqdHeapRef ReAllocSegmentEx(TqdBaseTransaction* aTrans, PqdBlock aBlock, TqdSegmentRef aSegment,
                                      const std::vector<const void*>& aPointers, const std::vector<uint32_t>& aSizes,
                                      uint16_t aMinSize, uint16_t& aSize, uint16_t aHeaderSize, uint16_t aItemSize,
                                      bool aNoSplit) = 0;
  // The segment's data inside its block, held by aBlock (a writable private
  // version with aMarkDirty).
  virtual PqdHeapSegment GetSegment(TqdBaseTransaction* aTrans, TqdHeapRef aHeapRef, bool aMarkDirty,
                                    uint16_t& aSegmentSize, TqdBlockRef& aBlock) = 0;
  virtual TqdBlockRef ReadBlockHeap(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty) = 0;
  virtual void Rollback(TqdBaseTransaction* aTrans) = 0;
  virtual void IncHeapRef(TqdHeapRef& aHeapRef);
  virtual TqdBlockSignature SigDataBlock() = 0;

  // Forwarded to the header handler.
  virtual void DoDataBlockAdded(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess, PqdBlock aBlock);
  virtual void DoDataBlockRemoved(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess, PqdBlock aBlock);
  virtual TqdBlockNumber GetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess);
  virtual void SetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess, TqdBlockNumber aBlockNumber);
  uint16_t DataBlockHeaderSize();

  TqdBaseBlockHeapEngine* BlockHeapEngine() const { return bheBlockHeapEngine.get(); }
  TqdBlockAccess* DataFile() const { return bheDataFile; }
  TqdHeapHeaderHandler* HeaderHandler() const { return bheHeaderHandler.get(); }
  TqdHeapRef HeapRefMask() const { return bheHeapRefMask; }

 protected:
  std::unique_ptr<TqdHeapHeaderHandler> bheHeaderHandler;
  std::unique_ptr<TqdBaseBlockHeapEngine> bheBlockHeapEngine;
  TqdBlockAccess* bheDataFile;
  TqdHeapRef bheHeapRefMask = -1;
};

void qdsrHeapEngineBaseInitialize();
void qdsrHeapEngineBaseFinalize();

}  // namespace qd
