// Fields and the record image.
#include "dictionary/qdsdDataDictionary.h"

#include <cstring>
#include <utility>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStringList.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* fieldFamilyRegistry = nullptr;
TqdClassRegistry** fieldFamily() { return &fieldFamilyRegistry; }
TqdClassRegistry* fieldsFamilyRegistry = nullptr;
TqdClassRegistry** fieldsFamily() { return &fieldsFamilyRegistry; }

// The data area never comes near this; a sum beyond it can only come from a
// damaged stream and would overflow the 32-bit offsets.
constexpr int64_t kMaxDataLength = 0x3FFFFFFF;

constexpr int32_t roundUp4(int32_t aValue) { return (aValue + 3) & ~3; }

constexpr int32_t bitmapBytes(int32_t aFieldCount) { return 4 * ((aFieldCount + 31) / 32); }

const char16_t* boolText(bool aValue) { return aValue ? u"True" : u"False"; }

bool parseInteger(qdStringView aText, int32_t& aValue) {
  size_t i = 0;
  bool negative = false;
  if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) negative = aText[i++] == u'-';
  if (i == aText.size()) return false;
  int64_t value = 0;
  for (; i < aText.size(); ++i) {
    if (aText[i] < u'0' || aText[i] > u'9') return false;
    value = value * 10 + (aText[i] - u'0');
    if (value > int64_t(INT32_MAX) + 1) return false;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  aValue = static_cast<int32_t>(value);
  return true;
}

qdString integerText(int32_t aValue) { return AsciiToString(std::to_string(aValue)); }

struct TqdAssignDepthGuard {
  TqdAssignDepthGuard() { ++qdDictionaryAssignDepth; }
  ~TqdAssignDepthGuard() { --qdDictionaryAssignDepth; }
};

}  // namespace

// --- Field descriptor ---------------------------------------------------------------------

const TqdFieldDescriptorClass TqdFieldDescriptor::ClassInfo{
    {u"TqdFieldDescriptor", &TqdLocalizedDictionaryItem::ClassInfo, &fieldFamily},
    &qdNewDescriptor<TqdFieldDescriptor, TqdFieldDescriptor, TqdPersistent*, qdStringView, qdStringView, TqdFieldType,
                     int32_t, int32_t, bool>};

TqdFieldDescriptor::TqdFieldDescriptor(TqdPersistent* aParent, qdStringView aName, qdStringView aDesc,
                                       TqdFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired)
    : TqdLocalizedDictionaryItem(aParent),
      fdName(aName),
      fdNameLowerCase(asciiLowerCase(aName)),
      fdDesc(aDesc),
      fdType(aType),
      fdUnits(aUnits),
      fdDecPl(aDecPl),
      fdRequired(aRequired) {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidFieldName, false, true);
  if (check != 0) Error(check);
  UpdateSetup();
}

TqdFieldDescriptor::~TqdFieldDescriptor() {
  qdFreeAndNil(fdValidations);
  qdFreeAndNil(fdDefaultValue);
}

void TqdFieldDescriptor::SetupField(TqdFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired,
                                    int32_t& aLength) {
  if (aType == qdtAutoInc || aType == qdtRecRev || aType == qdtRefNr) aRequired = false;
  const auto fixed = [&](int32_t aFixedUnits, int32_t aFixedLength) {
    aUnits = aFixedUnits;
    aDecPl = 0;
    aLength = aFixedLength;
  };
  const auto integer = [&](int32_t aMaxUnits, int32_t aFixedLength) {
    if (aUnits < 1 || aUnits > aMaxUnits) aUnits = aMaxUnits;
    aDecPl = 0;
    aLength = aFixedLength;
  };
  const auto sizedUnits = [&]() {
    if (aUnits <= 0) throw EqdFieldDescriptorException(qdeInvalidFieldDesc, u"Units must be > 0");
    // Larger units could not stand in a record buffer (16-bit offsets) and
    // would overflow the lengths computed from them.
    if (aUnits > qdMaxRecordLength) throw EqdFieldDescriptorException(qdeRecordTooLarge);
  };
  switch (aType) {
    case qdtBoolean:
      fixed(0, 1);
      break;
    case qdtChar:
      fixed(1, 1);
      break;
    case qdtWideChar:
      fixed(1, 2);
      break;
    case qdtByte:
    case qdtInt8:
      integer(3, 1);
      break;
    case qdtWord16:
    case qdtInt16:
      integer(5, 2);
      break;
    case qdtWord32:
    case qdtInt32:
      integer(10, 4);
      break;
    case qdtInt64:
      integer(20, 8);
      break;
    case qdtAutoInc:
    case qdtRecRev:
      fixed(10, 4);
      break;
    case qdtSingle:
      aLength = 4;
      break;
    case qdtDouble:
      aLength = 8;
      break;
    case qdtExtended:
      aLength = 10;
      break;
    case qdtCurrency:
    case qdtBCD:
      if (aDecPl < 0 || aDecPl > 4) aDecPl = 4;
      if (aUnits < 1 || aUnits > 16 + aDecPl) aUnits = 16 + aDecPl;
      if (aUnits <= aDecPl) aUnits = aDecPl + 1;
      aLength = 8;
      break;
    case qdtDate:
    case qdtTime:
      fixed(0, 4);
      break;
    case qdtDateTime:
    case qdtInterval:
    case qdtBlob:
    case qdtBlobMemo:
    case qdtBlobGraphic:
    case qdtBlobWideMemo:
      fixed(0, 8);
      break;
    case qdtByteArray:
      sizedUnits();
      aDecPl = 0;
      aLength = aUnits;
      break;
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
      sizedUnits();
      if (aType == qdtShortString && aUnits > 255) aUnits = 255;
      if (aDecPl > 0) aDecPl = aUnits;
      aLength = aType == qdtWideString ? (aUnits + 1) * 2 : aUnits + 1;
      break;
    case qdtGuid:
      fixed(0, 16);
      break;
    case qdtFmtBCD:
      if (aDecPl < 0) aDecPl = 0;
      if (aDecPl > 63) aDecPl = 63;
      if (aUnits <= aDecPl) {
        aUnits = aDecPl + 1;
      } else if (aUnits > 64) {
        aUnits = 64;
      }
      aLength = (aUnits + 1) / 2 + 2;
      break;
    case qdtRefNr:
      fixed(20, 8);
      break;
  }
}

