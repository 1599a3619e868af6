// Default-value descriptors of a field and the validation lists of fields
// and records: their settings, stream parts, comparison and checks.
#include "dictionary/qdsdDataDictionary.h"

#include "dictionary/qdsdDataDictionary_Private.h"
#include "dictionary/qdsdNativeVariantConverter.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* defaultValueFamilyRegistry = nullptr;
TqdClassRegistry** defaultValueFamily() { return &defaultValueFamilyRegistry; }
TqdClassRegistry* validationsFamilyRegistry = nullptr;
TqdClassRegistry** validationsFamily() { return &validationsFamilyRegistry; }
TqdClassRegistry* validationFamilyRegistry = nullptr;
TqdClassRegistry** validationFamily() { return &validationFamilyRegistry; }

constexpr TqdApplyAtSet allSides{aaServer, aaClient};

// Every field type but the listed ones.
TqdFieldTypes allTypesBut(TqdFieldTypes aServed) {
  TqdFieldTypes result;
  for (int type = 0; type <= static_cast<int>(qdtLastFieldType); ++type)
    if (!aServed.Contains(static_cast<TqdFieldType>(type))) result.Include(static_cast<TqdFieldType>(type));
  return result;
}

}  // namespace

const TqdDefaultValueDescriptorClass TqdBaseDefaultValueDescriptor::ClassInfo{
    {u"TqdBaseDefaultValueDescriptor", &TqdDictionaryItem::ClassInfo, &defaultValueFamily}, nullptr};
