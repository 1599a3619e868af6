// The BLOB cache key engine: the key of a BLOB cache entry, copied from the
// first 28 bytes of its record image (records are laid out like keys).
//
//   offset  size  field       type
//   0       8     "BlobNr"    Int64
//   8       4     "FieldNo"   Int32
//   12      8     "RefNr"     Int64
//   20      8     "InserLSN"  Int64 (the insert LSN)
//
// Keys compare field by field, each signed; a field count k compares the
// first k fields (0 = all four). No filter is asked.
//
// Classes: TqdBlobCacheKeyEngine, EqdBlobCacheKeyEngineException. Immutable
// after construction; shared by threads without locks.
#pragma once

#include <array>
#include <cstdint>

#include "dictionary/qdsdKeyEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdBlobCacheKeyEngineException, EqdBaseKeyEngineException);

class TqdBlobCacheKeyEngine : public TqdBaseKeyEngine {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  static constexpr int32_t kKeyLength = 28;
  static constexpr int32_t kFieldCount = 4;

  explicit TqdBlobCacheKeyEngine(TqdBaseKeyDescriptor* aDescriptor);
  // The descriptor must be a BLOB cache key descriptor.
  static void CheckValid(TqdBaseKeyDescriptor* aDescriptor);

  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override;
  int32_t GetFieldFromName(qdStringView aFieldName) override;
  int32_t GetMaxFieldCount() override { return kFieldCount; }
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  int32_t GetFieldsOffset() override { return 0; }

  void CopyKey(const uint8_t* aFrom, uint8_t* aTo) override;
  void ClearKey(uint8_t* aKey) override;
  [[nodiscard]] TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) override;
  using TqdBaseKeyEngine::CompareKey;
  using TqdBaseKeyEngine::CompareKeyToRecord;
  using TqdBaseKeyEngine::CompareRecord;
  int8_t CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount, int32_t aPartialLen) override;
  int8_t CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
  TqdVariant KeyAsVariant(const uint8_t* aKey, int32_t aField) override;

 private:
  std::array<TqdFixedKeyField, kFieldCount> bckeFields;
};

void qdsdKeyEngineBlobCacheInitialize();
void qdsdKeyEngineBlobCacheFinalize();

}  // namespace qd
