#include "client/qdsdValidationEngine.h"

#include <algorithm>
#include <utility>

#include "dictionary/qdsdKeyFieldEngineBase.h"
#include "dictionary/qdsdNativeVariantConverter.h"
#include "platform/qdLittleEndian.h"

namespace qd {

const TqdSqlCheckStatementClass* qdSqlCheckStatementClass = nullptr;

namespace {

TqdClassRegistry* fieldsValidationsEngineRegistry = nullptr;
TqdClassRegistry** fieldsValidationsEngineFamily() { return &fieldsValidationsEngineRegistry; }
TqdClassRegistry* fieldValidationsEngineRegistry = nullptr;
TqdClassRegistry** fieldValidationsEngineFamily() { return &fieldValidationsEngineRegistry; }
TqdClassRegistry* validationEngineRegistry = nullptr;
TqdClassRegistry** validationEngineFamily() { return &validationEngineRegistry; }

constexpr qdStringView kUnknownEngine = u"Unknown %s engine: \"%s\"";
constexpr qdStringView kNotNullName = u"$required";
constexpr qdStringView kNoSqlEngine = u"Evaluation of CHECK constraint requires an SQL engine";

// The descriptor as the engine's class needs it; E with 12289 for another
// class registered under the engine's name.
template <class TDescriptor, class E>
TDescriptor* descriptorOf(TqdBaseFieldValidationDescriptor* aDescriptor, qdStringView aEngineClass) {
  auto* descriptor = dynamic_cast<TDescriptor*>(aDescriptor);
  if (descriptor == nullptr)
    throw E(qdeNotSupported, u"%s needs a %s", {aEngineClass, TDescriptor::ClassInfo.ClassName});
  return descriptor;
}

// The key field engine that compares the values of a validated field.
template <class E>
std::unique_ptr<TqdCompositeKeyFieldEngine> keyFieldEngineOf(TqdKeyFieldDescriptor* aKeyField) {
  if (aKeyField == nullptr)
    throw E(qdeObjNotFound, u"No related Descriptor of type %s could be found",
            {TqdKeyFieldDescriptor::ClassInfo.ClassName});
  return std::unique_ptr<TqdCompositeKeyFieldEngine>(TqdCompositeKeyFieldEngine::CreateEngine(aKeyField));
}

// A bound in the field's length, so that a comparison never reads past it.
std::vector<uint8_t> boundOf(const std::vector<uint8_t>& aBound, int32_t aFieldLength) {
  if (aBound.empty()) return {};
  std::vector<uint8_t> bound(static_cast<size_t>(std::max(aFieldLength, 0)), 0);
  std::copy_n(aBound.begin(), std::min(aBound.size(), bound.size()), bound.begin());
  return bound;
}

template <class T>
TqdBaseValidationEngine* newValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                             TqdBaseFieldValidationDescriptor* aDescriptor) {
  return new T(aParent, aCursor, aDescriptor);
}

TqdFieldsValidationsEngine* newFieldsValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor,
                                                       TqdAbstractCursor* aCursor, TqdApplyAt aApplyAt,
                                                       TqdFieldsValidationsDescriptor* aValidations) {
  return new TqdFieldsValidationsEngine(aFieldsDescriptor, aCursor, aApplyAt, aValidations);
}

TqdFieldValidationsEngine* newFieldValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor,
                                                     TqdApplyAt aApplyAt, TqdFieldValidationsDescriptor* aValidations,
                                                     TqdFieldDescriptor* aFieldDescriptor) {
  return new TqdFieldValidationsEngine(aFieldsDescriptor, aCursor, aApplyAt, aValidations, aFieldDescriptor);
}

// The class registered for a descriptor class name, or E with 15503.
template <class TInfo, class E>
const TInfo& findEngineClass(const TqdClassInfo& aFamily, qdStringView aDescriptorClassName, qdStringView aKind) {
  const qdString name = qdEngineNameFor(aDescriptorClassName);
  const TqdClassInfo* found = TqdBaseRegisterableEngine::FindEngineClass(aFamily, name);
  if (found == nullptr || !found->InheritsFrom(aFamily))
    throw E(qdeSubEngineNotSupported, kUnknownEngine, {aKind, name});
  return *static_cast<const TInfo*>(found);
}

