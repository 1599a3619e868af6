#include "dictionary/qdsdKeyEngineRef.h"

#include <cstring>

#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

TqdBaseKeyEngine* createRefEngine(TqdBaseKeyDescriptor* aDescriptor) { return new TqdRefKeyEngine(aDescriptor); }

template <class T>
int8_t relation(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

const TqdKeyEngineClass TqdRefKeyEngine::ClassInfo{
    {u"TqdRefKeyEngine", &TqdBaseKeyEngine::ClassInfo, nullptr}, createRefEngine, TqdRefKeyEngine::CheckValid};

TqdRefKeyEngine::TqdRefKeyEngine(TqdBaseKeyDescriptor* aDescriptor) : TqdRefKeyEngine(aDescriptor, u"RefNr") {}

TqdRefKeyEngine::TqdRefKeyEngine(TqdBaseKeyDescriptor* aDescriptor, qdStringView aFieldName)
    : TqdBaseKeyEngine(aDescriptor), rkeField(aFieldName, qdtInt64) {
  SetKeyLength(8);
  bkePlainCompare.pkcOrder = pkoInt64;
  bkePlainCompare.pkcLength = 8;
}

void TqdRefKeyEngine::CheckValid(TqdBaseKeyDescriptor* aDescriptor) {
  if (dynamic_cast<TqdRefKeyDescriptor*>(aDescriptor) == nullptr) throw EInvalidCast();
}

bool TqdRefKeyEngine::GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType,
                                        int32_t& aSize, bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) {
  if (!aName.empty()) {
    if (GetFieldFromName(aName) != 0) return false;
  } else if (aField != 0) {
    return false;
  }
  aType = qdtInt64;
  aSize = 0;
  aIsNull = aData == nullptr;
  aValue = aData;
  aCodePage = 0;
  return true;
}

int32_t TqdRefKeyEngine::GetFieldFromName(qdStringView aFieldName) {
  return qdCompareStringWIgnoreCase(aFieldName, rkeField.GetName()) == 0 ? 0 : -1;
}

IqdFieldDescriptor* TqdRefKeyEngine::GetFieldDescriptor(int32_t aIndex) { return aIndex == 0 ? &rkeField : nullptr; }

void TqdRefKeyEngine::CopyKey(const uint8_t* aFrom, uint8_t* aTo) { std::memcpy(aTo, aFrom, 8); }

void TqdRefKeyEngine::ClearKey(uint8_t* aKey) { std::memset(aKey, 0, 8); }

TqdResult TqdRefKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr aRefNr, bool aIgnoreFilter) {
  if (aKey == nullptr) return qdeInvalidParam;
  if (!aIgnoreFilter && bkeFilter != nullptr) {
    // The filter reads the record; without one there is nothing to ask.
    if (aRecord == nullptr) return qdeInvalidParam;
    if (FilterRefuses(aRecord)) return qdeKeyFiltered;
  }
  qdPutI64(aKey, aRefNr);
  return qdeSuccess;
}

int8_t TqdRefKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t /*aFieldCount*/,
                                   int32_t /*aPartialLen*/) {
  return relation(qdGetI64(aKey1), qdGetI64(aKey2));
}

int8_t TqdRefKeyEngine::CompareRecord(const uint8_t* /*aRecord1*/, TqdRefNr aRefNr1, const uint8_t* /*aRecord2*/,
                                      TqdRefNr aRefNr2, int32_t /*aFieldCount*/, int32_t /*aPartialLen*/) {
  return relation(aRefNr1, aRefNr2);
}

TqdVariant TqdRefKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) {
  if (aField != -1 && aField != 0) throw EqdRefKeyEngineException(qdeInvalidDescNum);
  if (aKey == nullptr) return TqdVariant::Null();
  return TqdVariant(qdGetI64(aKey));
}

void qdsdKeyEngineRefInitialize() { TqdBaseRegisterableEngine::RegisterEngine(TqdRefKeyEngine::ClassInfo); }

void qdsdKeyEngineRefFinalize() { TqdBaseRegisterableEngine::UnregisterEngine(TqdRefKeyEngine::ClassInfo); }

}  // namespace qd