void TqdFieldDescriptor::UpdateSetup() { SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength); }

void TqdFieldDescriptor::SetNoClientAccess(bool aValue) {
  CheckReadOnly();
  fdNoClientAccess = aValue;
}

TqdFieldsDescriptor* TqdFieldDescriptor::OwnerList() const { return dynamic_cast<TqdFieldsDescriptor*>(ParentItem()); }

void TqdFieldDescriptor::ChangeName(qdStringView aNewName) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aNewName, qdeInvalidFieldName, false, true);
  if (check != 0) Error(check);
  if (TqdFieldsDescriptor* list = OwnerList(); list != nullptr && list->GetFieldFromName(aNewName) != -1)
    Error(qdeNameNotUnique);
  fdName = qdString(aNewName);
  fdNameLowerCase = asciiLowerCase(aNewName);
}

TqdBaseDefaultValueDescriptor* TqdFieldDescriptor::AddDefaultValue(const TqdDefaultValueDescriptorClass* aClass) {
  CheckReadOnly();
  qdFreeAndNil(fdDefaultValue);
  const TqdDefaultValueDescriptorClass& defaultClass =
      aClass != nullptr ? *aClass : TqdConstDefaultValueDescriptor::ClassInfo;
  fdDefaultValue = defaultClass.Create(this);
  return fdDefaultValue;
}

void TqdFieldDescriptor::RemoveDefaultValue() {
  CheckReadOnly();
  qdFreeAndNil(fdDefaultValue);
}

TqdFieldValidationsDescriptor* TqdFieldDescriptor::AddValidations(const TqdFieldValidationsDescriptorClass* aClass) {
  CheckReadOnly();
  qdFreeAndNil(fdValidations);
  const TqdFieldValidationsDescriptorClass& validationsClass =
      aClass != nullptr ? *aClass : TqdFieldValidationsDescriptor::ClassInfo;
  fdValidations = validationsClass.Create(this);
  return fdValidations;
}

TqdFieldValidationsDescriptor* TqdFieldDescriptor::EnsureValidations() {
  return fdValidations != nullptr ? fdValidations : AddValidations(nullptr);
}

void TqdFieldDescriptor::RemoveValidations() {
  CheckReadOnly();
  qdFreeAndNil(fdValidations);
}

void TqdFieldDescriptor::RemoveConstraints() {
  if (fdDefaultValue != nullptr && dynamic_cast<TqdNextLSNDefaultValueDescriptor*>(fdDefaultValue) == nullptr)
    RemoveDefaultValue();
  if (fdValidations != nullptr) RemoveValidations();
}

bool TqdFieldDescriptor::IsValidForTable(TqdBaseTableDescriptor*) { return true; }

qdString TqdFieldDescriptor::ToString() const {
  qdString text = u"[" + integerText(fdNumber) + u"] " + fdName + u" - " + qdString(qdFieldTypeIdent(fdType)).substr(3);
  switch (fdType) {
    case qdtByteArray:
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
      text += u"(" + integerText(fdUnits) + u")";
      break;
    case qdtFmtBCD:
      text += u"(" + integerText(fdUnits) + u"," + integerText(fdDecPl) + u")";
      break;
    default:
      break;
  }
  return text;
}

TqdLocaleDescriptor* TqdFieldDescriptor::GetUsedLocaleDescriptor() {
  return TqdLocalizedDictionaryItem::GetUsedLocaleDescriptor();
}

bool TqdFieldDescriptor::FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                                     TqdDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TqdBaseDefaultValueDescriptor::ClassInfo)) {
    aDescriptor =
        (fdDefaultValue != nullptr && fdDefaultValue->ClassType().InheritsFrom(aType)) ? fdDefaultValue : nullptr;
    return aDescriptor != nullptr;
  }
  if (aType.InheritsFrom(TqdFieldValidationsDescriptor::ClassInfo)) {
    aDescriptor =
        (fdValidations != nullptr && fdValidations->ClassType().InheritsFrom(aType)) ? fdValidations : nullptr;
    return aDescriptor != nullptr;
  }
  return TqdLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TqdFieldDescriptor::SaveHeadToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  writeClassName(aWriter, *this);
  aWriter.WriteString(fdName);
  aWriter.WriteString(fdDesc);
  if (fdType == qdtRefNr && aClientVersion < qdClientVersionRefNr) {
    aWriter.WriteString(qdFieldTypeIdent(qdtInt64));
    qdDictionaryInfoLost = true;
  } else {
    aWriter.WriteString(qdFieldTypeIdent(fdType));
  }
  aWriter.WriteInteger(fdUnits);
  aWriter.WriteInteger(fdDecPl);
  aWriter.WriteBoolean(fdRequired);
}

void TqdFieldDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  int32_t version = 3;
  if (aClientVersion < qdClientVersionItemIDs) {
    if (LocaleDescriptor() != nullptr || fdValidations != nullptr) Error(qdeIncompatibleServer);
    version = 1;
  }
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(fdOffset);
  aWriter.WriteInteger(fdLength);
  aWriter.WriteBoolean(fdDefaultValue != nullptr);
  if (fdDefaultValue != nullptr) {
    writeClassName(aWriter, *fdDefaultValue);
    fdDefaultValue->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteBoolean(fdNoClientAccess);
  if (version > 1) SaveLocaleToWriter(aWriter, aClientVersion);
  if (version > 2) {
    aWriter.WriteBoolean(fdValidations != nullptr);
    if (fdValidations != nullptr) {
      writeClassName(aWriter, *fdValidations);
      fdValidations->SaveToWriter(aWriter, aClientVersion);
    }
  }
}

void TqdFieldDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 3);
  const int32_t offset = aReader.ReadInteger();
  const int32_t length = aReader.ReadInteger();
  // The stored layout must be the one the type and units give; anything
  // else would let record access reach outside the field.
  if (offset < 0 || length != fdLength) Error(qdeIncompatibleStream);
  fdOffset = offset;
  if (aReader.ReadBoolean()) {
    const TqdDefaultValueDescriptorClass& defaultClass =
        readDescriptorClass(aReader, TqdBaseDefaultValueDescriptor::ClassInfo, *this, u"DefaultValueDescriptor");
    AddDefaultValue(&defaultClass)->LoadFromReader(aReader);
  } else if (fdDefaultValue != nullptr) {
    RemoveDefaultValue();
  }
  fdNoClientAccess = aReader.ReadBoolean();
  if (version > 1) {
    LoadLocaleFromReader(aReader);
  } else if (LocaleDescriptor() != nullptr) {
    RemoveLocaleDescriptor();
  }
  if (version > 2 && aReader.ReadBoolean()) {
    const TqdFieldValidationsDescriptorClass& validationsClass =
        readDescriptorClass(aReader, TqdFieldValidationsDescriptor::ClassInfo, *this, u"ValidationsDescriptor");
    AddValidations(&validationsClass)->LoadFromReader(aReader);
  } else if (fdValidations != nullptr) {
    RemoveValidations();
  }
}

void TqdFieldDescriptor::SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const {
  if (fdType == qdtRefNr && aVersion < qdClientVersionRefNr) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  SaveHeadToWriter(aWriter, aVersion);
  SaveToWriter(aWriter, aVersion);
}

TqdFieldDescriptor* TqdFieldDescriptor::CreateStandaloneFromReader(TqdReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EqdFieldDescriptorException(qdeIncompatibleStream);
  const qdString className = aReader.ReadString();
  const TqdFieldDescriptorClass* fieldClass = qdFindDescriptorClass(ClassInfo, className);
  if (fieldClass == nullptr)
    throw EqdFieldDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {u"FieldDescriptor", className});
  const qdString name = aReader.ReadString();
  const qdString desc = aReader.ReadString();
  TqdFieldType type;
  if (!qdFieldTypeFromIdent(aReader.ReadString(), type)) throw EqdFieldDescriptorException(qdeIncompatibleStream);
  const int32_t units = aReader.ReadInteger();
  const int32_t decPl = aReader.ReadInteger();
  const bool required = aReader.ReadBoolean();
  TqdFieldDescriptor* field = fieldClass->Create(nullptr, name, desc, type, units, decPl, required);
  try {
    field->LoadFromReader(aReader);
  } catch (...) {
    delete field;
    throw;
  }
  return field;
}

void TqdFieldDescriptor::CheckValid(bool aForBuild) {
  TqdLocalizedDictionaryItem::CheckValid(aForBuild);
  const TqdResult check = qdCheckIdentifier(fdName, qdeInvalidFieldName, false, true);
  if (check != 0) Error(check);
  int32_t units = fdUnits;
  int32_t decPl = fdDecPl;
  bool required = fdRequired;
  int32_t length = fdLength;
  SetupField(fdType, units, decPl, required, length);
  if (units != fdUnits)
    Error(qdeInvalidRecStruct, u"fdUnits is wrong for field %d (%s). Expected %d found %d.",
          {fdNumber, fdName, units, fdUnits});
  if (decPl != fdDecPl)
    Error(qdeInvalidRecStruct, u"fdDecPl is wrong for field %d (%s). Expected %d found %d.",
          {fdNumber, fdName, decPl, fdDecPl});
  if (required != fdRequired)
    Error(qdeInvalidRecStruct, u"fdRequired is wrong for field %d (%s). Expected %s found %s.",
          {fdNumber, fdName, boolText(required), boolText(fdRequired)});
  if (length != fdLength)
    Error(qdeInvalidRecStruct, u"fdLength is wrong for field %d (%s). Expected %d found %d.",
          {fdNumber, fdName, length, fdLength});
  if (fdDefaultValue != nullptr) fdDefaultValue->CheckValid(aForBuild);
  if (fdValidations != nullptr) fdValidations->CheckValid(aForBuild);
  if (fdType == qdtInterval) Error(qdeInvalidFieldDesc, u"Interval is not supported as a field type");
  if (fdType == qdtAutoInc) {
    TqdBaseTableDescriptor* table = FindParentOfType<TqdBaseTableDescriptor>();
    if (table != nullptr && table->AutoIncDescriptor() == nullptr) table->AddAutoIncDescriptor(nullptr);
  } else if (qdBlobFieldTypes.Contains(fdType)) {
    TqdBaseTableDescriptor* table = FindParentOfType<TqdBaseTableDescriptor>();
    if (table != nullptr && table->BlobDescriptor() == nullptr) table->AddBlobDescriptor(nullptr);
  }
}

bool TqdFieldDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdFieldDescriptor*>(aItem);
  return other != nullptr && fdName == other->fdName && fdDesc == other->fdDesc &&
         qdFieldTypesCompatible[other->fdType][fdType] && fdUnits == other->fdUnits && fdDecPl == other->fdDecPl &&
         fdOffset == other->fdOffset && fdLength == other->fdLength && fdRequired == other->fdRequired &&
         qdDictionaryItemsEqual(fdDefaultValue, other->fdDefaultValue) &&
         qdDictionaryItemsEqual(fdValidations, other->fdValidations) && fdNoClientAccess == other->fdNoClientAccess;
}

// --- Fields descriptor --------------------------------------------------------------------

const TqdFieldsDescriptorClass TqdFieldsDescriptor::ClassInfo{
    {u"TqdFieldsDescriptor", &TqdDictionaryItem::ClassInfo, &fieldsFamily},
    &qdNewDescriptor<TqdFieldsDescriptor, TqdFieldsDescriptor, TqdPersistent*>};

