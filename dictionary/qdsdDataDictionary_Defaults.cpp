// Default-value descriptors of a field and the validation lists of fields
// and records: their settings, stream parts, comparison and checks.
#include "dictionary/qdsdDataDictionary.h"

#include "dictionary/qdsdDataDictionary_Private.h"
#include "dictionary/qdsdNativeVariantConverter.h"
#include "foundation/qdllStreams.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* defaultValueFamilyRegistry = nullptr;
TqdClassRegistry** defaultValueFamily() { return &defaultValueFamilyRegistry; }
TqdClassRegistry* validationsFamilyRegistry = nullptr;
TqdClassRegistry** validationsFamily() { return &validationsFamilyRegistry; }

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

void TqdConstDefaultValueDescriptor::AdaptToField(bool aConvert) {
  TqdFieldDescriptor* field = Field();
  if (cdvFieldType == field->FieldType() && cdvFieldCodePage == field->UsedStorageCodePage() &&
      cdvFieldUnits == field->Units() && cdvFieldDecPl == field->DecPl() && cdvFieldLength == field->Length())
    return;
  const std::vector<uint8_t> oldValue = std::move(cdvDefaultValue);
  const TqdFieldType oldType = cdvFieldType;
  const uint16_t oldCodePage = cdvFieldCodePage;
  const int32_t oldUnits = cdvFieldUnits;
  const int32_t oldDecPl = cdvFieldDecPl;
  TakeSnapshot(field);
  if (!aConvert) return;
  try {
    const TqdVariant value = qdNativeToVariant(oldType, oldCodePage, oldUnits, oldDecPl, oldValue.data(),
                                               static_cast<int32_t>(oldValue.size()));
    field->fdSetBufferAsVariant(cdvDefaultValue.data(), value);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    std::fill(cdvDefaultValue.begin(), cdvDefaultValue.end(), uint8_t{0});
    Error(qdeInvalidFieldXform);
  }
}

TqdVariant TqdConstDefaultValueDescriptor::AsVariant() {
  AdaptToField(true);
  return Field()->fdGetBufferAsVariant(cdvDefaultValue.data());
}

void TqdConstDefaultValueDescriptor::SetAsVariant(const TqdVariant& aValue) {
  AdaptToField(false);
  Field()->fdSetBufferAsVariant(cdvDefaultValue.data(), aValue);
}

TqdFieldTypes TqdConstDefaultValueDescriptor::GetInvalidFieldTypes() const { return qdBlobFieldTypes; }

void TqdConstDefaultValueDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  // The value is written in the field's current layout.
  const_cast<TqdConstDefaultValueDescriptor*>(this)->AdaptToField(true);
  TqdBaseDefaultValueDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  if (!cdvDefaultValue.empty()) aWriter.Write(cdvDefaultValue.data(), static_cast<int32_t>(cdvDefaultValue.size()));
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

}  // namespace qd