const TqdDefaultValueDescriptorClass TqdConstDefaultValueDescriptor::ClassInfo{
    {u"TqdConstDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdConstDefaultValueDescriptor, TqdPersistent*>};
const TqdDefaultValueDescriptorClass TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo{
    {u"TqdCurrentDateTimeDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdCurrentDateTimeDefaultValueDescriptor, TqdPersistent*>};
const TqdDefaultValueDescriptorClass TqdCurrentUserDefaultValueDescriptor::ClassInfo{
    {u"TqdCurrentUserDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdCurrentUserDefaultValueDescriptor, TqdPersistent*>};
const TqdDefaultValueDescriptorClass TqdAutoGuidDefaultValueDescriptor::ClassInfo{
    {u"TqdAutoGuidDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdAutoGuidDefaultValueDescriptor, TqdPersistent*>};
const TqdDefaultValueDescriptorClass TqdEmptyDefaultValueDescriptor::ClassInfo{
    {u"TqdEmptyDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdEmptyDefaultValueDescriptor, TqdPersistent*>};
const TqdDefaultValueDescriptorClass TqdNextLSNDefaultValueDescriptor::ClassInfo{
    {u"TqdNextLSNDefaultValueDescriptor", &TqdBaseDefaultValueDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseDefaultValueDescriptor, TqdNextLSNDefaultValueDescriptor, TqdPersistent*>};
const TqdFieldValidationsDescriptorClass TqdFieldValidationsDescriptor::ClassInfo{
    {u"TqdFieldValidationsDescriptor", &TqdDictionaryItem::ClassInfo, &validationsFamily},
    &qdNewDescriptor<TqdFieldValidationsDescriptor, TqdFieldValidationsDescriptor, TqdPersistent*>};
const TqdFieldValidationsDescriptorClass TqdFieldsValidationsDescriptor::ClassInfo{
    {u"TqdFieldsValidationsDescriptor", &TqdFieldValidationsDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdFieldValidationsDescriptor, TqdFieldsValidationsDescriptor, TqdPersistent*>};

const TqdValidationDescriptorClass TqdBaseFieldValidationDescriptor::ClassInfo{
    {u"TqdBaseFieldValidationDescriptor", &TqdDictionaryItem::ClassInfo, &validationFamily},
    &qdNewDescriptor<TqdBaseFieldValidationDescriptor, TqdBaseFieldValidationDescriptor, TqdPersistent*, qdStringView>};
const TqdValidationDescriptorClass TqdBaseFieldsValidationDescriptor::ClassInfo{
    {u"TqdBaseFieldsValidationDescriptor", &TqdBaseFieldValidationDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFieldValidationDescriptor, TqdBaseFieldsValidationDescriptor, TqdPersistent*,
                     qdStringView>};
const TqdValidationDescriptorClass TqdMinMaxValidationDescriptor::ClassInfo{
    {u"TqdMinMaxValidationDescriptor", &TqdBaseFieldValidationDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFieldValidationDescriptor, TqdMinMaxValidationDescriptor, TqdPersistent*, qdStringView>};
const TqdValidationDescriptorClass TqdNoChangeValidationDescriptor::ClassInfo{
    {u"TqdNoChangeValidationDescriptor", &TqdBaseFieldValidationDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFieldValidationDescriptor, TqdNoChangeValidationDescriptor, TqdPersistent*, qdStringView>};
const TqdValidationDescriptorClass TqdSqlCheckValidationDescriptor::ClassInfo{
    {u"TqdSqlCheckValidationDescriptor", &TqdBaseFieldsValidationDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFieldValidationDescriptor, TqdSqlCheckValidationDescriptor, TqdPersistent*, qdStringView>};

// --- Base default value ---------------------------------------------------------------------

TqdBaseDefaultValueDescriptor::TqdBaseDefaultValueDescriptor(TqdPersistent* aParent, const TqdClassInfo& aClass)
    : TqdDictionaryItem(aParent) {
  // No default of any class can fill a BLOB field.
  if (TqdFieldDescriptor* field = FindRelated<TqdFieldDescriptor>())
    CheckFieldType(aClass, field->FieldType(), qdBlobFieldTypes);
}

void TqdBaseDefaultValueDescriptor::CheckFieldType(const TqdClassInfo& aClass, TqdFieldType aType,
                                                   TqdFieldTypes aInvalid) const {
  if (aInvalid.Contains(aType))
    Error(qdeInvalidFieldDesc, u"\"%s\" is not supported for field type \"%s\"",
          {aClass.ClassName, qdFieldTypeIdent(aType)});
}

void TqdBaseDefaultValueDescriptor::SetApplyAt(TqdApplyAtSet aValue) {
  CheckReadOnly();
  bdvApplyAt = aValue;
}

void TqdBaseDefaultValueDescriptor::SetApplyOnInsert(bool aValue) {
  CheckReadOnly();
  bdvApplyOnInsert = aValue;
}

void TqdBaseDefaultValueDescriptor::SetApplyOnModify(bool aValue) {
  CheckReadOnly();
  bdvApplyOnModify = aValue;
}

void TqdBaseDefaultValueDescriptor::SetOverwriteNonNull(bool aValue) {
  CheckReadOnly();
  bdvOverwriteNonNull = aValue;
}

TqdFieldTypes TqdBaseDefaultValueDescriptor::GetInvalidFieldTypes() const { return qdBlobFieldTypes; }

void TqdBaseDefaultValueDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) {
    // Older clients know only the default settings, which they assume.
    if (!bdvApplyOnInsert || bdvApplyOnModify || bdvOverwriteNonNull || bdvApplyAt != allSides)
      Error(qdeIncompatibleServer);
    return;
  }
  aWriter.WriteIdent(u"BDVD");
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(bdvApplyOnInsert);
  aWriter.WriteBoolean(bdvApplyOnModify);
  aWriter.WriteBoolean(bdvOverwriteNonNull);
  aWriter.WriteBoolean(bdvApplyAt.Contains(aaServer));
  aWriter.WriteBoolean(bdvApplyAt.Contains(aaClient));
}

void TqdBaseDefaultValueDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  // The older layout carries no part: it could only hold the defaults.
  if (aReader.NextValue() != vaIdent) {
    bdvApplyOnInsert = true;
    bdvApplyOnModify = false;
    bdvOverwriteNonNull = false;
    bdvApplyAt = allSides;
    return;
  }
  if (aReader.ReadIdent() != u"BDVD") Error(qdeIncompatibleStream);
  ReadVersion(aReader, 1, 1);
  bdvApplyOnInsert = aReader.ReadBoolean();
  bdvApplyOnModify = aReader.ReadBoolean();
  bdvOverwriteNonNull = aReader.ReadBoolean();
  TqdApplyAtSet applyAt;
  if (aReader.ReadBoolean()) applyAt.Include(aaServer);
  if (aReader.ReadBoolean()) applyAt.Include(aaClient);
  bdvApplyAt = applyAt;
}

void TqdBaseDefaultValueDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  CheckFieldType(ClassType(), GetRelated<TqdFieldDescriptor>()->FieldType(), GetInvalidFieldTypes());
}

bool TqdBaseDefaultValueDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = static_cast<const TqdBaseDefaultValueDescriptor*>(aItem);
  return bdvApplyOnInsert == other->bdvApplyOnInsert && bdvApplyOnModify == other->bdvApplyOnModify &&
         bdvOverwriteNonNull == other->bdvOverwriteNonNull && bdvApplyAt == other->bdvApplyAt;
}

// --- The concrete default values ---------------------------------------------------------

TqdConstDefaultValueDescriptor::TqdConstDefaultValueDescriptor(TqdPersistent* aParent)
    : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {
  if (TqdFieldDescriptor* field = FindRelated<TqdFieldDescriptor>()) TakeSnapshot(field);
}

TqdFieldDescriptor* TqdConstDefaultValueDescriptor::Field() { return GetRelated<TqdFieldDescriptor>(); }

void TqdConstDefaultValueDescriptor::TakeSnapshot(TqdFieldDescriptor* aField) {
  cdvFieldType = aField->FieldType();
  cdvFieldCodePage = aField->UsedStorageCodePage();
  cdvFieldUnits = aField->Units();
  cdvFieldDecPl = aField->DecPl();
  cdvFieldLength = aField->Length();
  cdvDefaultValue.assign(static_cast<size_t>(cdvFieldLength), 0);
}

bool TqdConstDefaultValueDescriptor::MatchesField(TqdFieldDescriptor* aField) const {
  return cdvFieldType == aField->FieldType() && cdvFieldCodePage == aField->UsedStorageCodePage() &&
         cdvFieldUnits == aField->Units() && cdvFieldDecPl == aField->DecPl() && cdvFieldLength == aField->Length();
}

std::vector<uint8_t> TqdConstDefaultValueDescriptor::ConvertedForField(TqdFieldDescriptor* aField) const {
  std::vector<uint8_t> value(static_cast<size_t>(aField->Length()), 0);
  try {
    const TqdVariant old = qdNativeToVariant(cdvFieldType, cdvFieldCodePage, cdvFieldUnits, cdvFieldDecPl,
                                             cdvDefaultValue.data(), static_cast<int32_t>(cdvDefaultValue.size()));
    aField->fdSetBufferAsVariant(value.data(), old);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    Error(qdeInvalidFieldXform);
  }
  return value;
}

std::vector<uint8_t> TqdConstDefaultValueDescriptor::ValueForField() const {
  TqdFieldDescriptor* field = const_cast<TqdConstDefaultValueDescriptor*>(this)->Field();
  return MatchesField(field) ? cdvDefaultValue : ConvertedForField(field);
}

void TqdConstDefaultValueDescriptor::AdaptToField(bool aConvert) {
  TqdFieldDescriptor* field = Field();
  if (MatchesField(field)) return;
  std::vector<uint8_t> converted;
  bool failed = false;
  if (aConvert) {
    try {
      converted = ConvertedForField(field);
    } catch (const EqdBaseException&) {
      failed = true;
    }
  }
  TakeSnapshot(field);
  if (!converted.empty()) cdvDefaultValue = std::move(converted);
  if (failed) Error(qdeInvalidFieldXform);
}

TqdVariant TqdConstDefaultValueDescriptor::AsVariant() {
  // A read-only dictionary may be shared by threads: it is never changed,
  // the value is converted into a copy instead.
  const TqdDataDictionary* dictionary = Dictionary();
  if (dictionary != nullptr && dictionary->ReadOnly()) return Field()->fdGetBufferAsVariant(ValueForField().data());
  AdaptToField(true);
  return Field()->fdGetBufferAsVariant(cdvDefaultValue.data());
}

void TqdConstDefaultValueDescriptor::SetAsVariant(const TqdVariant& aValue) {
  CheckReadOnly();
  AdaptToField(false);
  Field()->fdSetBufferAsVariant(cdvDefaultValue.data(), aValue);
}

TqdFieldTypes TqdConstDefaultValueDescriptor::GetInvalidFieldTypes() const { return qdBlobFieldTypes; }

void TqdConstDefaultValueDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  // The value is written in the field's current layout; the descriptor
  // itself is left as it is, since several threads may write one shared
  // dictionary.
  const std::vector<uint8_t> value = ValueForField();
  TqdBaseDefaultValueDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  if (!value.empty()) aWriter.Write(value.data(), static_cast<int32_t>(value.size()));
}

void TqdConstDefaultValueDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseDefaultValueDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  if (!cdvDefaultValue.empty()) aReader.Read(cdvDefaultValue.data(), static_cast<int32_t>(cdvDefaultValue.size()));
}

bool TqdConstDefaultValueDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseDefaultValueDescriptor::IsEqual(aItem)) return false;
  return cdvDefaultValue == static_cast<const TqdConstDefaultValueDescriptor*>(aItem)->cdvDefaultValue;
}

TqdFieldTypes TqdCurrentDateTimeDefaultValueDescriptor::GetInvalidFieldTypes() const {
  return allTypesBut({qdtDate, qdtTime, qdtDateTime});
}

TqdFieldTypes TqdCurrentUserDefaultValueDescriptor::GetInvalidFieldTypes() const {
  return allTypesBut({qdtShortString, qdtNullString, qdtWideString});
}

TqdFieldTypes TqdAutoGuidDefaultValueDescriptor::GetInvalidFieldTypes() const { return allTypesBut({qdtGuid}); }

TqdFieldTypes TqdEmptyDefaultValueDescriptor::GetInvalidFieldTypes() const {
  // Zero bytes are no valid date, time or interval.
  return TqdFieldTypes{qdtDate, qdtTime, qdtDateTime, qdtInterval, qdtBlob, qdtBlobMemo, qdtBlobGraphic};
}

TqdNextLSNDefaultValueDescriptor::TqdNextLSNDefaultValueDescriptor(TqdPersistent* aParent)
    : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {
  bdvApplyAt = TqdApplyAtSet{aaServer};
  bdvApplyOnInsert = true;
  bdvApplyOnModify = true;
  bdvOverwriteNonNull = true;
}

void TqdNextLSNDefaultValueDescriptor::SetApplyAt(TqdApplyAtSet) {
  CheckReadOnly();
  bdvApplyAt = TqdApplyAtSet{aaServer};
}

void TqdNextLSNDefaultValueDescriptor::SetApplyOnInsert(bool) {
  CheckReadOnly();
  bdvApplyOnInsert = true;
}

void TqdNextLSNDefaultValueDescriptor::SetOverwriteNonNull(bool) {
  CheckReadOnly();
  bdvOverwriteNonNull = true;
}

TqdFieldTypes TqdNextLSNDefaultValueDescriptor::GetInvalidFieldTypes() const { return allTypesBut({qdtInt64}); }

// --- Validations ---------------------------------------------------------------------------

namespace {

void writeApplyAt(TqdWriter& aWriter, TqdApplyAtSet aSet) {
  aWriter.WriteBoolean(aSet.Contains(aaServer));
  aWriter.WriteBoolean(aSet.Contains(aaClient));
}

TqdApplyAtSet readApplyAt(TqdReader& aReader) {
  TqdApplyAtSet result;
  if (aReader.ReadBoolean()) result.Include(aaServer);
  if (aReader.ReadBoolean()) result.Include(aaClient);
  return result;
}

void writeBound(TqdWriter& aWriter, const std::vector<uint8_t>& aBound) {
  aWriter.WriteBoolean(!aBound.empty());
  if (!aBound.empty()) aWriter.Write(aBound.data(), static_cast<int32_t>(aBound.size()));
}

void readBound(TqdReader& aReader, std::vector<uint8_t>& aBound, int32_t aLength) {
  aBound.clear();
  if (!aReader.ReadBoolean()) return;
  aBound.assign(static_cast<size_t>(aLength), 0);
  if (aLength > 0) aReader.Read(aBound.data(), aLength);
}

bool sameKeyField(const TqdKeyFieldDescriptor* a, const TqdKeyFieldDescriptor* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->IsEqual(b);
}

void writeKeyField(TqdWriter& aWriter, const TqdKeyFieldDescriptor* aKeyField, int32_t aClientVersion) {
  aWriter.WriteBoolean(aKeyField != nullptr);
  if (aKeyField == nullptr) return;
  writeClassName(aWriter, *aKeyField);
  aKeyField->SaveToWriter(aWriter, aClientVersion);
}

// The key field is freed first and rebuilt when the stream holds one.
void readKeyField(TqdReader& aReader, TqdDictionaryItem& aOwner, TqdKeyFieldDescriptor*& aKeyField) {
  qdFreeAndNil(aKeyField);
  if (!aReader.ReadBoolean()) return;
  const TqdKeyFieldDescriptorClass& keyFieldClass =
      readDescriptorClass(aReader, TqdKeyFieldDescriptor::ClassInfo, aOwner, u"KeyFieldDescriptor");
  aKeyField = keyFieldClass.Create(&aOwner, kRelatedFieldNumber);
  aKeyField->LoadFromReader(aReader);
}

TqdKeyFieldDescriptor* newKeyField(TqdDictionaryItem& aOwner, TqdKeyFieldDescriptor*& aKeyField,
                                   const TqdKeyFieldDescriptorClass* aClass) {
  qdFreeAndNil(aKeyField);
  const TqdKeyFieldDescriptorClass& keyFieldClass = aClass != nullptr ? *aClass : TqdKeyFieldDescriptor::ClassInfo;
  aKeyField = keyFieldClass.Create(&aOwner, kRelatedFieldNumber);
  return aKeyField;
}

}  // namespace

TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor(TqdPersistent* aParent, qdStringView aName)
    : TqdDictionaryItem(aParent), bvdName(aName) {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidName, false, true);
  if (check != 0) throw EqdBaseFieldValidationDescriptorException(check);
}

void TqdBaseFieldValidationDescriptor::SetApplyAt(TqdApplyAtSet aValue) {
  CheckReadOnly();
  bvdApplyAt = aValue;
}

void TqdBaseFieldValidationDescriptor::CheckFieldType() const {
  const TqdFieldType type =
      const_cast<TqdBaseFieldValidationDescriptor*>(this)->GetRelated<TqdFieldDescriptor>()->FieldType();
  if (InvalidFieldTypes().Contains(type))
    Error(qdeInvalidFieldDesc, u"\"%s\" is not supported for field type \"%s\"",
          {ClassType().ClassName, qdFieldTypeIdent(type)});
}

void TqdBaseFieldValidationDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  writeApplyAt(aWriter, bvdApplyAt);
}

void TqdBaseFieldValidationDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  bvdApplyAt = readApplyAt(aReader);
}

void TqdBaseFieldValidationDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  const TqdResult check = qdCheckIdentifier(bvdName, qdeInvalidName, false, true);
  if (check != 0) Error(check);
}

bool TqdBaseFieldValidationDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  return TqdDictionaryItem::IsEqual(aItem) &&
         ApplyAt() == static_cast<const TqdBaseFieldValidationDescriptor*>(aItem)->ApplyAt();
}

TqdMinMaxValidationDescriptor::~TqdMinMaxValidationDescriptor() { qdFreeAndNil(mmvdKeyField); }

TqdVariant TqdMinMaxValidationDescriptor::BoundAsVariant(const std::vector<uint8_t>& aBound) {
  if (aBound.empty()) return TqdVariant::Null();
  return GetRelated<TqdFieldDescriptor>()->fdGetBufferAsVariant(aBound.data());
}

void TqdMinMaxValidationDescriptor::SetBound(std::vector<uint8_t>& aBound, const TqdVariant& aValue) {
  CheckReadOnly();
  aBound.clear();
  if (qdVarIsEmptyOrNull(aValue)) return;
  TqdFieldDescriptor* field = GetRelated<TqdFieldDescriptor>();
  std::vector<uint8_t> bound(static_cast<size_t>(field->Length()), 0);
  field->fdSetBufferAsVariant(bound.data(), aValue);
  aBound = std::move(bound);
}

TqdVariant TqdMinMaxValidationDescriptor::MinAsVariant() { return BoundAsVariant(mmvdMin); }
void TqdMinMaxValidationDescriptor::SetMinAsVariant(const TqdVariant& aValue) { SetBound(mmvdMin, aValue); }
TqdVariant TqdMinMaxValidationDescriptor::MaxAsVariant() { return BoundAsVariant(mmvdMax); }
void TqdMinMaxValidationDescriptor::SetMaxAsVariant(const TqdVariant& aValue) { SetBound(mmvdMax, aValue); }

TqdKeyFieldDescriptor* TqdMinMaxValidationDescriptor::AddKeyField(const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  return newKeyField(*this, mmvdKeyField, aClass);
}

void TqdMinMaxValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  qdFreeAndNil(mmvdKeyField);
}

void TqdMinMaxValidationDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  writeBound(aWriter, mmvdMin);
  writeBound(aWriter, mmvdMax);
  writeKeyField(aWriter, mmvdKeyField, aClientVersion);
}

void TqdMinMaxValidationDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseFieldValidationDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  const int32_t length = GetRelated<TqdFieldDescriptor>()->Length();
  readBound(aReader, mmvdMin, length);
  readBound(aReader, mmvdMax, length);
  readKeyField(aReader, *this, mmvdKeyField);
}

void TqdMinMaxValidationDescriptor::CheckValid(bool aForBuild) {
  TqdBaseFieldValidationDescriptor::CheckValid(aForBuild);
  CheckFieldType();
  if (mmvdKeyField == nullptr) AddKeyField(nullptr);
  mmvdKeyField->CheckValid(aForBuild);
}

bool TqdMinMaxValidationDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseFieldValidationDescriptor::IsEqual(aItem)) return false;
  const auto* other = static_cast<const TqdMinMaxValidationDescriptor*>(aItem);
  return mmvdMin == other->mmvdMin && mmvdMax == other->mmvdMax && sameKeyField(mmvdKeyField, other->mmvdKeyField);
}

TqdNoChangeValidationDescriptor::~TqdNoChangeValidationDescriptor() { qdFreeAndNil(ncvdKeyField); }

TqdKeyFieldDescriptor* TqdNoChangeValidationDescriptor::AddKeyField(const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  return newKeyField(*this, ncvdKeyField, aClass);
}

void TqdNoChangeValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  qdFreeAndNil(ncvdKeyField);
}

void TqdNoChangeValidationDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  writeKeyField(aWriter, ncvdKeyField, aClientVersion);
}

void TqdNoChangeValidationDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseFieldValidationDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  readKeyField(aReader, *this, ncvdKeyField);
}

void TqdNoChangeValidationDescriptor::CheckValid(bool aForBuild) {
  TqdBaseFieldValidationDescriptor::CheckValid(aForBuild);
  CheckFieldType();
  if (ncvdKeyField == nullptr) AddKeyField(nullptr);
  ncvdKeyField->CheckValid(aForBuild);
}

bool TqdNoChangeValidationDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  return TqdBaseFieldValidationDescriptor::IsEqual(aItem) &&
         sameKeyField(ncvdKeyField, static_cast<const TqdNoChangeValidationDescriptor*>(aItem)->ncvdKeyField);
}

TqdApplyAtSet TqdSqlCheckValidationDescriptor::ApplyAt() const {
  return bvdApplyAt.Contains(aaServer) ? TqdApplyAtSet{aaServer} : TqdApplyAtSet{};
}

void TqdSqlCheckValidationDescriptor::SetApplyAt(TqdApplyAtSet aValue) {
  TqdBaseFieldValidationDescriptor::SetApplyAt(aValue.Contains(aaServer) ? TqdApplyAtSet{aaServer} : TqdApplyAtSet{});
}

