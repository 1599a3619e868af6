#include "dictionary/qdsdKeyEngineComp.h"

#include <algorithm>
#include <cstring>

namespace qd {

namespace {

template <class T>
TqdBaseKeyEngine* createEngine(TqdBaseKeyDescriptor* aDescriptor) {
  return new T(aDescriptor);
}

TqdCompKeyDescriptor& compDescriptor(TqdBaseKeyDescriptor* aDescriptor) {
  auto* descriptor = dynamic_cast<TqdCompKeyDescriptor*>(aDescriptor);
  if (descriptor == nullptr) throw EInvalidCast();
  return *descriptor;
}

}  // namespace

const TqdKeyEngineClass TqdCompKeyEngine::ClassInfo{{u"TqdCompKeyEngine", &TqdBaseKeyEngine::ClassInfo, nullptr},
                                                    createEngine<TqdCompKeyEngine>,
                                                    TqdCompKeyEngine::CheckValid};
const TqdKeyEngineClass TqdNoNullCompKeyEngine::ClassInfo{
    {u"TqdNoNullCompKeyEngine", &TqdCompKeyEngine::ClassInfo, nullptr},
    createEngine<TqdNoNullCompKeyEngine>,
    TqdCompKeyEngine::CheckValid};

// --- Construction -----------------------------------------------------------------------------------

TqdCompKeyEngine::TqdCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor) : TqdCompKeyEngine(aDescriptor, true) {}

TqdCompKeyEngine::TqdCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor, bool aNullBitmap)
    : TqdBaseKeyEngine(aDescriptor), ckeNullBitmap(aNullBitmap) {
  ckeKeyFieldNames.SetSorted(true);
  ckeKeyFieldNames.SetDuplicates(dupIgnore);
  TqdCompKeyDescriptor& descriptor = compDescriptor(aDescriptor);
  ckeFieldsDescriptor = descriptor.GetRelated<TqdFieldsDescriptor>();
  ckeKeyFieldCount = descriptor.KeyFieldCount();
  ckeKeyFieldEngines.reserve(static_cast<size_t>(ckeKeyFieldCount));
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    TqdKeyFieldDescriptor* keyField = descriptor.KeyField(i);
    ckeKeyFieldEngines.emplace_back(TqdCompositeKeyFieldEngine::CreateEngine(keyField));
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines.back();
    if (engine.ckfeNLSVersionChanged) bkeNLSVersionChanged = true;
    if (engine.ckfeFieldType == qdtExtended) bkeContainsExtended = true;
    qdString name = engine.ckfeFieldName;
    if (!keyField->KeyFieldEngine().empty()) name += u"_" + keyField->KeyFieldEngine();
    ckeKeyFieldNames.AddObject(name, reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    ckeKeyFieldInvertNull.push_back(engine.InvertNull ? -1 : 1);
  }
  // The offsets are fixed here, before any other thread can see the engine.
  ckeKeyOffset = ckeNullBitmap ? (ckeKeyFieldCount + 7) / 8 : 0;
  int32_t offset = ckeKeyOffset;
  for (const auto& engine : ckeKeyFieldEngines) {
    ckeKeyFieldOffset.push_back(offset);
    offset += engine->ckfeKeyLength;
  }
  // The key field engines must fill no more than the key the descriptor
  // announced, or keys would be written beyond their buffers.
  if (offset > bkeKeyLength) throw EqdCompKeyEngineException(qdeKeyTooLarge);
  // A one-field key whose field engine keeps a plain order is compared
  // without the field engine where the whole key counts.
  if (ckeKeyFieldCount == 1 && ckeKeyFieldEngines[0]->ckfePlainOrder != pkoNone &&
      ckeKeyFieldEngines[0]->ckfeKeyLength > 0 && offset <= 0xFFFF) {
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[0];
    bkePlainCompare.pkcOrder = engine.ckfePlainOrder;
    bkePlainCompare.pkcDescending = engine.ckfePlainDescending;
    bkePlainCompare.pkcNullBitmap = ckeNullBitmap;
    bkePlainCompare.pkcOffset = uint16_t(ckeKeyOffset);
    bkePlainCompare.pkcLength = uint16_t(engine.ckfeKeyLength);
  }
}