TqdFieldsDescriptor::TqdFieldsDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

TqdFieldsDescriptor::~TqdFieldsDescriptor() {
  qdFreeAndNil(fsdValidations);
  ClearFields(false);
  qdReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  qdReleaseDiffCompressorInfo(fsdCachedDiffCompressorInfo);
}

TqdFieldDescriptor* TqdFieldsDescriptor::FieldDescriptor(int32_t aIndex) const {
  CheckFieldIndex(aIndex);
  return fsdFields[aIndex];
}

void TqdFieldsDescriptor::CheckFieldIndex(int32_t aField) const {
  if (aField < 0 || aField >= FieldCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aField});
}

TqdFieldsValidationsDescriptor* TqdFieldsDescriptor::AddValidations(const TqdFieldValidationsDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdFieldValidationsDescriptorClass& validationsClass =
      aClass != nullptr ? *aClass : TqdFieldsValidationsDescriptor::ClassInfo;
  if (!validationsClass.InheritsFrom(TqdFieldsValidationsDescriptor::ClassInfo))
    Error(qdeInvalidParam, u"%s.AddValidations: aClass must be of type %s but is of type %s",
          {ClassName(), TqdFieldsValidationsDescriptor::ClassInfo.ClassName, validationsClass.ClassName});
  qdFreeAndNil(fsdValidations);
  fsdValidations = static_cast<TqdFieldsValidationsDescriptor*>(validationsClass.Create(this));
  return fsdValidations;
}

TqdFieldsValidationsDescriptor* TqdFieldsDescriptor::EnsureValidations() {
  return fsdValidations != nullptr ? fsdValidations : AddValidations(nullptr);
}

void TqdFieldsDescriptor::RemoveValidations() {
  CheckReadOnly();
  qdFreeAndNil(fsdValidations);
}

bool TqdFieldsDescriptor::IsVersion1() const { return GetParentOfType<TqdDataDictionary>()->Version() == 1; }

void TqdFieldsDescriptor::UpdateLogRecLenAlign() { fsdLogRecLenAlign = roundUp4(fsdLogRecLen); }

void TqdFieldsDescriptor::Renumber(int32_t aFrom) {
  const bool version1 = IsVersion1();
  int64_t offset = aFrom == 0 ? 0 : int64_t(fsdFields[aFrom - 1]->fdOffset) + fsdFields[aFrom - 1]->fdLength;
  for (int32_t i = aFrom; i < FieldCount(); ++i) {
    TqdFieldDescriptor* field = fsdFields[i];
    field->fdNumber = i;
    field->fdOffset = static_cast<int32_t>(offset);
    offset += field->fdLength;
    if (offset > kMaxDataLength) Error(qdeRecordTooLarge);
  }
  fsdLogRecLen = static_cast<int32_t>(offset);
  fsdLogRecLenAlign = version1 ? fsdLogRecLen : roundUp4(fsdLogRecLen);
}

void TqdFieldsDescriptor::UpdateSetupAndOffsets() {
  int64_t offset = 0;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TqdFieldDescriptor* field = fsdFields[i];
    field->UpdateSetup();
    field->fdNumber = i;
    field->fdOffset = static_cast<int32_t>(offset);
    offset += field->fdLength;
    if (offset > kMaxDataLength) Error(qdeRecordTooLarge);
  }
  fsdLogRecLen = static_cast<int32_t>(offset);
  UpdateLogRecLenAlign();
}

TqdFieldDescriptor* TqdFieldsDescriptor::AddField(qdStringView aName, qdStringView aDesc, TqdFieldType aType,
                                                  int32_t aUnits, int32_t aDecPl, bool aRequired,
                                                  const TqdFieldDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidFieldName, false, true);
  if (check != 0) Error(check);
  if (GetFieldFromName(aName) != -1) Error(qdeNameNotUnique, u"Duplicated field name: %s", {aName});
  const bool version1 = IsVersion1();
  const TqdFieldDescriptorClass& fieldClass = aClass != nullptr ? *aClass : TqdFieldDescriptor::ClassInfo;
  TqdFieldDescriptor* field = fieldClass.Create(this, aName, aDesc, aType, aUnits, aDecPl, aRequired);
  if (int64_t(fsdLogRecLen) + field->fdLength > kMaxDataLength) {
    delete field;
    Error(qdeRecordTooLarge);
  }
  fsdFields.push_back(field);
  field->fdNumber = FieldCount() - 1;
  field->fdOffset = fsdLogRecLen;
  fsdLogRecLen += field->fdLength;
  fsdLogRecLenAlign = version1 ? fsdLogRecLen : roundUp4(fsdLogRecLen);
  return field;
}

TqdFieldDescriptor* TqdFieldsDescriptor::AddField(const TqdFieldDescriptor* aFieldDescriptor) {
  TqdFieldDescriptor* field =
      AddField(aFieldDescriptor->fdName, aFieldDescriptor->fdDesc, aFieldDescriptor->fdType, aFieldDescriptor->fdUnits,
               aFieldDescriptor->fdDecPl, aFieldDescriptor->fdRequired,
               static_cast<const TqdFieldDescriptorClass*>(&aFieldDescriptor->ClassType()));
  const int32_t offset = field->fdOffset;
  const int32_t length = field->fdLength;
  try {
    TqdMemoryStream stream(-1);
    {
      TqdWriter writer(&stream);
      aFieldDescriptor->SaveToWriter(writer, qdEngineClientVersion);
    }
    stream.SetPosition(0);
    TqdAssignDepthGuard depth;
    TqdReader reader(&stream);
    field->LoadFromReader(reader);
    field->fdOffset = offset;
    field->fdLength = length;
  } catch (...) {
    // The new field was never announced; take it back silently.
    fsdFields.pop_back();
    delete field;
    Renumber(FieldCount() > 0 ? FieldCount() - 1 : 0);
    throw;
  }
  return field;
}