qdString upperAscii(qdStringView aText) {
  qdString result(aText);
  for (char16_t& c : result)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return result;
}

}  // namespace

const TqdClassInfo TqdBaseValidationsEngine::ClassInfo{u"TqdBaseValidationsEngine",
                                                       &TqdBaseRegisterableEngine::ClassInfo, nullptr};
const TqdFieldsValidationsEngineClass TqdFieldsValidationsEngine::ClassInfo{
    {u"TqdFieldsValidationsEngine", &TqdBaseValidationsEngine::ClassInfo, &fieldsValidationsEngineFamily},
    &newFieldsValidationsEngine};
const TqdFieldValidationsEngineClass TqdFieldValidationsEngine::ClassInfo{
    {u"TqdFieldValidationsEngine", &TqdBaseValidationsEngine::ClassInfo, &fieldValidationsEngineFamily},
    &newFieldValidationsEngine};
const TqdValidationEngineClass TqdBaseValidationEngine::ClassInfo{
    {u"TqdBaseValidationEngine", &TqdBaseRegisterableEngine::ClassInfo, &validationEngineFamily}, nullptr};
const TqdValidationEngineClass TqdBaseFieldValidationEngine::ClassInfo{
    {u"TqdBaseFieldValidationEngine", &TqdBaseValidationEngine::ClassInfo, nullptr}, nullptr};
const TqdValidationEngineClass TqdBaseFieldsValidationEngine::ClassInfo{
    {u"TqdBaseFieldsValidationEngine", &TqdBaseFieldValidationEngine::ClassInfo, nullptr}, nullptr};
const TqdValidationEngineClass TqdMinMaxValidationEngine::ClassInfo{
    {u"TqdMinMaxValidationEngine", &TqdBaseFieldValidationEngine::ClassInfo, nullptr},
    &newValidationEngine<TqdMinMaxValidationEngine>};
const TqdValidationEngineClass TqdNoChangeValidationEngine::ClassInfo{
    {u"TqdNoChangeValidationEngine", &TqdBaseFieldValidationEngine::ClassInfo, nullptr},
    &newValidationEngine<TqdNoChangeValidationEngine>};
const TqdValidationEngineClass TqdNotNullValidationEngine::ClassInfo{
    {u"TqdNotNullValidationEngine", &TqdBaseFieldValidationEngine::ClassInfo, nullptr},
    &newValidationEngine<TqdNotNullValidationEngine>};
const TqdValidationEngineClass TqdSqlCheckValidationEngine::ClassInfo{
    {u"TqdSqlCheckValidationEngine", &TqdBaseFieldsValidationEngine::ClassInfo, nullptr},
    &newValidationEngine<TqdSqlCheckValidationEngine>};

namespace {

const TqdValidationEngineClass* const singleEngines[] = {
    &TqdMinMaxValidationEngine::ClassInfo,
    &TqdNoChangeValidationEngine::ClassInfo,
    &TqdNotNullValidationEngine::ClassInfo,
    &TqdSqlCheckValidationEngine::ClassInfo,
};

}  // namespace

// --- Collecting engines ----------------------------------------------------------------

TqdBaseValidationsEngine::~TqdBaseValidationsEngine() = default;

void TqdBaseValidationsEngine::AddValidation(TqdBaseFieldValidationDescriptor* aDescriptor, TqdApplyAt aApplyAt,
                                             TqdAbstractCursor* aCursor) {
  AddEngine(TqdBaseValidationEngine::CreateFor(this, aDescriptor, aApplyAt, aCursor));
}

void TqdBaseValidationsEngine::AddEngine(std::unique_ptr<TqdBaseValidationEngine> aEngine) {
  if (aEngine) veEngines.push_back(std::move(aEngine));
}

