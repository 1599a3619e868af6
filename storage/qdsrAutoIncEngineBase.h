// The auto-increment engine family: the abstract counter a table's AutoInc
// field draws from, its registry and its creation from an auto-increment
// descriptor. Concrete engines: storage/qdseAutoIncEngineSimple.h.
//
// Ownership: the engine belongs to the table object and points at one of
// the table's block accesses (baieDataFile). No lock of its own.
#pragma once

#include "storage/qdsrSubEngineBase.h"

namespace qd {

class TqdBaseAutoIncDescriptor;
class TqdBaseAutoIncEngine;

QD_DECLARE_EXCEPTION_CLASS(EqdBaseAutoIncEngineException, EqdBaseSubEngineException);

struct TqdAutoIncEngineClass : TqdClassInfo {
  TqdBaseAutoIncEngine* (*Create)(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                  TqdBaseTransaction* aTrans) = nullptr;
  void (*CheckValidDescriptor)(TqdBaseAutoIncDescriptor* aDescriptor) = nullptr;
};

template <class T>
TqdBaseAutoIncEngine* qdNewAutoIncEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                         TqdBaseTransaction* aTrans) {
  return new T(aDescriptor, aFiles, aTrans);
}

class TqdBaseAutoIncEngine : public TqdBaseSubEngine {
 public:
  static const TqdAutoIncEngineClass ClassInfo;
  static const TqdSubEngineFamily Family;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // The data file is aFiles[the descriptor's file number].
  TqdBaseAutoIncEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                       TqdBaseTransaction* aTrans);

  static const TqdAutoIncEngineClass* FindEngineClass(qdStringView aName);
  // Nil without a descriptor; 15503 for an unknown name.
  static TqdBaseAutoIncEngine* CreateEngine(TqdBaseTableDescriptor* aTableDescriptor, const TqdBlockAccessList& aFiles,
                                            TqdBaseTransaction* aTrans);
  static TqdBaseAutoIncEngine* CreateEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                            TqdBaseTransaction* aTrans);
  static void CheckValidFromDescriptor(TqdBaseAutoIncDescriptor* aDescriptor);
  static void CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor);

  // Allocates the next value inside the transaction; aCurrentAutoInc, when
  // not nil, receives the stored value before the increment.
  virtual uint32_t NextAutoIncValue(TqdBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) = 0;
  // The last value handed out.
  virtual uint32_t ReadAutoIncValue(TqdBaseTransaction* aTrans) = 0;
  virtual void SetAutoIncValue(TqdBaseTransaction* aTrans, uint32_t aValue) = 0;

  TqdBlockAccess* DataFile() const { return baieDataFile; }

 protected:
  TqdBlockAccess* baieDataFile = nullptr;
};

void qdsrAutoIncEngineBaseInitialize();
void qdsrAutoIncEngineBaseFinalize();

}  // namespace qd