void TqdSqlCheckValidationDescriptor::SetConstraint(qdStringView aValue) {
  CheckReadOnly();
  scvdConstraint = aValue;
}

void TqdSqlCheckValidationDescriptor::SetErrorMessage(qdStringView aValue) {
  CheckReadOnly();
  scvdErrorMessage = aValue;
}

void TqdSqlCheckValidationDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteWideString(scvdConstraint);
  aWriter.WriteString(scvdErrorMessage);
}

void TqdSqlCheckValidationDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseFieldValidationDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  scvdConstraint = aReader.ReadWideString();
  scvdErrorMessage = aReader.ReadString();
}

bool TqdSqlCheckValidationDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  return TqdBaseFieldValidationDescriptor::IsEqual(aItem) &&
         scvdConstraint == static_cast<const TqdSqlCheckValidationDescriptor*>(aItem)->scvdConstraint;
}

// --- Validation lists -------------------------------------------------------------------------

TqdFieldValidationsDescriptor::~TqdFieldValidationsDescriptor() { FreeValidations(); }

void TqdFieldValidationsDescriptor::FreeValidations() {
  while (!fvdValidations.empty()) {
    delete fvdValidations.back();
    fvdValidations.pop_back();
  }
}

const TqdValidationDescriptorClass& TqdFieldValidationsDescriptor::ValidationClass() const {
  return TqdBaseFieldValidationDescriptor::ClassInfo;
}