TqdFieldsValidationsEngine::TqdFieldsValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor,
                                                       TqdAbstractCursor* aCursor, TqdApplyAt aApplyAt,
                                                       TqdFieldsValidationsDescriptor* aValidations)
    : TqdBaseValidationsEngine(aFieldsDescriptor), veFieldsValidationsDescriptor(aValidations) {
  if (aValidations == nullptr) return;
  for (int32_t i = 0; i < aValidations->ValidationCount(); ++i) {
    std::unique_ptr<TqdBaseValidationEngine> engine =
        TqdBaseValidationEngine::CreateFor(this, aValidations->ValidationDescriptor(i), aApplyAt, aCursor);
    // Only checks of whole records can run here; the dictionary keeps
    // others out of this list, and an engine registered under a wrong name
    // must not be called as one.
    if (engine && !engine->InheritsFrom(TqdBaseFieldsValidationEngine::ClassInfo))
      throw EqdFieldsValidationsEngineException(qdeNotSupported, u"%s cannot check a whole record",
                                                {engine->ClassName()});
    AddEngine(std::move(engine));
  }
}

std::unique_ptr<TqdFieldsValidationsEngine> TqdFieldsValidationsEngine::CreateFor(
    TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt, TqdAbstractCursor* aCursor) {
  TqdFieldsValidationsDescriptor* validations = aFieldsDescriptor->Validations();
  if (validations == nullptr) return nullptr;
  const TqdClassInfo* cached = aFieldsDescriptor->CachedEngineClass();
  const TqdFieldsValidationsEngineClass* engineClass = nullptr;
  if (cached != nullptr && cached->InheritsFrom(ClassInfo)) {
    engineClass = static_cast<const TqdFieldsValidationsEngineClass*>(cached);
  } else {
    engineClass = &findEngineClass<TqdFieldsValidationsEngineClass, EqdFieldsValidationsEngineException>(
        ClassInfo, validations->ClassName(), u"Validations");
    aFieldsDescriptor->SetCachedEngineClass(engineClass);
  }
  std::unique_ptr<TqdFieldsValidationsEngine> engine(
      engineClass->Create(aFieldsDescriptor, aCursor, aApplyAt, validations));
  if (engine->EngineCount() == 0) return nullptr;
  return engine;
}

void TqdFieldsValidationsEngine::ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) {
  for (const std::unique_ptr<TqdBaseValidationEngine>& engine : veEngines)
    static_cast<TqdBaseFieldsValidationEngine*>(engine.get())->ValidateRecord(aOldRecord, aNewRecord);
}

TqdFieldValidationsEngine::TqdFieldValidationsEngine(TqdFieldsDescriptor* aFieldsDescriptor, TqdAbstractCursor* aCursor,
                                                     TqdApplyAt aApplyAt, TqdFieldValidationsDescriptor* aValidations,
                                                     TqdFieldDescriptor* aFieldDescriptor)
    : TqdBaseValidationsEngine(aFieldsDescriptor),
      veFieldDescriptor(aFieldDescriptor),
      veFieldIndex(aFieldDescriptor->Number()),
      veFieldValidationsDescriptor(aValidations) {
  if (aFieldDescriptor->Required() && aApplyAt == aaServer)
    AddEngine(std::make_unique<TqdNotNullValidationEngine>(this, aCursor, nullptr));
  if (aValidations == nullptr) return;
  for (int32_t i = 0; i < aValidations->ValidationCount(); ++i)
    AddValidation(aValidations->ValidationDescriptor(i), aApplyAt, aCursor);
}

