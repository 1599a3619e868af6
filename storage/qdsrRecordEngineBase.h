// The record engine family: the abstract record engine every table's record
// storage implements, its registry and its creation from a record
// descriptor. Concrete engines: storage/qdseRecordEngineStatic.h.
//
// A record engine stores fixed-layout record images (TqdFieldsDescriptor)
// and hands out a 64-bit reference (TqdRefNr, 0 = no record) whose inner
// layout belongs to the engine. Every image it adds, reads, updates or
// presents shows the record's own reference in the table's RefNr field, when
// the table has one (breSetRefNrField).
//
// Ownership: the engine belongs to the table object; it points into the
// dictionary the table keeps (breFieldsDescriptor) and at one of the
// table's block accesses (breDataFile); it owns TempRecBuf. No lock of its
// own: the server serialises a table's writers, the block cache isolates
// transactions.
#pragma once

#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseRecordDescriptor;
class TqdFieldDescriptor;
class TqdFieldsDescriptor;
class TqdBaseRecordEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordEngineException, EqdBaseSubEngineException);

// The class record of a record engine.
struct TqdRecordEngineClass : TqdClassInfo {
  TqdBaseRecordEngine* (*Create)(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                 TqdBaseTransaction* aTrans) = nullptr;
  // Checks (and may adjust) a table descriptor for this engine; nil checks
  // nothing.
  void (*CheckValidDescriptor)(TqdBaseTableDescriptor* aTableDescriptor) = nullptr;
};

template <class T>
TqdBaseRecordEngine* qdNewRecordEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                       TqdBaseTransaction* aTrans) {
  return new T(aDescriptor, aFiles, aTrans);
}

class TqdBaseRecordEngine : public TqdBaseSubEngine {
 public:
  static const TqdRecordEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // The data file is aFiles[the descriptor's file number]; the layout
  // comes from the fields descriptor related to aDescriptor.
  TqdBaseRecordEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                      TqdBaseTransaction* aTrans);
  ~TqdBaseRecordEngine() override;

  // --- Class level ---
  static const TqdRecordEngineClass* FindEngineClass(qdStringView aName);
  // The engine of the table's record descriptor; nil without one; 15503
  // for an unknown name.
  static TqdBaseRecordEngine* CreateEngine(TqdBaseTableDescriptor* aTableDescriptor, const TqdBlockAccessList& aFiles,
                                           TqdBaseTransaction* aTrans);
  static TqdBaseRecordEngine* CreateEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                           TqdBaseTransaction* aTrans);
  // Nil: nothing; else the named class's table check on the descriptor's
  // table (15503 for an unknown name).
  static void CheckValidFromDescriptor(TqdBaseRecordDescriptor* aDescriptor);
  static void CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor);

  // --- The record operations ---
  // Whether a field can be appended without rewriting the records.
  virtual bool CanAddField(TqdFieldDescriptor* aFieldDesc);
  virtual void AddRecord(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBuffer aRecData) = 0;
  virtual void DeleteRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr) = 0;
  // The first record after aFromRefNr in physical order (from the start for
  // 0); aRefNr 0 at the end. aRecData may be nil.
  virtual void ReadNextRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                              PqdRecordBuffer aRecData) = 0;
  virtual void ReadPrevRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                              PqdRecordBuffer aRecData) = 0;
  virtual void ReadRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecData) = 0;
  // aOldRecord, when not nil, receives the previous image.
  virtual void UpdateRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aNewRecord,
                            PqdRecordBuffer aOldRecord) = 0;
  virtual void GetRecordCount(TqdBaseTransaction* aTrans, uint32_t& aCount) = 0;
  // Walks the records in physical order, calling aIterator for each that
  // passes aFilter (nil or inactive: all). With aKeepPosition and a non-zero
  // aRefNr the walk resumes after aRefNr; aSkipFirst (only with
  // aKeepPosition) suppresses the call for the starting reference. aData
  // pointing to a buffer: the image is copied into it; pointing to nil: it
  // receives a pointer to an image valid only during the call. aRefNr ends
  // at the record where the iterator answered rirStop, or 0.
  virtual void Iterate(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                       TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter, bool aKeepPosition,
                       bool aSkipFirst) = 0;
  virtual void IterateBackward(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                               TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter,
                               bool aKeepPosition, bool aSkipFirst) = 0;
  // The 1-based position of aRefNr among the records passing aFilter
  // (counted from the end with aFlipOrder); 0 or an error number.
  [[nodiscard]] virtual TqdResult RecNoGet(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, TqdBaseFilterEngine* aFilter,
                                           uint32_t& aRecNo, bool aFlipOrder) = 0;
  [[nodiscard]] virtual TqdResult RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo, TqdRefNr& aRefNr,
                                           TqdBaseFilterEngine* aFilter, bool aFlipOrder) = 0;
  // The owner under which this engine's blocks are recognised when a
  // damaged table is rebuilt (0: blocks cannot be attributed).
  virtual int32_t GetRecoverID() = 0;
  // Every record of one raw block image, each with reference 0, without the
  // block cache.
  virtual TqdRecordIteratorResult RecoverIterate(const uint8_t* aBlock, TqdBlockNumber aBlockNumber,
                                                 PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
                                                 void* aCookie) = 0;
  virtual TqdRecordIteratorResult ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr,
                                                       PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
                                                       void* aCookie, TqdBaseFilterEngine* aFilter) = 0;
  // Rewrites every record in place through aCallback; 12289 in the base.
  virtual void ReplaceAllRecords(TqdBaseTransaction* aTrans, TqdGetRecordCallback aCallback, void* aCookie);
  // Forgets state cached for the transaction; nothing in the base.
  virtual void Rollback(TqdBaseTransaction* aTrans);

  // --- Helpers ---
  uint32_t breGetRecordCount(TqdBaseTransaction* aTrans);
  // Writes aRefNr into aRecord's RefNr field when the table has one and
  // aRecord is not nil.
  void breSetRefNrField(PqdRecordBuffer aRecord, TqdRefNr aRefNr) const;

  TqdBlockAccess* DataFile() const { return breDataFile; }
  uint16_t RecordLength() const { return breRecordLength; }
  const TqdMemoryPool& RecordAllocator() const { return breRecordAllocator; }
  TqdFieldsDescriptor* FieldsDescriptor() const { return breFieldsDescriptor; }
  int32_t RefNrField() const { return breRefNrField; }

  void DescribeTo(IqdExceptionDataContainer* aContainer) override;

 protected:
  TqdBlockAccess* breDataFile = nullptr;
  uint16_t breRecordLength = 0;
  TqdMemoryPool breRecordAllocator;
  TqdFieldsDescriptor* breFieldsDescriptor = nullptr;
  int32_t breRefNrField = -1;

 public:
  // One scratch record from the pool, returned on destruction.
  PqdRecordBuffer TempRecBuf = nullptr;
};

void qdsrRecordEngineBaseInitialize();
void qdsrRecordEngineBaseFinalize();

}  // namespace qd
