#include "client/qdsdDefaultValueEngine.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "client/qdsdServerEngine.h"
#include "platform/qdDateTime.h"
#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

TqdClassRegistry* defaultValueEngineRegistry = nullptr;
TqdClassRegistry** defaultValueEngineFamily() { return &defaultValueEngineRegistry; }

template <class T>
TqdBaseDefaultValueEngine* newEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor) {
  return new T(aDescriptor, aCursor);
}

TqdBaseDefaultValueEngine* noEngine(TqdBaseDefaultValueDescriptor*, TqdAbstractCursor*) { return nullptr; }

bool randomGuid(TGUID& aGuid) {
  try {
    aGuid = qdNewGuid();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::atomic<TqdGuidGenerator> guidGenerator{&randomGuid};

// The user of the session that owns the cursor's database; empty without a
// cursor.
qdString cursorUserName(TqdAbstractCursor* aCursor) {
  if (aCursor == nullptr || aCursor->Session() == nullptr) return {};
  return aCursor->Session()->UserName();
}

const TqdDefaultValueEngineClass* const concreteEngines[] = {
    &TqdConstDefaultValueEngine::ClassInfo,       &TqdCurrentDateTimeDefaultValueEngine::ClassInfo,
    &TqdCurrentUserDefaultValueEngine::ClassInfo, &TqdAutoGuidDefaultValueEngine::ClassInfo,
    &TqdEmptyDefaultValueEngine::ClassInfo,       &TqdNextLSNDefaultValueEngine::ClassInfo,
};

}  // namespace

const TqdDefaultValueEngineClass TqdBaseDefaultValueEngine::ClassInfo{
    {u"TqdBaseDefaultValueEngine", &TqdBaseRegisterableEngine::ClassInfo, &defaultValueEngineFamily}, nullptr, nullptr};
const TqdDefaultValueEngineClass TqdConstDefaultValueEngine::ClassInfo{
    {u"TqdConstDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdConstDefaultValueEngine>,
    nullptr};
const TqdDefaultValueEngineClass TqdCurrentDateTimeDefaultValueEngine::ClassInfo{
    {u"TqdCurrentDateTimeDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdCurrentDateTimeDefaultValueEngine>,
    nullptr};
const TqdDefaultValueEngineClass TqdCurrentUserDefaultValueEngine::ClassInfo{
    {u"TqdCurrentUserDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdCurrentUserDefaultValueEngine>,
    nullptr};
const TqdDefaultValueEngineClass TqdAutoGuidDefaultValueEngine::ClassInfo{
    {u"TqdAutoGuidDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdAutoGuidDefaultValueEngine>,
    nullptr};
const TqdDefaultValueEngineClass TqdEmptyDefaultValueEngine::ClassInfo{
    {u"TqdEmptyDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdEmptyDefaultValueEngine>,
    nullptr};
const TqdDefaultValueEngineClass TqdCursorDefaultValueEngine::ClassInfo{
    {u"TqdCursorDefaultValueEngine", &TqdBaseDefaultValueEngine::ClassInfo, nullptr}, nullptr, nullptr};
const TqdDefaultValueEngineClass TqdNextLSNDefaultValueEngine::ClassInfo{
    {u"TqdNextLSNDefaultValueEngine", &TqdCursorDefaultValueEngine::ClassInfo, nullptr},
    &newEngine<TqdNextLSNDefaultValueEngine>,
    &noEngine};

TqdBaseDefaultValueEngine* TqdDefaultValueEngineClass::BuildEngine(TqdBaseDefaultValueDescriptor* aDescriptor,
                                                                   TqdAbstractCursor* aCursor) const {
  if (NewEngine != nullptr) return NewEngine(aDescriptor, aCursor);
  if (Create != nullptr) return Create(aDescriptor, aCursor);
  return nullptr;
}

// --- Engines ---------------------------------------------------------------------------

TqdBaseDefaultValueEngine::TqdBaseDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor*)
    : bdceDescriptor(aDescriptor), bdceFieldDescriptor(aDescriptor->GetRelated<TqdFieldDescriptor>()) {}

std::unique_ptr<TqdBaseDefaultValueEngine> TqdBaseDefaultValueEngine::CreateFor(
    TqdBaseDefaultValueDescriptor* aDescriptor, TqdAbstractCursor* aCursor) {
  const TqdClassInfo* found = aDescriptor->CachedEngineClass();
  if (found == nullptr || !found->InheritsFrom(ClassInfo)) {
    const qdString name = qdEngineNameFor(aDescriptor->ClassName());
    found = FindEngineClass(ClassInfo, name);
    if (found == nullptr || !found->InheritsFrom(ClassInfo))
      throw EqdBaseDefaultValueEngineException(qdeSubEngineNotSupported, u"Unknown %s engine: \"%s\"",
                                               {u"DefaultValue", name});
    aDescriptor->SetCachedEngineClass(found);
  }
  return std::unique_ptr<TqdBaseDefaultValueEngine>(
      static_cast<const TqdDefaultValueEngineClass*>(found)->BuildEngine(aDescriptor, aCursor));
}

TqdConstDefaultValueEngine::TqdConstDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor,
                                                       TqdAbstractCursor* aCursor)
    : TqdBaseDefaultValueEngine(aDescriptor, aCursor),
      cdveValue(static_cast<size_t>(std::max(FieldDescriptor()->Length(), 0)), 0) {
  // A descriptor of another class has no constant: the field gets zeros.
  if (const auto* constant = dynamic_cast<const TqdConstDefaultValueDescriptor*>(aDescriptor)) {
    // In the field's current layout, even when the descriptor still holds
    // the bytes of an older one.
    const std::vector<uint8_t> value = constant->ValueForField();
    std::copy_n(value.begin(), std::min(value.size(), cdveValue.size()), cdveValue.begin());
  }
}

bool TqdConstDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  std::memcpy(aFieldValue, cdveValue.data(), cdveValue.size());
  return true;
}

bool TqdCurrentDateTimeDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  const TTimeStamp now = DateTimeToTimeStamp(Now());
  switch (FieldDescriptor()->FieldType()) {
    case qdtDate:
      qdPutI32(aFieldValue, now.Date);
      break;
    case qdtTime:
      qdPutI32(aFieldValue, now.Time);
      break;
    case qdtDateTime:
      qdPutLE<double>(aFieldValue, static_cast<double>(now.Date) * static_cast<double>(kMSecsPerDay) +
                                       static_cast<double>(now.Time));
      break;
    default:
      break;
  }
  return true;
}

TqdCurrentUserDefaultValueEngine::TqdCurrentUserDefaultValueEngine(TqdBaseDefaultValueDescriptor* aDescriptor,
                                                                   TqdAbstractCursor* aCursor)
    : TqdBaseDefaultValueEngine(aDescriptor, aCursor),
      cudveUserName(static_cast<size_t>(std::max(FieldDescriptor()->Length(), 0)), 0) {
  FieldDescriptor()->fdSetBufferAsVariant(cudveUserName.data(), TqdVariant(cursorUserName(aCursor)));
}

bool TqdCurrentUserDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  std::memcpy(aFieldValue, cudveUserName.data(), cudveUserName.size());
  return true;
}

void qdSetAutoGuidGenerator(TqdGuidGenerator aGenerator) {
  guidGenerator.store(aGenerator != nullptr ? aGenerator : &randomGuid);
}

bool TqdAutoGuidDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  TGUID guid;
  if (!guidGenerator.load()(guid)) return false;
  qdPutU32(aFieldValue, guid.D1);
  qdPutU16(aFieldValue + 4, guid.D2);
  qdPutU16(aFieldValue + 6, guid.D3);
  std::memcpy(aFieldValue + 8, guid.D4.data(), guid.D4.size());
  return true;
}