TqdCompKeyEngine::~TqdCompKeyEngine() = default;

void TqdCompKeyEngine::CheckValid(TqdBaseKeyDescriptor* aDescriptor) {
  TqdCompKeyDescriptor& descriptor = compDescriptor(aDescriptor);
  for (int32_t i = 0; i < descriptor.KeyFieldCount(); ++i)
    TqdCompositeKeyFieldEngine::CheckValidBase(descriptor.KeyField(i));
}

// --- Fields --------------------------------------------------------------------------------------------

int32_t TqdCompKeyEngine::GetKeyFieldOffset(int32_t Index) {
  if (Index < 0 || Index >= ckeKeyFieldCount) return -1;
  return ckeKeyFieldOffset[static_cast<size_t>(Index)];
}

int32_t TqdCompKeyEngine::GetFieldFromName(qdStringView aFieldName) {
  int32_t index = 0;
  if (!ckeKeyFieldNames.Find(aFieldName, index)) return -1;
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(ckeKeyFieldNames.Objects(index)));
}

IqdFieldDescriptor* TqdCompKeyEngine::GetFieldDescriptor(int32_t aIndex) {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount) return nullptr;
  return ckeKeyFieldEngines[static_cast<size_t>(aIndex)].get();
}

bool TqdCompKeyEngine::GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType,
                                         int32_t& aSize, bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) {
  if (!aName.empty()) aField = GetFieldFromName(aName);
  if (aField < 0 || aField >= ckeKeyFieldCount) return false;
  const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(aField)];
  aType = static_cast<TqdFieldType>(engine.ckfeFieldType & 0x7F);
  aSize = engine.ckfeKeyUnits;
  // A missing key reads as null rather than being dereferenced.
  aIsNull = aData == nullptr || KeyFieldIsNull(aData, aField);
  aValue = aIsNull ? nullptr : aData + ckeKeyFieldOffset[static_cast<size_t>(aField)];
  aCodePage = engine.ckfeCompareCodepage;
  if (aType == qdtShortString && aValue != nullptr) {
    aSize = aValue[0];
    aValue = aValue + 1;
  }
  return true;
}

// --- Building -------------------------------------------------------------------------------------------

void TqdCompKeyEngine::ClearKey(uint8_t* aKey) {
  std::memset(aKey, 0, bkeKeyLength);
  std::memset(aKey, 0xFF, static_cast<size_t>(ckeKeyOffset));
}

TqdResult TqdCompKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr /*aRefNr*/, bool aIgnoreFilter) {
  if (aRecord == nullptr || aKey == nullptr) return qdeInvalidParam;
  if (!aIgnoreFilter && FilterRefuses(aRecord)) return qdeKeyFiltered;
  ClearKey(aKey);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(i)];
    if (ckeFieldsDescriptor->IsRecordFieldNullFast(engine.ckfeFieldNumber, aRecord)) {
      if (engine.FilterNull && !aIgnoreFilter) return qdeKeyFiltered;
    } else {
      if (engine.FilterNonNull && !aIgnoreFilter) return qdeKeyFiltered;
      engine.BuildKey(aRecord + engine.ckfeFieldOffset, aKey + ckeKeyFieldOffset[static_cast<size_t>(i)]);
      aKey[i / 8] = static_cast<uint8_t>(aKey[i / 8] & ~(1u << (i % 8)));
    }
  }
  return qdeSuccess;
}