std::unique_ptr<TqdFieldValidationsEngine> TqdFieldValidationsEngine::CreateFor(TqdFieldsDescriptor* aFieldsDescriptor,
                                                                                int32_t aFieldIndex,
                                                                                TqdApplyAt aApplyAt,
                                                                                TqdAbstractCursor* aCursor) {
  TqdFieldDescriptor* field = aFieldsDescriptor->FieldDescriptor(aFieldIndex);
  TqdFieldValidationsDescriptor* validations = field->Validations();
  const TqdFieldValidationsEngineClass* engineClass = &ClassInfo;
  if (validations != nullptr) {
    engineClass = &findEngineClass<TqdFieldValidationsEngineClass, EqdFieldValidationsEngineException>(
        ClassInfo, validations->ClassName(), u"Validations");
  } else if (!field->Required()) {
    return nullptr;
  }
  std::unique_ptr<TqdFieldValidationsEngine> engine(
      engineClass->Create(aFieldsDescriptor, aCursor, aApplyAt, validations, field));
  if (engine->EngineCount() == 0) return nullptr;
  return engine;
}

TqdBaseValidationEngine* TqdFieldValidationsEngine::NotNullEngine() const {
  if (veEngines.empty() || !veEngines.front()->InheritsFrom(TqdNotNullValidationEngine::ClassInfo)) return nullptr;
  return veEngines.front().get();
}

void TqdFieldValidationsEngine::ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) {
  const TqdFieldsDescriptor* fields = FieldsDescriptor();
  const uint8_t* oldField = fields->GetRecordFieldForFilter(veFieldIndex, aOldRecord);
  const uint8_t* newField = fields->GetRecordFieldForFilter(veFieldIndex, aNewRecord);
  for (const std::unique_ptr<TqdBaseValidationEngine>& engine : veEngines)
    static_cast<TqdBaseFieldValidationEngine*>(engine.get())->ValidateField(oldField, aOldRecord, newField, aNewRecord);
}

// --- Single engines ---------------------------------------------------------------------

TqdBaseValidationEngine::TqdBaseValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                                 TqdBaseFieldValidationDescriptor* aDescriptor)
    : bveParent(aParent), bveDescriptor(aDescriptor), bveCursor(aCursor) {
  if (aDescriptor != nullptr) bveName = aDescriptor->Name();
}

std::unique_ptr<TqdBaseValidationEngine> TqdBaseValidationEngine::CreateFor(
    TqdBaseValidationsEngine* aParent, TqdBaseFieldValidationDescriptor* aDescriptor, TqdApplyAt aApplyAt,
    TqdAbstractCursor* aCursor) {
  if (aDescriptor == nullptr || !aDescriptor->ApplyAt().Contains(aApplyAt)) return nullptr;
  const TqdValidationEngineClass& engineClass =
      findEngineClass<TqdValidationEngineClass, EqdBaseFieldValidationEngineException>(
          ClassInfo, aDescriptor->ClassName(), u"Validation");
  if (engineClass.Create == nullptr)
    throw EqdBaseFieldValidationEngineException(qdeSubEngineNotSupported, kUnknownEngine,
                                                {u"Validation", engineClass.ClassName});
  return std::unique_ptr<TqdBaseValidationEngine>(engineClass.Create(aParent, aCursor, aDescriptor));
}

TqdBaseFieldValidationEngine::TqdBaseFieldValidationEngine(TqdBaseValidationsEngine* aParent,
                                                           TqdAbstractCursor* aCursor,
                                                           TqdBaseFieldValidationDescriptor* aDescriptor)
    : TqdBaseValidationEngine(aParent, aCursor, aDescriptor) {
  // Built while the parent's constructor runs: its own class answers.
  if (aParent != nullptr && aParent->InheritsFrom(TqdFieldValidationsEngine::ClassInfo))
    bfvFieldName = static_cast<TqdFieldValidationsEngine*>(aParent)->FieldDescriptor()->Name();
}

void TqdBaseFieldValidationEngine::Raise(TqdResult aErrorCode, qdStringView aMessage) const {
  RaiseException(aErrorCode, aMessage);
  // Every class raises its own; this only tells the compiler so.
  throw EqdBaseFieldValidationEngineException(aErrorCode, aMessage);
}

void TqdBaseFieldValidationEngine::GetErrorDetail(qdString& aText) { aText = qdOriginalMessageMarker(); }