bool TqdEmptyDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  std::memset(aFieldValue, 0, static_cast<size_t>(std::max(FieldDescriptor()->Length(), 0)));
  return true;
}

bool TqdNextLSNDefaultValueEngine::SetDefaultValue(uint8_t* aFieldValue) {
  TqdLSN lsn = 0;
  if (Cursor() == nullptr || !Cursor()->GetNextLSN(lsn)) return false;
  qdPutI64(aFieldValue, lsn);
  return true;
}

// --- Handler ---------------------------------------------------------------------------

std::unique_ptr<TqdDefaultValueHandler> TqdDefaultValueHandler::CreateFor(TqdFieldsDescriptor* aFieldsDescriptor,
                                                                          TqdApplyAt aApplyAt,
                                                                          TqdAbstractCursor* aCursor) {
  auto handler = std::make_unique<TqdDefaultValueHandler>(aFieldsDescriptor, aApplyAt, aCursor);
  if (handler->EngineCount() == 0) return nullptr;
  return handler;
}

TqdDefaultValueHandler::TqdDefaultValueHandler(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt,
                                               TqdAbstractCursor* aCursor)
    : dvhFieldsDescriptor(aFieldsDescriptor) {
  const int32_t count = aFieldsDescriptor->FieldCount();
  dvhEnginesByIndex.assign(static_cast<size_t>(count), nullptr);
  for (int32_t i = 0; i < count; ++i) {
    TqdBaseDefaultValueDescriptor* descriptor = aFieldsDescriptor->FieldDescriptor(i)->DefaultValue();
    if (descriptor == nullptr || !descriptor->ApplyAt().Contains(aApplyAt)) continue;
    std::unique_ptr<TqdBaseDefaultValueEngine> engine = TqdBaseDefaultValueEngine::CreateFor(descriptor, aCursor);
    if (!engine) continue;
    TqdBaseDefaultValueEngine* raw = engine.get();
    dvhEngines.push_back(std::move(engine));
    const int overwrite = descriptor->OverwriteNonNull() ? 1 : 0;
    if (descriptor->ApplyOnInsert()) dvhEnginesInsert[overwrite].push_back(raw);
    if (descriptor->ApplyOnModify()) dvhEnginesModify[overwrite].push_back(raw);
    dvhEnginesByIndex[static_cast<size_t>(i)] = raw;
  }
}