const TqdValidationDescriptorClass& TqdFieldsValidationsDescriptor::ValidationClass() const {
  return TqdBaseFieldsValidationDescriptor::ClassInfo;
}

TqdBaseFieldValidationDescriptor* TqdFieldValidationsDescriptor::AddValidation(
    qdStringView aName, const TqdValidationDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidName, false, true);
  if (check != 0) throw EqdBaseFieldValidationDescriptorException(check);
  if (GetValidationDescriptorFromName(aName) >= 0)
    Error(qdeNameNotUnique, u"Duplicated validation descriptor name: %s", {qdString(aName)});
  const TqdValidationDescriptorClass& required = ValidationClass();
  if (aClass != nullptr && !aClass->InheritsFrom(required))
    Error(qdeInvalidParam, u"%s.AddValidation: aClass must be of type %s but is of type %s",
          {ClassType().ClassName, required.ClassName, aClass->ClassName});
  const TqdValidationDescriptorClass& entryClass = aClass != nullptr ? *aClass : required;
  TqdBaseFieldValidationDescriptor* entry = entryClass.Create(this, aName);
  fvdValidations.push_back(entry);
  return entry;
}

void TqdFieldValidationsDescriptor::RemoveValidation(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= ValidationCount()) return;
  delete fvdValidations[static_cast<size_t>(aInx)];
  fvdValidations.erase(fvdValidations.begin() + aInx);
}