void TqdBaseFieldValidationEngine::RaiseError(TqdResult aErrorCode) {
  qdString detail;
  GetErrorDetail(detail);
  Raise(aErrorCode, u"Field validation \"" + bveName + u"\" for field \"" + bfvFieldName + u"\" failed: " + detail);
}

void TqdBaseFieldsValidationEngine::RaiseError(TqdResult aErrorCode) {
  if (!bfvFieldName.empty()) TqdBaseFieldValidationEngine::RaiseError(aErrorCode);
  qdString detail;
  GetErrorDetail(detail);
  Raise(aErrorCode, u"Fields validation \"" + bveName + u"\" failed: " + detail);
}

TqdMinMaxValidationEngine::TqdMinMaxValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                                     TqdBaseFieldValidationDescriptor* aDescriptor)
    : TqdBaseFieldValidationEngine(aParent, aCursor, aDescriptor),
      mmveMinMaxDescriptor(descriptorOf<TqdMinMaxValidationDescriptor, EqdMinMaxValidationEngineException>(
          aDescriptor, ClassInfo.ClassName)),
      mmveKeyFieldEngine(keyFieldEngineOf<EqdMinMaxValidationEngineException>(mmveMinMaxDescriptor->KeyField())) {
  const int32_t length = mmveMinMaxDescriptor->GetRelated<TqdFieldDescriptor>()->Length();
  mmveMin = boundOf(mmveMinMaxDescriptor->Min(), length);
  mmveMax = boundOf(mmveMinMaxDescriptor->Max(), length);
}

TqdMinMaxValidationEngine::~TqdMinMaxValidationEngine() = default;

void TqdMinMaxValidationEngine::RaiseException(TqdResult aErrorCode, qdStringView aMessage) const {
  throw EqdMinMaxValidationEngineException(aErrorCode, aMessage);
}

void TqdMinMaxValidationEngine::ValidateField(const uint8_t*, const uint8_t*, const uint8_t* aNewField,
                                              const uint8_t*) {
  if (aNewField == nullptr) return;
  if (!mmveMin.empty() && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMin.data()) == -1)
    RaiseError(qdeMinValErr);
  if (!mmveMax.empty() && mmveKeyFieldEngine->CompareFieldDirect(aNewField, mmveMax.data()) == 1)
    RaiseError(qdeMaxValErr);
}

TqdNoChangeValidationEngine::TqdNoChangeValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                                         TqdBaseFieldValidationDescriptor* aDescriptor)
    : TqdBaseFieldValidationEngine(aParent, aCursor, aDescriptor),
      ncveNoChangeDescriptor(descriptorOf<TqdNoChangeValidationDescriptor, EqdNoChangeValidationEngineException>(
          aDescriptor, ClassInfo.ClassName)),
      ncveKeyFieldEngine(keyFieldEngineOf<EqdNoChangeValidationEngineException>(ncveNoChangeDescriptor->KeyField())) {}

TqdNoChangeValidationEngine::~TqdNoChangeValidationEngine() = default;

void TqdNoChangeValidationEngine::RaiseException(TqdResult aErrorCode, qdStringView aMessage) const {
  throw EqdNoChangeValidationEngineException(aErrorCode, aMessage);
}

void TqdNoChangeValidationEngine::ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord,
                                                const uint8_t* aNewField, const uint8_t* aNewRecord) {
  if (aOldRecord == nullptr || aNewRecord == nullptr) return;
  if (aOldField == nullptr) return;  // a null value may be given one
  if (aNewField == nullptr || ncveKeyFieldEngine->CompareFieldDirect(aOldField, aNewField) != 0)
    RaiseError(qdeFieldReadOnly);
}

TqdNotNullValidationEngine::TqdNotNullValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                                       TqdBaseFieldValidationDescriptor* aDescriptor)
    : TqdBaseFieldValidationEngine(aParent, aCursor, aDescriptor) {
  bveName = kNotNullName;
}

