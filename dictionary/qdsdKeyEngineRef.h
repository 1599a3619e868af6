// The reference key engine: the key of a record is its reference number.
//
// Key image (8 bytes): Int64 reference number of the record (TqdRefNr),
// little-endian. Its one field is named "RefNr" (type Int64). The record
// image is never read; a filtered key still asks its filter.
//
// Classes: TqdRefKeyEngine, EqdRefKeyEngineException. Immutable after
// construction; shared by threads without locks.
#pragma once

#include <cstdint>

#include "dictionary/qdsdKeyEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdRefKeyEngineException, EqdBaseKeyEngineException);

class TqdRefKeyEngine : public TqdBaseKeyEngine {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdRefKeyEngine(TqdBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a reference key descriptor.
  static void CheckValid(TqdBaseKeyDescriptor* aDescriptor);

  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override;
  int32_t GetFieldFromName(qdStringView aFieldName) override;
  int32_t GetMaxFieldCount() override { return 1; }
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  // The key has no bitmap: its one field starts at offset 0.
  int32_t GetFieldsOffset() override { return 0; }

  void CopyKey(const uint8_t* aFrom, uint8_t* aTo) override;
  void ClearKey(uint8_t* aKey) override;
  [[nodiscard]] TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) override;
  using TqdBaseKeyEngine::CompareKey;
  using TqdBaseKeyEngine::CompareKeyToRecord;
  using TqdBaseKeyEngine::CompareRecord;
  int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
  TqdVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) override;

 protected:
  TqdRefKeyEngine(TqdBaseKeyDescriptor* aDescriptor, qdStringView aFieldName);

  TqdFixedKeyField rkeField;
};

void qdsdKeyEngineRefInitialize();
void qdsdKeyEngineRefFinalize();

}  // namespace qd
