// The block heap engine family: a heap of variable-size segments inside one
// block, its registry and its creation. Used by the heap engines
// (storage/qdsrHeapEngineBase.h), never by a table directly.
//
// Ownership: the engine belongs to the heap engine that created it.
#pragma once

#include <functional>

#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseBlockHeapDescriptor;
class TqdBaseBlockHeapEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlockHeapEngineException, EqdBaseSubEngineException);

using TqdBlockHeapChangedEvent =
    std::function<void(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize, uint16_t aRecoverableSpace)>;

struct TqdBlockHeapEngineClass : TqdClassInfo {
  TqdBaseBlockHeapEngine* (*Create)(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint16_t aHeaderSize,
                                    int32_t aTableVersion) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseBlockHeapDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseBlockHeapEngine* qdNewBlockHeapEngine(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                             uint16_t aHeaderSize, int32_t aTableVersion) {
  return new T(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
}

class TqdBaseBlockHeapEngine : public TqdBaseSubEngine {
 public:
  static const TqdBlockHeapEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdBaseBlockHeapEngine(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint16_t aHeaderSize,
                         int32_t aTableVersion);

  static const TqdBlockHeapEngineClass* FindEngineClass(qdStringView aName);
  // Nil for a nil descriptor; 15503 for an unknown name.
  static TqdBaseBlockHeapEngine* CreateEngine(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                              uint16_t aHeaderSize, int32_t aTableVersion);
  static void CheckValidBaseFromDescriptor(TqdBaseBlockHeapDescriptor* aDescriptor);

  // Fires OnChanged when it is set.
  void DoChanged(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize, uint16_t aRecoverableSpace);

  virtual void InitBlock(PqdBlock aBlock) = 0;
  // Nil when the block cannot hold it even after compaction.
  virtual PqdHeapSegment AllocSegment(PqdBlock aBlock, uint16_t aSegmentSize, TqdSegmentRef& aSegment) = 0;
  virtual PqdHeapSegment ReAllocSegment(PqdBlock aBlock, uint16_t aNewSegmentSize, TqdSegmentRef aSegment) = 0;
  virtual void FreeSegment(PqdBlock aBlock, TqdSegmentRef aSegment) = 0;
  virtual PqdHeapSegment GetSegment(PqdBlock aBlock, TqdSegmentRef aSegment, uint16_t& aSegmentSize) = 0;
  virtual PqdHeapSegment GetNextSegment(PqdBlock aBlock, TqdSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  virtual PqdHeapSegment GetPrevSegment(PqdBlock aBlock, TqdSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  virtual uint16_t GetFreespace(PqdBlock aBlock) = 0;
  virtual void IncSegmentRef(TqdSegmentRef& aSegmentRef);
  // Checks the words of a block read from the file before anything uses
  // them; raises 8962 on damage. The base trusts every block.
  virtual void CheckBlock(const uint8_t* aBlock);

  uint32_t BlockSize() const { return bbheBlockSize; }
  uint16_t HeaderSize() const { return bbheHeaderSize; }
  uint16_t MaxSegmentSize() const { return bbheMaxSegmentSize; }
  TqdSegmentRef SegmentRefMask() const { return bbheSegmentRefMask; }
  void SetOnChanged(TqdBlockHeapChangedEvent aEvent) { bbheOnChanged = std::move(aEvent); }

 protected:
  uint32_t bbheBlockSize;
  uint16_t bbheHeaderSize;
  uint16_t bbheMaxSegmentSize = 0;
  TqdBlockHeapChangedEvent bbheOnChanged;
  TqdSegmentRef bbheSegmentRefMask = 0xFFFFFFFF;
};

void qdsrBlockHeapEngineBaseInitialize();
void qdsrBlockHeapEngineBaseFinalize();

}  // namespace qd