void TqdNotNullValidationEngine::RaiseException(TqdResult aErrorCode, qdStringView aMessage) const {
  throw EqdNotNullValidationEngineException(aErrorCode, aMessage);
}

void TqdNotNullValidationEngine::ValidateField(const uint8_t*, const uint8_t*, const uint8_t* aNewField,
                                               const uint8_t*) {
  if (aNewField == nullptr) RaiseError(qdeRequiredErr);
}

TqdSqlCheckValidationEngine::TqdSqlCheckValidationEngine(TqdBaseValidationsEngine* aParent, TqdAbstractCursor* aCursor,
                                                         TqdBaseFieldValidationDescriptor* aDescriptor)
    : TqdBaseFieldsValidationEngine(aParent, aCursor, aDescriptor),
      scveSqlCheckDescriptor(descriptorOf<TqdSqlCheckValidationDescriptor, EqdSqlCheckValidationEngineException>(
          aDescriptor, ClassInfo.ClassName)) {
  const TqdSqlCheckStatementClass* statementClass = qdSqlCheckStatementClass;
  if (statementClass == nullptr || statementClass->Create == nullptr) return;
  TqdFieldDescriptor* field = nullptr;
  if (aParent != nullptr && aParent->InheritsFrom(TqdFieldValidationsEngine::ClassInfo))
    field = static_cast<TqdFieldValidationsEngine*>(aParent)->FieldDescriptor();
  scveSqlCheckStatement.reset(
      statementClass->Create(aParent->FieldsDescriptor(), field, aCursor, scveSqlCheckDescriptor->Constraint()));
}

TqdSqlCheckValidationEngine::~TqdSqlCheckValidationEngine() = default;

void TqdSqlCheckValidationEngine::RaiseException(TqdResult aErrorCode, qdStringView aMessage) const {
  throw EqdSqlCheckValidationEngineException(aErrorCode, aMessage);
}

void TqdSqlCheckValidationEngine::GetErrorDetail(qdString& aText) {
  if (!scveSqlCheckDescriptor->ErrorMessage().empty()) {
    aText = scveSqlCheckDescriptor->ErrorMessage();
  } else {
    TqdBaseFieldsValidationEngine::GetErrorDetail(aText);
  }
}

void TqdSqlCheckValidationEngine::ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord,
                                                const uint8_t* aNewField, const uint8_t* aNewRecord) {
  if (!scveSqlCheckStatement) Raise(qdeNotSupported, kNoSqlEngine);
  if (!scveSqlCheckStatement->ValidateField(aOldField, aOldRecord, aNewField, aNewRecord)) RaiseError(qdeExprValErr);
}

void TqdSqlCheckValidationEngine::ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) {
  ValidateField(nullptr, aOldRecord, nullptr, aNewRecord);
}

// --- SQL CHECK statements ---------------------------------------------------------------

TqdBaseSqlCheckStatement::TqdBaseSqlCheckStatement(TqdFieldsDescriptor* aFieldsDescriptor,
                                                   TqdFieldDescriptor* aFieldDescriptor, TqdAbstractCursor* aCursor,
                                                   qdStringView)
    : bscsFieldsDescriptor(aFieldsDescriptor), bscsFieldDescriptor(aFieldDescriptor), bscsCursor(aCursor) {
  if (aFieldDescriptor == nullptr) return;
  bscsFieldIndex = aFieldDescriptor->Number();
  bscsFieldSize = aFieldDescriptor->Length();
  bscsFieldType = aFieldDescriptor->FieldType();
  bscsFieldCodepage = aFieldDescriptor->UsedStorageCodePage();
  bscsFieldUnits = aFieldDescriptor->Units();
  bscsFieldDecPl = aFieldDescriptor->DecPl();
}

void TqdBaseSqlCheckStatement::GetBlobValue(TqdFieldDescriptor*, bool, TqdVariant& aValue, TqdBlobNr) {
  aValue = TqdVariant::Null();
}

