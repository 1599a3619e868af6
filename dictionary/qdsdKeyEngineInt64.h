// The Int64 key engine: the key of a record is the Int64 in the record
// image's first 8 bytes.
//
// Key image (8 bytes): that Int64, little-endian, compared signed. Its one
// field is named "Int64". No filter is asked and the reference number is not
// used; records are compared on their first 8 bytes in place.
//
// Classes: TqdInt64KeyEngine, EqdInt64KeyEngineException. Immutable after
// construction; shared by threads without locks.
#pragma once

#include <cstdint>

#include "dictionary/qdsdKeyEngineRef.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdInt64KeyEngineException, EqdBaseKeyEngineException);

// Shares the reference key's single-field answers; only where the value
// comes from differs.
class TqdInt64KeyEngine : public TqdRefKeyEngine {
 public:
  static const TqdKeyEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  explicit TqdInt64KeyEngine(TqdBaseKeyDescriptor* aDescriptor);
  // The descriptor must be an Int64 key descriptor.
  static void CheckValid(TqdBaseKeyDescriptor* aDescriptor);

  [[nodiscard]] TqdResult BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) override;
  using TqdRefKeyEngine::CompareKeyToRecord;
  using TqdRefKeyEngine::CompareRecord;
  int8_t CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr aRefNr, int32_t aFieldCount,
                            int32_t aPartialLen) override;
  int8_t CompareRecord(const uint8_t* aRecord1, TqdRefNr aRefNr1, const uint8_t* aRecord2, TqdRefNr aRefNr2,
                       int32_t aFieldCount, int32_t aPartialLen) override;
};

void qdsdKeyEngineInt64Initialize();
void qdsdKeyEngineInt64Finalize();

}  // namespace qd