TqdResult TqdCompKeyEngine::KeyToRecord(const uint8_t* aKey, uint8_t* aRecord) {
  if (aKey == nullptr || aRecord == nullptr) return qdeInvalidParam;
  ckeFieldsDescriptor->InitRecord(aRecord);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    if (KeyFieldIsNull(aKey, i)) continue;
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(i)];
    const TqdResult result =
        engine.KeyToRecord(aKey + ckeKeyFieldOffset[static_cast<size_t>(i)], aRecord + engine.ckfeFieldOffset);
    if (result != qdeSuccess) return result;
    ckeFieldsDescriptor->SetRecordFieldNull(engine.ckfeFieldNumber, aRecord, false);
  }
  return qdeSuccess;
}

// --- Comparing ---------------------------------------------------------------------------------------------

int32_t TqdCompKeyEngine::FullFieldCount(int32_t aFieldCount, int32_t aPartialLen) const {
  if (aFieldCount <= 0) return aPartialLen == 0 ? ckeKeyFieldCount : 0;
  if (aPartialLen == 0) return std::min(aFieldCount, ckeKeyFieldCount);
  return std::min(aFieldCount, ckeKeyFieldCount - 1);
}

int8_t TqdCompKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                                    int32_t aPartialLen) {
  const int32_t full = FullFieldCount(aFieldCount, aPartialLen);
  for (int32_t i = 0; i < full; ++i) {
    int8_t r = NullRelation(KeyFieldIsNull(aKey1, i), KeyFieldIsNull(aKey2, i), i);
    if (r == 2) {
      const size_t offset = static_cast<size_t>(ckeKeyFieldOffset[static_cast<size_t>(i)]);
      r = ckeKeyFieldEngines[static_cast<size_t>(i)]->CompareKey(aKey1 + offset, aKey2 + offset);
    }
    if (r != 0) return r;
  }
  if (aPartialLen > 0 && full < ckeKeyFieldCount) {
    int8_t r = NullRelation(KeyFieldIsNull(aKey1, full), KeyFieldIsNull(aKey2, full), full);
    if (r == 2) {
      const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(full)];
      const size_t offset = static_cast<size_t>(ckeKeyFieldOffset[static_cast<size_t>(full)]);
      r = engine.PartialCompareKey.Assigned() ? engine.PartialCompareKey(aKey1 + offset, aKey2 + offset, aPartialLen)
                                              : engine.CompareKey(aKey1 + offset, aKey2 + offset);
    }
    return r;
  }
  return 0;
}

int8_t TqdCompKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TqdRefNr /*aRefNr*/,
                                            int32_t aFieldCount, int32_t aPartialLen) {
  const int32_t full = FullFieldCount(aFieldCount, aPartialLen);
  for (int32_t i = 0; i < full; ++i) {
    int8_t r = NullRelation(KeyFieldIsNull(aKey, i), RecordFieldIsNull(aRecord, i), i);
    if (r == 2) {
      const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(i)];
      r = engine.CompareKeyToFieldDirect(aKey + ckeKeyFieldOffset[static_cast<size_t>(i)],
                                         aRecord + engine.ckfeFieldOffset);
    }
    if (r != 0) return r;
  }
  if (aPartialLen > 0 && full < ckeKeyFieldCount) {
    int8_t r = NullRelation(KeyFieldIsNull(aKey, full), RecordFieldIsNull(aRecord, full), full);
    if (r == 2) {
      const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(full)];
      const uint8_t* key = aKey + ckeKeyFieldOffset[static_cast<size_t>(full)];
      const uint8_t* field = aRecord + engine.ckfeFieldOffset;
      r = engine.PartialCompareKey.Assigned() ? engine.PartialCompareKeyToFieldDirect(key, field, aPartialLen)
                                              : engine.CompareKeyToFieldDirect(key, field);
    }
    return r;
  }
  return 0;
}