bool TqdBaseSqlCheckStatement::ValidateField(const uint8_t* aOldField, const uint8_t* aOldRecord,
                                             const uint8_t* aNewField, const uint8_t* aNewRecord) {
  bscsOldField = aOldField;
  bscsOldRecord = aOldRecord;
  bscsNewField = aNewField;
  bscsNewRecord = aNewRecord;
  bool result = false;
  try {
    result = Evaluate();
  } catch (...) {
    // A condition that cannot be evaluated does not hold.
    result = false;
  }
  bscsOldField = nullptr;
  bscsOldRecord = nullptr;
  bscsNewField = nullptr;
  bscsNewRecord = nullptr;
  return result;
}

int32_t TqdBaseSqlCheckStatement::ResolveField(qdStringView aName, TqdFieldType& aFieldType,
                                               TqdLocaleDescriptor*& aLocaleDescriptor, int32_t& aDecimals,
                                               int32_t& aUnits) {
  qdString name = upperAscii(aName);
  TqdFieldDescriptor* field = nullptr;
  int32_t result = 0;
  if (bscsFieldDescriptor != nullptr && (name == u"NEW" || name == u"OLD")) {
    field = bscsFieldDescriptor;
    result = name == u"OLD" ? kSqlCheckOwnFieldRef + kSqlCheckOldRef : kSqlCheckOwnFieldRef;
  } else {
    bool old = false;
    if (name.starts_with(u"OLD$")) {
      old = true;
      name.erase(0, 4);
    }
    const int32_t index = bscsFieldsDescriptor->GetFieldFromName(name);
    if (index < 0) return index;
    field = bscsFieldsDescriptor->FieldDescriptor(index);
    result = old ? index + kSqlCheckOldRef : index;
  }
  if (qdBlobFieldTypes.Contains(field->FieldType()) && !SupportsBlobs()) return -1;
  aFieldType = field->FieldType();
  aLocaleDescriptor = field->GetUsedLocaleDescriptor();
  aDecimals = field->DecPl();
  aUnits = field->Units();
  return result;
}

void TqdBaseSqlCheckStatement::GetFieldValue(int32_t aRef, TqdVariant& aValue) {
  const bool old = aRef >= kSqlCheckOldRef;
  if (old) aRef -= kSqlCheckOldRef;
  if (aRef == kSqlCheckOwnFieldRef && bscsFieldDescriptor != nullptr) {
    const uint8_t* buffer = old ? bscsOldField : bscsNewField;
    if (buffer == nullptr) {
      aValue = TqdVariant::Null();
    } else if (qdBlobFieldTypes.Contains(bscsFieldType)) {
      GetBlobValue(bscsFieldDescriptor, old, aValue, qdGetI64(buffer));
    } else {
      aValue =
          qdNativeToVariant(bscsFieldType, bscsFieldCodepage, bscsFieldUnits, bscsFieldDecPl, buffer, bscsFieldSize);
    }
    return;
  }
  // Raises 9999 for a number outside the record before anything is read.
  TqdFieldDescriptor* field = bscsFieldsDescriptor->FieldDescriptor(aRef);
  const uint8_t* record = old ? bscsOldRecord : bscsNewRecord;
  const uint8_t* buffer = bscsFieldsDescriptor->GetRecordFieldForFilter(aRef, record);
  if (buffer == nullptr) {
    aValue = TqdVariant::Null();
  } else if (qdBlobFieldTypes.Contains(field->FieldType())) {
    GetBlobValue(field, old, aValue, qdGetI64(buffer));
  } else {
    aValue = field->fdGetBufferAsVariant(buffer);
  }
}

// --- Handler ---------------------------------------------------------------------------

std::unique_ptr<TqdValidationsHandler> TqdValidationsHandler::CreateFor(TqdFieldsDescriptor* aFieldsDescriptor,
                                                                        TqdApplyAt aApplyAt,
                                                                        TqdAbstractCursor* aCursor) {
  auto handler = std::make_unique<TqdValidationsHandler>(aFieldsDescriptor, aApplyAt, aCursor);
  if (handler->EngineCount() == 0) return nullptr;
  return handler;
}