void TqdFieldValidationsDescriptor::RemoveValidation(qdStringView aName) {
  RemoveValidation(GetValidationDescriptorFromName(aName));
}

int32_t TqdFieldValidationsDescriptor::GetValidationDescriptorFromName(qdStringView aValidationDescriptorName) const {
  for (int32_t i = 0; i < ValidationCount(); ++i)
    if (sameTextAscii(fvdValidations[static_cast<size_t>(i)]->Name(), aValidationDescriptorName)) return i;
  return -1;
}

int32_t TqdFieldValidationsDescriptor::GetValidationDescriptorFromClassName(
    qdStringView aValidationDescriptorClassName) const {
  for (int32_t i = 0; i < ValidationCount(); ++i)
    if (sameTextAscii(fvdValidations[static_cast<size_t>(i)]->ClassType().ClassName, aValidationDescriptorClassName))
      return i;
  return -1;
}

void TqdFieldValidationsDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  FreeValidations();
}

void TqdFieldValidationsDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(ValidationCount());
  for (const TqdBaseFieldValidationDescriptor* entry : fvdValidations) {
    writeClassName(aWriter, *entry);
    aWriter.WriteString(entry->Name());
    entry->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdFieldValidationsDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  FreeValidations();
  ReadVersion(aReader, 1, 1);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < count; ++i) {
    const TqdValidationDescriptorClass& entryClass =
        readDescriptorClass(aReader, TqdBaseFieldValidationDescriptor::ClassInfo, *this, u"ValidationDescriptor");
    // A field check in a record list would find no field to check.
    if (!entryClass.InheritsFrom(ValidationClass()))
      Error(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
            {u"ValidationDescriptor", entryClass.ClassName});
    const qdString name = aReader.ReadString();
    TqdBaseFieldValidationDescriptor* entry = entryClass.Create(this, name);
    fvdValidations.push_back(entry);
    entry->LoadFromReader(aReader);
  }
}

void TqdFieldValidationsDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  for (size_t i = 0; i < fvdValidations.size(); ++i) {
    for (size_t j = 0; j < i; ++j)
      if (sameTextAscii(fvdValidations[j]->Name(), fvdValidations[i]->Name()))
        Error(qdeNameNotUnique, u"Duplicated validation descriptor name: %s", {fvdValidations[i]->Name()});
    fvdValidations[i]->CheckValid(aForBuild);
  }
}

bool TqdFieldValidationsDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = static_cast<const TqdFieldValidationsDescriptor*>(aItem);
  if (ValidationCount() != other->ValidationCount()) return false;
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (!fvdValidations[i]->IsEqual(other->fvdValidations[i])) return false;
  return true;
}

}  // namespace qd