TqdBaseDefaultValueEngine* TqdDefaultValueHandler::EngineByIndex(int32_t aField) const {
  if (aField < 0 || aField >= static_cast<int32_t>(dvhEnginesByIndex.size())) return nullptr;
  return dvhEnginesByIndex[static_cast<size_t>(aField)];
}

void TqdDefaultValueHandler::ApplyEngine(TqdBaseDefaultValueEngine* aEngine, uint8_t* aRecord) {
  const TqdFieldDescriptor* field = aEngine->FieldDescriptor();
  const bool hasValue = aEngine->SetDefaultValue(aRecord + field->Offset());
  dvhFieldsDescriptor->SetRecordFieldNull(field->Number(), aRecord, !hasValue);
}

void TqdDefaultValueHandler::Apply(const TqdEngines (&aEngines)[2], uint8_t* aRecord) {
  for (TqdBaseDefaultValueEngine* engine : aEngines[0])
    if (dvhFieldsDescriptor->IsRecordFieldNullFast(engine->FieldDescriptor()->Number(), aRecord))
      ApplyEngine(engine, aRecord);
  for (TqdBaseDefaultValueEngine* engine : aEngines[1]) ApplyEngine(engine, aRecord);
}

void TqdDefaultValueHandler::SetDefaultValuesInsert(uint8_t* aRecord) { Apply(dvhEnginesInsert, aRecord); }

void TqdDefaultValueHandler::SetDefaultValuesModify(uint8_t* aRecord) { Apply(dvhEnginesModify, aRecord); }

bool TqdDefaultValueHandler::SetDefaultValue(uint8_t* aRecord, int32_t aField) {
  TqdBaseDefaultValueEngine* engine = EngineByIndex(aField);
  if (engine == nullptr) return false;
  const bool hasValue = engine->SetDefaultValue(aRecord + engine->FieldDescriptor()->Offset());
  dvhFieldsDescriptor->SetRecordFieldNull(aField, aRecord, !hasValue);
  return hasValue;
}

// --- Start and end ---------------------------------------------------------------------

void qdsdDefaultValueEngineInitialize() {
  for (const TqdDefaultValueEngineClass* engineClass : concreteEngines)
    TqdBaseRegisterableEngine::RegisterEngine(*engineClass);
}

void qdsdDefaultValueEngineFinalize() {
  for (const TqdDefaultValueEngineClass* engineClass : concreteEngines)
    TqdBaseRegisterableEngine::UnregisterEngine(*engineClass);
  // The registry goes with its last class; nothing else may be left in it.
  qdFreeAndNil(defaultValueEngineRegistry);
}

}  // namespace qd
