#include "dictionary/qdsdKeyEngineBlobCache.h"

#include <cstring>

#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

TqdBaseKeyEngine* createBlobCacheEngine(TqdBaseKeyDescriptor* aDescriptor) {
  return new TqdBlobCacheKeyEngine(aDescriptor);
}

struct TqdBlobCacheField {
  const char16_t* Name;
  TqdFieldType Type;
  int32_t Offset;
};

constexpr TqdBlobCacheField kFields[TqdBlobCacheKeyEngine::kFieldCount] = {
    {u"BlobNr", qdtInt64, 0},
    {u"FieldNo", qdtInt32, 8},
    {u"RefNr", qdtInt64, 12},
    {u"InserLSN", qdtInt64, 20},
};

template <class T>
int8_t relation(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int8_t compareFields(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount) {
  const int32_t count = aFieldCount <= 0 ? TqdBlobCacheKeyEngine::kFieldCount : aFieldCount;
  int8_t r = relation(qdGetI64(aKey1), qdGetI64(aKey2));
  if (r != 0 || count < 2) return r;
  r = relation(qdGetI32(aKey1 + 8), qdGetI32(aKey2 + 8));
  if (r != 0 || count < 3) return r;
  r = relation(qdGetI64(aKey1 + 12), qdGetI64(aKey2 + 12));
  if (r != 0 || count < 4) return r;
  return relation(qdGetI64(aKey1 + 20), qdGetI64(aKey2 + 20));
}

TqdVariant fieldValue(const uint8_t* aKey, int32_t aField) {
  const TqdBlobCacheField& field = kFields[aField];
  if (field.Type == qdtInt32) return TqdVariant(qdGetI32(aKey + field.Offset));
  return TqdVariant(qdGetI64(aKey + field.Offset));
}

}  // namespace

const TqdKeyEngineClass TqdBlobCacheKeyEngine::ClassInfo{
    {u"TqdBlobCacheKeyEngine", &TqdBaseKeyEngine::ClassInfo, nullptr},
    createBlobCacheEngine,
    TqdBlobCacheKeyEngine::CheckValid};

TqdBlobCacheKeyEngine::TqdBlobCacheKeyEngine(TqdBaseKeyDescriptor* aDescriptor)
    : TqdBaseKeyEngine(aDescriptor),
      bckeFields{TqdFixedKeyField(kFields[0].Name, kFields[0].Type), TqdFixedKeyField(kFields[1].Name, kFields[1].Type),
                 TqdFixedKeyField(kFields[2].Name, kFields[2].Type),
                 TqdFixedKeyField(kFields[3].Name, kFields[3].Type)} {
  SetKeyLength(kKeyLength);
}

void TqdBlobCacheKeyEngine::CheckValid(TqdBaseKeyDescriptor* aDescriptor) {
  if (dynamic_cast<TqdBlobCacheKeyDescriptor*>(aDescriptor) == nullptr) throw EInvalidCast();
}

bool TqdBlobCacheKeyEngine::GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData,
                                              TqdFieldType& aType, int32_t& aSize, bool& aIsNull,
                                              const uint8_t*& aValue, uint16_t& aCodePage) {
  if (!aName.empty()) aField = GetFieldFromName(aName);
  aSize = 0;
  aCodePage = 0;
  if (aField < 0 || aField >= kFieldCount) {
    aValue = nullptr;
    return false;
  }
  aType = kFields[aField].Type;
  aIsNull = aData == nullptr;
  aValue = aData == nullptr ? nullptr : aData + kFields[aField].Offset;
  return true;
}

int32_t TqdBlobCacheKeyEngine::GetFieldFromName(qdStringView aFieldName) {
  for (int32_t i = 0; i < kFieldCount; ++i)
    if (qdCompareStringWIgnoreCase(aFieldName, kFields[i].Name) == 0) return i;
  return -1;
}

IqdFieldDescriptor* TqdBlobCacheKeyEngine::GetFieldDescriptor(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= kFieldCount) return nullptr;
  return &bckeFields[static_cast<size_t>(aIndex)];
}

void TqdBlobCacheKeyEngine::CopyKey(const uint8_t* aFrom, uint8_t* aTo) { std::memcpy(aTo, aFrom, kKeyLength); }

void TqdBlobCacheKeyEngine::ClearKey(uint8_t* aKey) { std::memset(aKey, 0, kKeyLength); }

TqdResult TqdBlobCacheKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr /*aRefNr*/,
                                          bool /*aIgnoreFilter*/) {
  if (aRecord == nullptr || aKey == nullptr) return qdeInvalidParam;
  std::memcpy(aKey, aRecord, kKeyLength);
  return qdeSuccess;
}

int8_t TqdBlobCacheKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                                         int32_t /*aPartialLen*/) {
  return compareFields(aKey1, aKey2, aFieldCount);
}

int8_t TqdBlobCacheKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr /*aRefNr*/,
                                                 int32_t aFieldCount, int32_t /*aPartialLen*/) {
  return compareFields(aKey, aRecord, aFieldCount);
}

int8_t TqdBlobCacheKeyEngine::CompareRecord(const uint8_t* aRecord1, TqdRefNr /*aRefNr1*/, const uint8_t* aRecord2,
                                            TqdRefNr /*aRefNr2*/, int32_t aFieldCount, int32_t /*aPartialLen*/) {
  return compareFields(aRecord1, aRecord2, aFieldCount);
}

TqdVariant TqdBlobCacheKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) {
  if (aKey == nullptr) return TqdVariant::Null();
  if (aField < -1 || aField >= kFieldCount) throw EqdBlobCacheKeyEngineException(qdeInvalidDescNum);
  if (aField >= 0) return fieldValue(aKey, aField);
  std::vector<TqdVariant> values;
  for (int32_t i = 0; i < kFieldCount; ++i) values.push_back(fieldValue(aKey, i));
  return TqdVariant::FromArray(std::move(values));
}

void qdsdKeyEngineBlobCacheInitialize() { TqdBaseRegisterableEngine::RegisterEngine(TqdBlobCacheKeyEngine::ClassInfo); }

void qdsdKeyEngineBlobCacheFinalize() { TqdBaseRegisterableEngine::UnregisterEngine(TqdBlobCacheKeyEngine::ClassInfo); }

}  // namespace qd