TqdValidationsHandler::TqdValidationsHandler(TqdFieldsDescriptor* aFieldsDescriptor, TqdApplyAt aApplyAt,
                                             TqdAbstractCursor* aCursor)
    : vhFieldsDescriptor(aFieldsDescriptor) {
  const int32_t count = aFieldsDescriptor->FieldCount();
  vhEnginesByIndex.assign(static_cast<size_t>(count), nullptr);
  if (std::unique_ptr<TqdFieldsValidationsEngine> engine =
          TqdFieldsValidationsEngine::CreateFor(aFieldsDescriptor, aApplyAt, aCursor)) {
    vhFieldsEngine = engine.get();
    vhEngines.push_back(std::move(engine));
  }
  for (int32_t i = 0; i < count; ++i) {
    if (std::unique_ptr<TqdFieldValidationsEngine> engine =
            TqdFieldValidationsEngine::CreateFor(aFieldsDescriptor, i, aApplyAt, aCursor)) {
      vhEnginesByIndex[static_cast<size_t>(i)] = engine.get();
      vhEngines.push_back(std::move(engine));
    }
  }
}

TqdFieldValidationsEngine* TqdValidationsHandler::EngineByIndex(int32_t aField) const {
  if (aField < 0 || aField >= static_cast<int32_t>(vhEnginesByIndex.size())) return nullptr;
  return vhEnginesByIndex[static_cast<size_t>(aField)];
}

void TqdValidationsHandler::ValidateRecord(const uint8_t* aOldRecord, const uint8_t* aNewRecord) {
  for (const std::unique_ptr<TqdBaseValidationsEngine>& engine : vhEngines)
    engine->ValidateRecord(aOldRecord, aNewRecord);
}

void TqdValidationsHandler::ValidateField(const uint8_t* aOldRecord, const uint8_t* aNewRecord, int32_t aField) {
  TqdBaseValidationsEngine* engine = nullptr;
  if (aField == -1) {
    engine = vhFieldsEngine;
  } else {
    engine = EngineByIndex(aField);
  }
  if (engine != nullptr) engine->ValidateRecord(aOldRecord, aNewRecord);
}

void TqdValidationsHandler::ValidateRequired(const uint8_t* aNewRecord) {
  for (TqdFieldValidationsEngine* engine : vhEnginesByIndex) {
    if (engine == nullptr) continue;
    if (auto* notNull = static_cast<TqdBaseFieldValidationEngine*>(engine->NotNullEngine()))
      notNull->ValidateField(nullptr, nullptr,
                             vhFieldsDescriptor->GetRecordFieldForFilter(engine->FieldIndex(), aNewRecord), aNewRecord);
  }
}

bool TqdValidationsHandler::HasRequiredChecks() const {
  for (TqdFieldValidationsEngine* engine : vhEnginesByIndex)
    if (engine != nullptr && engine->NotNullEngine() != nullptr) return true;
  return false;
}

// --- Start and end ---------------------------------------------------------------------

void qdsdValidationEngineInitialize() {
  TqdBaseRegisterableEngine::RegisterEngine(TqdFieldsValidationsEngine::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdFieldValidationsEngine::ClassInfo);
  for (const TqdValidationEngineClass* engineClass : singleEngines)
    TqdBaseRegisterableEngine::RegisterEngine(*engineClass);
}

void qdsdValidationEngineFinalize() {
  for (const TqdValidationEngineClass* engineClass : singleEngines)
    TqdBaseRegisterableEngine::UnregisterEngine(*engineClass);
  TqdBaseRegisterableEngine::UnregisterEngine(TqdFieldValidationsEngine::ClassInfo);
  TqdBaseRegisterableEngine::UnregisterEngine(TqdFieldsValidationsEngine::ClassInfo);
  qdFreeAndNil(validationEngineRegistry);
  qdFreeAndNil(fieldValidationsEngineRegistry);
  qdFreeAndNil(fieldsValidationsEngineRegistry);
}

}  // namespace qd