TqdFieldDescriptor* TqdFieldsDescriptor::InsertFieldAt(int32_t aInx, qdStringView aName, qdStringView aDesc,
                                                       TqdFieldType aType, int32_t aUnits, int32_t aDecPl,
                                                       bool aRequired, const TqdFieldDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidFieldName, false, true);
  if (check != 0) Error(check);
  if (aInx < 0 || aInx > FieldCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  fsdFieldChangeNotification(true, -1, aInx);
  TqdFieldDescriptor* field = AddField(aName, aDesc, aType, aUnits, aDecPl, aRequired, aClass);
  fsdFields.pop_back();
  fsdFields.insert(fsdFields.begin() + aInx, field);
  Renumber(aInx);
  fsdFieldChangeNotification(false, -1, aInx);
  return field;
}

void TqdFieldsDescriptor::MoveField(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  CheckFieldIndex(aFrom);
  CheckFieldIndex(aTo);
  if (aFrom == aTo) return;
  fsdFieldChangeNotification(true, aFrom, aTo);
  TqdFieldDescriptor* field = fsdFields[aFrom];
  fsdFields.erase(fsdFields.begin() + aFrom);
  fsdFields.insert(fsdFields.begin() + aTo, field);
  Renumber(std::min(aFrom, aTo));
  fsdFieldChangeNotification(false, aFrom, aTo);
}

void TqdFieldsDescriptor::RemoveField(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= FieldCount()) return;
  fsdFieldChangeNotification(true, aInx, -1);
  TqdFieldDescriptor* field = fsdFields[aInx];
  fsdFields.erase(fsdFields.begin() + aInx);
  Renumber(aInx);
  fsdFieldChangeNotification(false, aInx, -1);
  delete field;
}

int32_t TqdFieldsDescriptor::GetFieldFromName(qdStringView aFieldName) const {
  return GetFieldFromNameFast(asciiLowerCase(aFieldName));
}

int32_t TqdFieldsDescriptor::GetFieldFromNameFast(qdStringView aFieldName) const {
  if (fsdFields.empty()) return -1;
  if (!fsdFieldHashList.empty()) {
    const uint32_t bucket = qdElfHashString(aFieldName) % static_cast<uint32_t>(fsdFieldHashList.size());
    for (TqdFieldDescriptor* field = fsdFieldHashList[bucket]; field != nullptr; field = field->fdSameHashNext) {
      if (field->fdNameLowerCase == aFieldName) return field->fdNumber;
    }
    return -1;
  }
  for (int32_t i = 0; i < FieldCount(); ++i) {
    if (fsdFields[i]->fdNameLowerCase == aFieldName) return i;
  }
  return -1;
}

void TqdFieldsDescriptor::GetFields(TqdStringList& aStrings) const {
  aStrings.Clear();
  for (TqdFieldDescriptor* field : fsdFields) aStrings.AddObject(field->fdName, field);
}

int32_t TqdFieldsDescriptor::RecordLength() const {
  if (CacheActive()) return fsdCachedGetRecordLength;
  const int32_t bitmap = bitmapBytes(FieldCount());
  if (IsVersion1()) return roundUp4(fsdLogRecLen) + bitmap;
  return fsdLogRecLenAlign + bitmap;
}

TqdMemoryPool TqdFieldsDescriptor::RecordAllocator() const {
  if (CacheActive()) return fsdRecordAllocator;
  return qdGetMemoryPool(static_cast<size_t>(RecordLength()) + 4);
}

int32_t TqdFieldsDescriptor::OriginalFieldCount() const {
  int32_t value = 0;
  if (HasCustomStringValue(u"OriginalFieldCount") && parseInteger(CustomStringValue(u"OriginalFieldCount"), value))
    return value;
  return FieldCount();
}

void TqdFieldsDescriptor::SetOriginalFieldCount(int32_t aValue) {
  CheckReadOnly();
  StoreCustomStringValue(u"OriginalFieldCount", aValue == 0 ? qdString() : integerText(aValue));
}

// --- Record access ---

void TqdFieldsDescriptor::InitRecord(uint8_t* aData) const {
  if (aData == nullptr || fsdFields.empty()) return;
  std::memset(aData, 0, static_cast<size_t>(RecordLength()));
  std::memset(aData + fsdLogRecLenAlign, 0xFF, static_cast<size_t>((FieldCount() + 7) / 8));
}

bool TqdFieldsDescriptor::IsRecordFieldNullFast(int32_t aField, const uint8_t* aData) const {
  const uint32_t word = qdGetU32(aData + fsdLogRecLenAlign + 4 * (aField / 32));
  return (word & (1u << (aField % 32))) != 0;
}

bool TqdFieldsDescriptor::IsRecordFieldNull(int32_t aField, const uint8_t* aData) const {
  CheckFieldIndex(aField);
  return aData == nullptr || IsRecordFieldNullFast(aField, aData);
}

namespace {

void setNullBit(uint8_t* aBitmap, int32_t aField, bool aIsNull) {
  uint8_t* wordAddress = aBitmap + 4 * (aField / 32);
  uint32_t word = qdGetU32(wordAddress);
  const uint32_t bit = 1u << (aField % 32);
  word = aIsNull ? (word | bit) : (word & ~bit);
  qdPutU32(wordAddress, word);
}

}  // namespace

void TqdFieldsDescriptor::GetRecordField(int32_t aField, const uint8_t* aData, bool& aIsNull, void* aValue) const {
  CheckFieldIndex(aField);
  aIsNull = aData == nullptr || IsRecordFieldNullFast(aField, aData);
  if (!aIsNull && aValue != nullptr) {
    const TqdFieldDescriptor* field = fsdFields[aField];
    std::memcpy(aValue, aData + field->fdOffset, static_cast<size_t>(field->fdLength));
  }
}