int8_t TqdCompKeyEngine::CompareRecord(const uint8_t* aRecord1, TqdRefNr /*aRefNr1*/, const uint8_t* aRecord2,
                                       TqdRefNr /*aRefNr2*/, int32_t aFieldCount, int32_t aPartialLen) {
  const int32_t full = FullFieldCount(aFieldCount, aPartialLen);
  for (int32_t i = 0; i < full; ++i) {
    int8_t r = NullRelation(RecordFieldIsNull(aRecord1, i), RecordFieldIsNull(aRecord2, i), i);
    if (r == 2) {
      const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(i)];
      r = engine.CompareFieldDirect(aRecord1 + engine.ckfeFieldOffset, aRecord2 + engine.ckfeFieldOffset);
    }
    if (r != 0) return r;
  }
  if (aPartialLen > 0 && full < ckeKeyFieldCount) {
    int8_t r = NullRelation(RecordFieldIsNull(aRecord1, full), RecordFieldIsNull(aRecord2, full), full);
    if (r == 2) {
      const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(full)];
      const uint8_t* field1 = aRecord1 + engine.ckfeFieldOffset;
      const uint8_t* field2 = aRecord2 + engine.ckfeFieldOffset;
      r = engine.PartialCompareFieldDirect.Assigned() ? engine.PartialCompareFieldDirect(field1, field2, aPartialLen)
                                                      : engine.CompareFieldDirect(field1, field2);
    }
    return r;
  }
  return 0;
}

// --- Values ----------------------------------------------------------------------------------------------

TqdVariant TqdCompKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) {
  const auto valueOf = [&](int32_t aIndex) {
    if (KeyFieldIsNull(aKey, aIndex)) return TqdVariant::Null();
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(aIndex)];
    TqdVariant value;
    if (engine.KeyAsVariant.Assigned())
      engine.KeyAsVariant(aKey + ckeKeyFieldOffset[static_cast<size_t>(aIndex)], value);
    return value;
  };
  if (aField == -1) {
    if (ckeKeyFieldCount == 1) return valueOf(0);
    if (ckeKeyFieldCount == 0) return {};
    std::vector<TqdVariant> values;
    for (int32_t i = 0; i < ckeKeyFieldCount; ++i) values.push_back(valueOf(i));
    return TqdVariant::FromArray(std::move(values));
  }
  if (aField < 0 || aField >= ckeKeyFieldCount) throw EqdCompKeyEngineException(qdeInvalidDescNum);
  return valueOf(aField);
}

bool TqdCompKeyEngine::KeyContainsNulls(const uint8_t* aKey) {
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i)
    if (KeyFieldIsNull(aKey, i)) return true;
  return false;
}

// --- Without null flags --------------------------------------------------------------------------------------

TqdNoNullCompKeyEngine::TqdNoNullCompKeyEngine(TqdBaseKeyDescriptor* aDescriptor)
    : TqdCompKeyEngine(aDescriptor, false) {}

void TqdNoNullCompKeyEngine::ClearKey(uint8_t* aKey) { std::memset(aKey, 0, bkeKeyLength); }

TqdResult TqdNoNullCompKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TqdRefNr /*aRefNr*/,
                                           bool aIgnoreFilter) {
  if (aRecord == nullptr || aKey == nullptr) return qdeInvalidParam;
  if (!aIgnoreFilter && FilterRefuses(aRecord)) return qdeKeyFiltered;
  ClearKey(aKey);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    const TqdCompositeKeyFieldEngine& engine = *ckeKeyFieldEngines[static_cast<size_t>(i)];
    engine.BuildKey(aRecord + engine.ckfeFieldOffset, aKey + ckeKeyFieldOffset[static_cast<size_t>(i)]);
  }
  return qdeSuccess;
}

// --- Unit start and end -------------------------------------------------------------------------------------

void qdsdKeyEngineCompInitialize() {
  TqdBaseRegisterableEngine::RegisterEngine(TqdCompKeyEngine::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdNoNullCompKeyEngine::ClassInfo);
}

void qdsdKeyEngineCompFinalize() {
  TqdBaseRegisterableEngine::UnregisterEngine(TqdNoNullCompKeyEngine::ClassInfo);
  TqdBaseRegisterableEngine::UnregisterEngine(TqdCompKeyEngine::ClassInfo);
}

}  // namespace qd