void TqdFieldsDescriptor::SetRecordField(int32_t aField, uint8_t* aData, const void* aValue) const {
  CheckFieldIndex(aField);
  const TqdFieldDescriptor* field = fsdFields[aField];
  if (aValue != nullptr) {
    setNullBit(aData + fsdLogRecLenAlign, aField, false);
    std::memcpy(aData + field->fdOffset, aValue, static_cast<size_t>(field->fdLength));
  } else {
    setNullBit(aData + fsdLogRecLenAlign, aField, true);
    std::memset(aData + field->fdOffset, 0, static_cast<size_t>(field->fdLength));
  }
}

void TqdFieldsDescriptor::SetRecordFieldNull(int32_t aField, uint8_t* aData, bool aIsNull) const {
  CheckFieldIndex(aField);
  setNullBit(aData + fsdLogRecLenAlign, aField, aIsNull);
  if (aIsNull) {
    const TqdFieldDescriptor* field = fsdFields[aField];
    std::memset(aData + field->fdOffset, 0, static_cast<size_t>(field->fdLength));
  }
}

const uint8_t* TqdFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const uint8_t* aData) const {
  if (aData == nullptr || IsRecordFieldNullFast(aField, aData)) return nullptr;
  return aData + fsdFields[aField]->fdOffset;
}

bool TqdFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const uint8_t* aData, TqdFieldType& aType,
                                                  int32_t& aSize, const uint8_t*& aValue) const {
  if (aField < 0 || aField >= FieldCount()) return false;
  const TqdFieldDescriptor* field = fsdFields[aField];
  aType = field->fdType;
  aSize = field->fdLength;
  aValue = GetRecordFieldForFilter(aField, aData);
  return aValue != nullptr;
}

TqdVariant TqdFieldsDescriptor::GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) {
  return fsdGetFieldByIndexAsVariant(aBuffer, aField);
}

int32_t TqdFieldsDescriptor::GetFieldFromName(qdStringView aFieldName) {
  return std::as_const(*this).GetFieldFromName(aFieldName);
}

IqdFieldDescriptor* TqdFieldsDescriptor::GetFieldDescriptor(int32_t aIndex) { return FieldDescriptor(aIndex); }

bool TqdFieldsDescriptor::GetFieldForFilter(int32_t aField, qdStringView, const uint8_t* aData, TqdFieldType& aType,
                                            int32_t& aSize, bool& aIsNull, const uint8_t*& aValue,
                                            uint16_t& aCodePage) {
  if (aField < 0 || aField >= FieldCount()) return false;
  TqdFieldDescriptor* field = fsdFields[aField];
  aIsNull = aData == nullptr || IsRecordFieldNullFast(aField, aData);
  aType = field->fdType;
  aSize = field->fdUnits;
  aValue = aData != nullptr ? aData + field->fdOffset : nullptr;
  aCodePage = field->UsedStorageCodePage();
  if (aType == qdtShortString && aValue != nullptr) {
    // The length byte comes from the record; a damaged one must not lead a
    // reader past the field.
    aSize = std::min<int32_t>(aValue[0], field->fdUnits);
    ++aValue;
  }
  return true;
}

// --- Special fields ---

bool TqdFieldsDescriptor::SpecialFieldTypeOf(const TqdFieldDescriptor* aField, TqdSpecialFieldType& aType) {
  switch (aField->fdType) {
    case qdtInt64:
      if (auto* lsn = dynamic_cast<const TqdNextLSNDefaultValueDescriptor*>(aField->fdDefaultValue)) {
        aType = lsn->ApplyOnModify() ? sftModifyLSN : sftInsertLSN;
        return true;
      }
      return false;
    case qdtAutoInc:
      aType = sftAutoInc;
      return true;
    case qdtRecRev:
      aType = sftRecRev;
      return true;
    case qdtRefNr:
      aType = sftRefNr;
      return true;
    case qdtGuid:
      if (auto* guid = dynamic_cast<const TqdAutoGuidDefaultValueDescriptor*>(aField->fdDefaultValue)) {
        if (guid->ApplyOnInsert() && !guid->ApplyOnModify() && !guid->OverwriteNonNull()) {
          aType = sftAutoGuid;
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

bool TqdFieldsDescriptor::HasSpecialField(TqdSpecialFieldType aType, int32_t& aField) const {
  aField = -1;
  if (CacheActive() && fsdCachedSpecialFieldsInfo != nullptr) {
    aField = fsdCachedSpecialFieldsInfo->sfiFields[aType];
    return aField != -1;
  }
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TqdSpecialFieldType type;
    if (SpecialFieldTypeOf(fsdFields[i], type) && type == aType) {
      aField = i;
      return true;
    }
  }
  return false;
}

bool TqdFieldsDescriptor::HasBlobFields(TqdBlobFields& aBlobFields) const {
  aBlobFields.clear();
  if (CacheActive() && fsdCachedSpecialFieldsInfo != nullptr) {
    aBlobFields = fsdCachedSpecialFieldsInfo->sfiBlobFields;
  } else {
    for (int32_t i = 0; i < FieldCount(); ++i) {
      if (qdBlobFieldTypes.Contains(fsdFields[i]->fdType)) aBlobFields.push_back(i);
    }
  }
  return !aBlobFields.empty();
}

bool TqdFieldsDescriptor::HasBlobFields() const {
  if (CacheActive() && fsdCachedSpecialFieldsInfo != nullptr) return !fsdCachedSpecialFieldsInfo->sfiBlobFields.empty();
  for (const TqdFieldDescriptor* field : fsdFields) {
    if (qdBlobFieldTypes.Contains(field->fdType)) return true;
  }
  return false;
}

bool TqdFieldsDescriptor::HasSameFields(const TqdFieldsDescriptor* aSource, TqdBlobFields* aBlobFields) const {
  if (aBlobFields != nullptr) aBlobFields->clear();
  if (aSource == nullptr || aSource->FieldCount() != FieldCount()) return false;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    const TqdFieldDescriptor* own = fsdFields[i];
    const TqdFieldDescriptor* source = aSource->fsdFields[i];
    if (own->fdLength != source->fdLength || !qdFieldTypesCompatible[own->fdType][source->fdType]) return false;
    if (aBlobFields != nullptr && qdBlobFieldTypes.Contains(own->fdType)) aBlobFields->push_back(i);
  }
  return true;
}

void TqdFieldsDescriptor::FillSpecialFieldsInfo(TqdSpecialFieldsInfo& aSpecialFieldsInfo, bool aRebuildHash) {
  const int32_t count = FieldCount();
  if (aRebuildHash) fsdFieldHashList.assign(static_cast<size_t>(count), nullptr);
  qdClearSpecialFieldsInfo(aSpecialFieldsInfo);
  aSpecialFieldsInfo.sfiBlobFields.resize(static_cast<size_t>(count));
  aSpecialFieldsInfo.sfiFieldsToBlobFields.resize(static_cast<size_t>(count));
  int32_t blobCount = 0;
  for (int32_t i = 0; i < count; ++i) {
    TqdFieldDescriptor* field = fsdFields[i];
    aSpecialFieldsInfo.sfiFieldsToBlobFields[i] = -1;
    field->fdBlobIndex = -1;
    if (aRebuildHash) {
      const uint32_t bucket = qdElfHashString(field->fdNameLowerCase) % static_cast<uint32_t>(count);
      field->fdSameHashNext = fsdFieldHashList[bucket];
      fsdFieldHashList[bucket] = field;
    }
    TqdSpecialFieldType type;
    if (SpecialFieldTypeOf(field, type)) {
      if (aSpecialFieldsInfo.sfiFields[type] == -1) {
        aSpecialFieldsInfo.sfiFields[type] = i;
        aSpecialFieldsInfo.sfiOffsets[type] = field->fdOffset;
      }
    } else if (qdBlobFieldTypes.Contains(field->fdType)) {
      aSpecialFieldsInfo.sfiBlobFields[blobCount] = i;
      aSpecialFieldsInfo.sfiFieldsToBlobFields[i] = blobCount;
      field->fdBlobIndex = blobCount;
      ++blobCount;
    }
  }
  aSpecialFieldsInfo.sfiBlobFields.resize(static_cast<size_t>(blobCount));
  if (blobCount == 0) aSpecialFieldsInfo.sfiFieldsToBlobFields.clear();
}

void TqdFieldsDescriptor::GetSpecialFieldsInfo(TqdSpecialFieldsInfo*& aSpecialFieldsInfo) {
  qdReleaseSpecialFieldsInfo(aSpecialFieldsInfo);
  if (fsdCachedSpecialFieldsInfo != nullptr) {
    aSpecialFieldsInfo = qdAddRefSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
    return;
  }
  TqdSpecialFieldsInfo* info = qdNewSpecialFieldsInfo();
  try {
    FillSpecialFieldsInfo(*info, false);
  } catch (...) {
    qdReleaseSpecialFieldsInfo(info);
    throw;
  }
  aSpecialFieldsInfo = info;
}

void TqdFieldsDescriptor::GetDiffCompressionInfo(TqdDiffCompressorInfo*& aDCI) {
  TqdDiffCompressorInfo* cached = qdAtomicLoad(fsdCachedDiffCompressorInfo);
  if (aDCI != nullptr && aDCI == cached) return;
  qdReleaseDiffCompressorInfo(aDCI);
  if (cached != nullptr) {
    aDCI = qdAddRefDiffCompressorInfo(cached);
    return;
  }
  const int32_t recordLength = RecordLength();
  TqdDiffCompressorInfo* fresh = qdNewDiffCompressorInfo(recordLength);
  {
    const TqdMemoryPool pool = RecordAllocator();
    auto* plain = static_cast<uint8_t*>(pool.Alloc());
    auto* marked = static_cast<uint8_t*>(pool.Alloc());
    InitRecord(plain);
    InitRecord(marked);
    const std::vector<uint8_t> ones(static_cast<size_t>(recordLength), 0xFF);
    for (TqdSpecialFieldType type : {sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN}) {
      int32_t field = -1;
      if (HasSpecialField(type, field)) SetRecordField(field, marked, ones.data());
    }
    qdMarkDiffWords(*fresh, plain, marked);
    pool.Dispose(plain);
    pool.Dispose(marked);
  }
  if (!CacheActive()) {
    aDCI = fresh;
    return;
  }
  TqdDiffCompressorInfo* published = qdInterlockedCompareExchangePointer(fsdCachedDiffCompressorInfo, fresh,
                                                                         static_cast<TqdDiffCompressorInfo*>(nullptr));
  if (published == nullptr) {
    aDCI = qdAddRefDiffCompressorInfo(fresh);
  } else {
    qdReleaseDiffCompressorInfo(fresh);
    aDCI = qdAddRefDiffCompressorInfo(published);
  }
}

void TqdFieldsDescriptor::fsdFieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  for (TqdDictionaryItem* item : fsdFieldChangeNotifies.Snapshot())
    item->FieldChangeNotification(aBefore, aOldField, aNewField);
}

void TqdFieldsDescriptor::RemoveConstraints() {
  for (TqdFieldDescriptor* field : fsdFields) field->RemoveConstraints();
}

void TqdFieldsDescriptor::ActivateCache() {
  fsdCachedGetRecordLength = RecordLength();
  fsdRecordAllocator = qdGetMemoryPool(static_cast<size_t>(fsdCachedGetRecordLength) + 4);
  TqdDictionaryItem::ActivateCache();
  if (fsdCachedSpecialFieldsInfo != nullptr && fsdCachedSpecialFieldsInfo->sfiRefCount > 1)
    qdReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  if (fsdCachedSpecialFieldsInfo == nullptr) fsdCachedSpecialFieldsInfo = qdNewSpecialFieldsInfo();
  FillSpecialFieldsInfo(*fsdCachedSpecialFieldsInfo, true);
}

void TqdFieldsDescriptor::DeactivateCache() {
  fsdRecordAllocator = TqdMemoryPool();
  fsdFieldHashList.clear();
  for (TqdFieldDescriptor* field : fsdFields) field->fdSameHashNext = nullptr;
  qdReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  qdReleaseDiffCompressorInfo(fsdCachedDiffCompressorInfo);
  TqdDictionaryItem::DeactivateCache();
}

void TqdFieldsDescriptor::ClearFields(bool aNotify) {
  const int32_t count = FieldCount();
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) fsdFieldChangeNotification(true, i, -1);
  }
  fsdLogRecLen = 0;
  fsdLogRecLenAlign = 0;
  fsdFieldHashList.clear();
  while (!fsdFields.empty()) {
    TqdFieldDescriptor* field = fsdFields.back();
    fsdFields.pop_back();
    delete field;
  }
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) fsdFieldChangeNotification(false, i, -1);
  }
}

void TqdFieldsDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  qdFreeAndNil(fsdValidations);
  ClearFields(aNotify);
}

void TqdFieldsDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(2);
  aWriter.WriteInteger(FieldCount());
  for (const TqdFieldDescriptor* field : fsdFields) {
    field->SaveHeadToWriter(aWriter, aClientVersion);
    field->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteInteger(fsdLogRecLen);
  aWriter.WriteInteger(fsdLogRecLenAlign);
  aWriter.WriteBoolean(fsdValidations != nullptr);
  if (fsdValidations != nullptr) {
    writeClassName(aWriter, *fsdValidations);
    fsdValidations->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdFieldsDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 2);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  qdFreeAndNil(fsdValidations);
  ClearFields(false);
  for (int32_t i = 0; i < count; ++i) {
    const TqdFieldDescriptorClass& fieldClass =
        readDescriptorClass(aReader, TqdFieldDescriptor::ClassInfo, *this, u"FieldDescriptor");
    const qdString name = aReader.ReadString();
    const qdString desc = aReader.ReadString();
    TqdFieldType type;
    if (!qdFieldTypeFromIdent(aReader.ReadString(), type)) Error(qdeIncompatibleStream);
    const int32_t units = aReader.ReadInteger();
    const int32_t decPl = aReader.ReadInteger();
    const bool required = aReader.ReadBoolean();
    AddField(name, desc, type, units, decPl, required, &fieldClass)->LoadFromReader(aReader);
  }
  const int32_t logRecLen = aReader.ReadInteger();
  const int32_t logRecLenAlign = aReader.ReadInteger();
  SetStoredLengths(logRecLen, logRecLenAlign);
  if (aReader.ReadBoolean()) {
    const TqdFieldValidationsDescriptorClass& validationsClass =
        readDescriptorClass(aReader, TqdFieldValidationsDescriptor::ClassInfo, *this, u"ValidationsDescriptor");
    if (!validationsClass.InheritsFrom(TqdFieldsValidationsDescriptor::ClassInfo)) Error(qdeIncompatibleStream);
    AddValidations(&validationsClass)->LoadFromReader(aReader);
  }
}

void TqdFieldsDescriptor::SetStoredLengths(int32_t aLogRecLen, int32_t aLogRecLenAlign) {
  // Record access trusts these values: they must describe the packed layout
  // of the fields just read.
  int64_t offset = 0;
  for (const TqdFieldDescriptor* field : fsdFields) {
    if (field->fdOffset != offset) Error(qdeIncompatibleStream);
    offset += field->fdLength;
  }
  if (aLogRecLen != offset || (aLogRecLenAlign != aLogRecLen && aLogRecLenAlign != roundUp4(aLogRecLen)))
    Error(qdeIncompatibleStream);
  fsdLogRecLen = aLogRecLen;
  fsdLogRecLenAlign = aLogRecLenAlign;
}

void TqdFieldsDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (fsdFields.empty()) Error(qdeInvalidRecStruct, u"FieldsDescriptor requires a minimum of one field");
  std::vector<qdString> names;
  names.reserve(fsdFields.size());
  bool seen[qdSpecialFieldTypeCount] = {};
  int64_t offset = 0;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TqdFieldDescriptor* field = fsdFields[i];
    if (field->fdOffset != offset)
      Error(qdeInvalidRecStruct, u"fdOffset is wrong for field %d (%s). Expected %d found %d.",
            {i, field->fdName, offset, field->fdOffset});
    auto place = std::lower_bound(names.begin(), names.end(), field->fdNameLowerCase);
    if (place != names.end() && *place == field->fdNameLowerCase)
      Error(qdeNameNotUnique, u"Duplicated field name: %s", {field->fdName});
    names.insert(place, field->fdNameLowerCase);
    field->fdNumber = i;
    field->CheckValid(aForBuild);
    TqdSpecialFieldType type;
    if (SpecialFieldTypeOf(field, type) && type != sftAutoGuid) {
      if (seen[type]) {
        switch (type) {
          case sftAutoInc:
            Error(qdeDupAutoIncField, u"Duplicated autoinc field");
          case sftRecRev:
            Error(qdeDupRecRevField, u"Duplicated RecRev field");
          case sftRefNr:
            Error(qdeDupRefNrField, u"Duplicated RefNr field");
          default:
            Error(qdeDupLSNField, u"Duplicated LSN field");
        }
      }
      seen[type] = true;
    }
    offset += field->fdLength;
  }
  // Record buffers and every offset into them are 16-bit downstream.
  if (RecordLength() > qdMaxRecordLength) Error(qdeRecordTooLarge);
}

bool TqdFieldsDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdFieldsDescriptor*>(aItem);
  if (other == nullptr || other->FieldCount() != FieldCount() || other->fsdLogRecLen != fsdLogRecLen ||
      other->fsdLogRecLenAlign != fsdLogRecLenAlign || !qdDictionaryItemsEqual(fsdValidations, other->fsdValidations))
    return false;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    if (!fsdFields[i]->IsEqual(other->fsdFields[i])) return false;
  }
  return true;
}

}  // namespace qd
