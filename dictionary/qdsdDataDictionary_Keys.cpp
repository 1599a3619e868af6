// Key descriptors, key fields, indexes and the indices lists.
#include "dictionary/qdsdDataDictionary.h"

#include <utility>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* keyFamilyRegistry = nullptr;
TqdClassRegistry** keyFamily() { return &keyFamilyRegistry; }
TqdClassRegistry* keyFieldFamilyRegistry = nullptr;
TqdClassRegistry** keyFieldFamily() { return &keyFieldFamilyRegistry; }
TqdClassRegistry* indexFamilyRegistry = nullptr;
TqdClassRegistry** indexFamily() { return &indexFamilyRegistry; }
TqdClassRegistry* indicesFamilyRegistry = nullptr;
TqdClassRegistry** indicesFamily() { return &indicesFamilyRegistry; }

constexpr const char16_t* nullBehaviourNames[] = {u"nbTop", u"nbBottom", u"nbAsAscend", u"nbFilterNull",
                                                  u"nbFilterNonNull"};

struct TqdAssignDepthGuard {
  TqdAssignDepthGuard() { ++qdDictionaryAssignDepth; }
  ~TqdAssignDepthGuard() { --qdDictionaryAssignDepth; }
};

// A raw block of a stored length, read in slices so that a damaged length
// cannot ask for more memory than the stream holds.
std::vector<uint8_t> readRawBlock(TqdReader& aReader, int32_t aLength) {
  constexpr int32_t kSlice = 65536;
  std::vector<uint8_t> bytes;
  for (int32_t done = 0; done < aLength;) {
    const int32_t part = std::min(kSlice, aLength - done);
    bytes.resize(static_cast<size_t>(done + part));
    aReader.Read(bytes.data() + done, part);
    done += part;
  }
  return bytes;
}

}  // namespace

const char16_t* qdNullBehaviourName(TqdNullBehaviour aValue) {
  return aValue <= nbFilterNonNull ? nullBehaviourNames[aValue] : u"";
}

bool qdNullBehaviourFromName(qdStringView aName, TqdNullBehaviour& aValue) {
  for (int i = 0; i <= nbFilterNonNull; ++i) {
    if (aName == nullBehaviourNames[i]) {
      aValue = static_cast<TqdNullBehaviour>(i);
      return true;
    }
  }
  return false;
}

// --- Key descriptors ----------------------------------------------------------------------

const TqdKeyDescriptorClass TqdBaseKeyDescriptor::ClassInfo{
    {u"TqdBaseKeyDescriptor", &TqdDictionaryItem::ClassInfo, &keyFamily}, nullptr};
const TqdKeyDescriptorClass TqdRefKeyDescriptor::ClassInfo{
    {u"TqdRefKeyDescriptor", &TqdBaseKeyDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseKeyDescriptor, TqdRefKeyDescriptor, TqdPersistent*>};
const TqdKeyDescriptorClass TqdInt64KeyDescriptor::ClassInfo{
    {u"TqdInt64KeyDescriptor", &TqdBaseKeyDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseKeyDescriptor, TqdInt64KeyDescriptor, TqdPersistent*>};
const TqdKeyDescriptorClass TqdBlobCacheKeyDescriptor::ClassInfo{
    {u"TqdBlobCacheKeyDescriptor", &TqdBaseKeyDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseKeyDescriptor, TqdBlobCacheKeyDescriptor, TqdPersistent*>};
const TqdKeyDescriptorClass TqdCompKeyDescriptor::ClassInfo{
    {u"TqdCompKeyDescriptor", &TqdBaseKeyDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseKeyDescriptor, TqdCompKeyDescriptor, TqdPersistent*>};
const TqdKeyDescriptorClass TqdNoNullCompKeyDescriptor::ClassInfo{
    {u"TqdNoNullCompKeyDescriptor", &TqdCompKeyDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseKeyDescriptor, TqdNoNullCompKeyDescriptor, TqdPersistent*>};

TqdBaseKeyDescriptor::TqdBaseKeyDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

bool TqdBaseKeyDescriptor::IsValidForTable(TqdBaseTableDescriptor*) { return true; }

bool TqdBaseKeyDescriptor::CanContainNulls() { return true; }

TqdBaseKeyDescriptor::~TqdBaseKeyDescriptor() { qdFreeAndNil(bkdFilter); }

void TqdBaseKeyDescriptor::SetFilter(TqdBaseFilterDescriptor* aFilter) {
  if (aFilter == bkdFilter) return;
  try {
    CheckReadOnly();
  } catch (...) {
    qdFreeAndNil(aFilter);
    throw;
  }
  qdFreeAndNil(bkdFilter);
  bkdFilter = aFilter;
}

void TqdBaseKeyDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) {
    if (bkdFilter != nullptr) Error(qdeIncompatibleServer);
    return;
  }
  aWriter.WriteIdent(u"BKD");
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(bkdFilter != nullptr);
  if (bkdFilter == nullptr) return;
  TqdAnsiStringStream filterStream;
  if (const TqdResult result = bkdFilter->WriteToStream(&filterStream, aClientVersion); result != 0) Error(result);
  const qdAnsiString& bytes = filterStream.DataString();
  aWriter.WriteInteger(static_cast<int32_t>(bytes.size()));
  aWriter.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TqdBaseKeyDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  qdFreeAndNil(bkdFilter);
  // Streams of older clients carry no section: no filter.
  if (aReader.NextValue() != vaIdent) return;
  if (aReader.ReadIdent() != u"BKD") Error(qdeIncompatibleStream);
  ReadVersion(aReader, 1, 1);
  if (!aReader.ReadBoolean()) return;
  const int32_t length = aReader.ReadInteger();
  if (length < 0) Error(qdeIncompatibleStream);
  std::vector<uint8_t> bytes = readRawBlock(aReader, length);
  TqdStaticMemoryStream filterStream(bytes.data(), length);
  TqdBaseFilterDescriptor* filter = nullptr;
  if (const TqdResult result = TqdBaseFilterDescriptor::CreateFromStream(&filterStream, filter); result != 0)
    Error(result);
  bkdFilter = filter;
}

bool TqdBaseKeyDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseKeyDescriptor*>(aItem);
  return other != nullptr && HasFilter() == other->HasFilter();
}

void TqdFixedKeyDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TqdFixedKeyDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseKeyDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
}

TqdCompKeyDescriptor::TqdCompKeyDescriptor(TqdPersistent* aParent) : TqdBaseKeyDescriptor(aParent) {}

TqdCompKeyDescriptor::~TqdCompKeyDescriptor() { FreeKeyFields(); }

void TqdCompKeyDescriptor::FreeKeyFields() {
  while (!ckdKeyFields.empty()) {
    TqdKeyFieldDescriptor* keyField = ckdKeyFields.back();
    ckdKeyFields.pop_back();
    delete keyField;
  }
  DropCachedKeyLen();
}

const TqdKeyFieldDescriptorClass& TqdCompKeyDescriptor::DefaultKeyFieldClass() const {
  return TqdKeyFieldDescriptor::ClassInfo;
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::CreateKeyField(int32_t aFieldNumber,
                                                            const TqdKeyFieldDescriptorClass* aClass) {
  const TqdKeyFieldDescriptorClass& keyFieldClass = aClass != nullptr ? *aClass : DefaultKeyFieldClass();
  return keyFieldClass.Create(this, aFieldNumber);
}

int32_t TqdCompKeyDescriptor::FieldNumberFromName(qdStringView aFieldName) {
  return GetRelated<TqdFieldsDescriptor>()->GetFieldFromName(aFieldName);
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::Add(int32_t aFieldNumber, const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  TqdKeyFieldDescriptor* keyField = CreateKeyField(aFieldNumber, aClass);
  ckdKeyFields.push_back(keyField);
  DropCachedKeyLen();
  return keyField;
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::Add(qdStringView aFieldName, const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  return Add(FieldNumberFromName(aFieldName), aClass);
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::Insert(int32_t aInx, int32_t aFieldNumber,
                                                    const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > KeyFieldCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  TqdKeyFieldDescriptor* keyField = CreateKeyField(aFieldNumber, aClass);
  ckdKeyFields.insert(ckdKeyFields.begin() + aInx, keyField);
  DropCachedKeyLen();
  return keyField;
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::Insert(int32_t aInx, qdStringView aFieldName,
                                                    const TqdKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  return Insert(aInx, FieldNumberFromName(aFieldName), aClass);
}

TqdKeyFieldDescriptor* TqdCompKeyDescriptor::KeyField(int32_t aInx) const {
  if (aInx < 0 || aInx >= KeyFieldCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  return ckdKeyFields[aInx];
}

void TqdCompKeyDescriptor::Delete(int32_t aInx) {
  CheckReadOnly();
  TqdKeyFieldDescriptor* keyField = KeyField(aInx);
  ckdKeyFields.erase(ckdKeyFields.begin() + aInx);
  delete keyField;
  DropCachedKeyLen();
}

void TqdCompKeyDescriptor::Move(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  TqdKeyFieldDescriptor* keyField = KeyField(aFrom);
  KeyField(aTo);
  ckdKeyFields.erase(ckdKeyFields.begin() + aFrom);
  ckdKeyFields.insert(ckdKeyFields.begin() + aTo, keyField);
  DropCachedKeyLen();
}

int32_t TqdCompKeyDescriptor::KeyFieldsLength() const {
  int32_t length = 0;
  for (TqdKeyFieldDescriptor* keyField : ckdKeyFields) {
    length += keyField->KeyLength();
    if (length > qdMaxKeyLength * 2) break;  // already far too long; keep the sum from overflowing
  }
  return length;
}

int32_t TqdCompKeyDescriptor::GetKeyLen() {
  int32_t length = ckdKeyLen;
  if (length < 0) {
    length = KeyFieldsLength() + (KeyFieldCount() + 7) / 8;
    ckdKeyLen = length;
  }
  return length;
}

bool TqdCompKeyDescriptor::CanContainNulls() {
  for (TqdKeyFieldDescriptor* keyField : ckdKeyFields) {
    if (keyField->CanContainNulls()) return true;
  }
  return false;
}

void TqdCompKeyDescriptor::Clear(bool aNotify) {
  TqdBaseKeyDescriptor::Clear(aNotify);
  FreeKeyFields();
}

void TqdCompKeyDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(KeyFieldCount());
  for (const TqdKeyFieldDescriptor* keyField : ckdKeyFields) {
    writeClassName(aWriter, *keyField);
    aWriter.WriteInteger(keyField->FieldNumber());
    keyField->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdCompKeyDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseKeyDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  FreeKeyFields();
  for (int32_t i = 0; i < count; ++i) {
    const TqdKeyFieldDescriptorClass& keyFieldClass =
        readDescriptorClass(aReader, TqdKeyFieldDescriptor::ClassInfo, *this, u"KeyFieldDescriptor");
    const int32_t fieldNumber = aReader.ReadInteger();
    TqdKeyFieldDescriptor* keyField = keyFieldClass.Create(this, fieldNumber);
    ckdKeyFields.push_back(keyField);
    keyField->LoadFromReader(aReader);
  }
  DropCachedKeyLen();
}

void TqdCompKeyDescriptor::CheckValid(bool aForBuild) {
  DropCachedKeyLen();
  TqdBaseKeyDescriptor::CheckValid(aForBuild);
  if (ckdKeyFields.empty()) Error(qdeInvalidDesc, u"Composite key requires a minimum of one field");
  for (TqdKeyFieldDescriptor* keyField : ckdKeyFields) keyField->CheckValid(aForBuild);
  // Keys are built in buffers indexed with 16 bits.
  if (GetKeyLen() > qdMaxKeyLength) Error(qdeKeyTooLarge);
}

bool TqdCompKeyDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseKeyDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdCompKeyDescriptor*>(aItem);
  if (other == nullptr || other->KeyFieldCount() != KeyFieldCount()) return false;
  for (int32_t i = 0; i < KeyFieldCount(); ++i) {
    if (!ckdKeyFields[i]->IsEqual(other->ckdKeyFields[i])) return false;
  }
  return true;
}

int32_t TqdNoNullCompKeyDescriptor::GetKeyLen() { return KeyFieldsLength(); }

void TqdNoNullCompKeyDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdCompKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TqdNoNullCompKeyDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdCompKeyDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
}

void TqdNoNullCompKeyDescriptor::CheckValid(bool aForBuild) {
  TqdCompKeyDescriptor::CheckValid(aForBuild);
  for (int32_t i = 0; i < KeyFieldCount(); ++i) {
    TqdFieldDescriptor* field = KeyField(i)->Field();
    if (field == nullptr) continue;
    const TqdBaseDefaultValueDescriptor* defaultValue = field->DefaultValue();
    const bool filled =
        field->Required() || qdSystemFieldTypes.Contains(field->FieldType()) ||
        (field->FieldType() == qdtInt64 && dynamic_cast<const TqdNextLSNDefaultValueDescriptor*>(defaultValue)) ||
        (field->FieldType() == qdtGuid && dynamic_cast<const TqdAutoGuidDefaultValueDescriptor*>(defaultValue)) ||
        dynamic_cast<const TqdConstDefaultValueDescriptor*>(defaultValue) != nullptr;
    if (!filled) Error(qdeInvalidDesc, u"Field \"%s\" is not marked as required", {field->Name()});
  }
}

// --- Key fields ----------------------------------------------------------------------------

const TqdKeyFieldDescriptorClass TqdKeyFieldDescriptor::ClassInfo{
    {u"TqdKeyFieldDescriptor", &TqdLocalizedDictionaryItem::ClassInfo, &keyFieldFamily},
    &qdNewDescriptor<TqdKeyFieldDescriptor, TqdKeyFieldDescriptor, TqdPersistent*, int32_t>};
const TqdKeyFieldDescriptorClass TqdTextKeyFieldDescriptor::ClassInfo{
    {u"TqdTextKeyFieldDescriptor", &TqdKeyFieldDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdKeyFieldDescriptor, TqdTextKeyFieldDescriptor, TqdPersistent*, int32_t>};
const TqdKeyFieldDescriptorClass TqdExtTextKeyFieldDescriptor::ClassInfo{
    {u"TqdExtTextKeyFieldDescriptor", &TqdTextKeyFieldDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdKeyFieldDescriptor, TqdExtTextKeyFieldDescriptor, TqdPersistent*, int32_t>};

TqdKeyFieldDescriptor::TqdKeyFieldDescriptor(TqdPersistent* aParent, int32_t aFieldNumber)
    : TqdLocalizedDictionaryItem(aParent), kfdFieldNumber(aFieldNumber) {
  UpdateRegistration();
}

TqdKeyFieldDescriptor::~TqdKeyFieldDescriptor() { UnregisterFieldChangeNotify(); }

void TqdKeyFieldDescriptor::UpdateRegistration() {
  if (kfdFieldNumber == kRelatedFieldNumber) {
    UnregisterFieldChangeNotify();
  } else {
    RegisterFieldChangeNotify();
  }
}

void TqdKeyFieldDescriptor::DropOwnerKeyLen() {
  if (auto* key = dynamic_cast<TqdCompKeyDescriptor*>(ParentItem())) key->DropCachedKeyLen();
}

void TqdKeyFieldDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  kfdFieldNumber = aValue;
  UpdateRegistration();
  DropOwnerKeyLen();
}

void TqdKeyFieldDescriptor::SetDesc(qdStringView aValue) {
  CheckReadOnly();
  kfdDesc = qdString(aValue);
}

void TqdKeyFieldDescriptor::SetKeyFieldEngine(qdStringView aValue) {
  CheckReadOnly();
  kfdKeyFieldEngine = qdString(aValue);
}

void TqdKeyFieldDescriptor::SetAscend(bool aValue) {
  CheckReadOnly();
  kfdAscend = aValue;
}

void TqdKeyFieldDescriptor::SetOverrideLengthBytes(int32_t aValue) {
  CheckReadOnly();
  if (aValue == kfdOverrideLengthBytes) return;
  kfdOverrideLengthBytes = aValue;
  DropOwnerKeyLen();
}

void TqdKeyFieldDescriptor::SetOverrideLengthChars(int32_t aValue) {
  CheckReadOnly();
  if (aValue == kfdOverrideLengthChars) return;
  kfdOverrideLengthChars = aValue;
  DropOwnerKeyLen();
}

void TqdKeyFieldDescriptor::SetNullBehaviour(TqdNullBehaviour aValue) {
  CheckReadOnly();
  kfdNullBehaviour = aValue;
}

TqdFieldDescriptor* TqdKeyFieldDescriptor::Field() {
  if (kfdFieldNumber == kRelatedFieldNumber) return FindRelated<TqdFieldDescriptor>();
  TqdFieldsDescriptor* fields = FindRelated<TqdFieldsDescriptor>();
  if (fields == nullptr || kfdFieldNumber < 0 || kfdFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->FieldDescriptor(kfdFieldNumber);
}

int32_t TqdKeyFieldDescriptor::KeyLength() {
  TqdFieldDescriptor* field = Field();
  if (field == nullptr) return 0;
  int32_t length = field->Length();
  switch (field->FieldType()) {
    case qdtByteArray:
      if (kfdOverrideLengthBytes > 0 && kfdOverrideLengthBytes < length) length = kfdOverrideLengthBytes;
      return length;
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
      if (kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < field->Units())
        length = field->FieldType() == qdtWideString ? (kfdOverrideLengthChars + 1) * 2 : kfdOverrideLengthChars + 1;
      if (field->FieldType() == qdtWideString) return length;
      return std::max(length, kfdOverrideLengthBytes);
    default:
      return length;
  }
}

int32_t TqdKeyFieldDescriptor::KeyChars() {
  TqdFieldDescriptor* field = Field();
  if (field == nullptr) return 0;
  switch (field->FieldType()) {
    case qdtShortString:
    case qdtNullString:
    case qdtWideString:
      if (kfdOverrideLengthChars > 0 && kfdOverrideLengthChars < field->Units()) return kfdOverrideLengthChars;
      return field->Units();
    default:
      return 0;
  }
}

bool TqdKeyFieldDescriptor::IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor) {
  if (aTableDescriptor == nullptr) return false;
  return kfdFieldNumber >= 0 && kfdFieldNumber < aTableDescriptor->FieldsDescriptor()->FieldCount();
}

bool TqdKeyFieldDescriptor::CanContainNulls() {
  if (kfdNullBehaviour == nbFilterNull) return false;
  TqdFieldDescriptor* field = Field();
  return field == nullptr || !field->Required();
}

TqdLocaleDescriptor* TqdKeyFieldDescriptor::GetInheritedLocaleDescriptor() {
  if (TqdFieldDescriptor* field = Field()) return field->UsedLocaleDescriptor();
  return TqdLocalizedDictionaryItem::GetInheritedLocaleDescriptor();
}

void TqdKeyFieldDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  if (kfdFieldNumber == kRelatedFieldNumber) return;
  if (aBefore) {
    if (aNewField < 0 && aOldField == kfdFieldNumber) {
      TqdFieldDescriptor* field = Field();
      const qdString name = field != nullptr ? field->Name() : AsciiToString(std::to_string(kfdFieldNumber));
      Error(qdeObjectInUse, u"Cannot remove field %s because it is still referenced by an index", {name});
    }
    return;
  }
  kfdFieldNumber = renumbered(kfdFieldNumber, aOldField, aNewField);
  DropOwnerKeyLen();
}

bool TqdKeyFieldDescriptor::ItemRequiresPack() {
  TqdFieldDescriptor* field = Field();
  if (field == nullptr || !qdTextFieldTypes.Contains(field->FieldType())) return false;
  TqdLocaleDescriptor* locale = UsedLocaleDescriptor();
  return locale != nullptr && !locale->CurrentLocaleVersionEqualToBuildVersion();
}

void TqdKeyFieldDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = aClientVersion >= qdClientVersionItemIDs ? 2 : 1;
  if (version == 1) {
    const bool ownLocaleCarried = dynamic_cast<const TqdExtTextKeyFieldDescriptor*>(this) != nullptr;
    if ((LocaleDescriptor() != nullptr && !ownLocaleCarried) || kfdOverrideLengthBytes != 0 ||
        kfdOverrideLengthChars != 0)
      Error(qdeIncompatibleServer);
  }
  aWriter.WriteInteger(version);
  aWriter.WriteString(kfdDesc);
  aWriter.WriteString(kfdKeyFieldEngine);
  aWriter.WriteBoolean(kfdAscend);
  if (version < 2) return;
  SaveLocaleToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(kfdOverrideLengthBytes);
  aWriter.WriteInteger(kfdOverrideLengthChars);
  aWriter.WriteString(qdNullBehaviourName(kfdNullBehaviour));
}

void TqdKeyFieldDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 2);
  kfdDesc = aReader.ReadString();
  kfdKeyFieldEngine = aReader.ReadString();
  kfdAscend = aReader.ReadBoolean();
  if (version >= 2) {
    LoadLocaleFromReader(aReader);
    kfdOverrideLengthBytes = aReader.ReadInteger();
    kfdOverrideLengthChars = aReader.ReadInteger();
    if (!qdNullBehaviourFromName(aReader.ReadString(), kfdNullBehaviour)) Error(qdeIncompatibleStream);
  } else {
    if (LocaleDescriptor() != nullptr) RemoveLocaleDescriptor();
    kfdOverrideLengthBytes = 0;
    kfdOverrideLengthChars = 0;
    kfdNullBehaviour = nbTop;
  }
  DropOwnerKeyLen();
}

void TqdKeyFieldDescriptor::CheckValid(bool aForBuild) {
  TqdLocalizedDictionaryItem::CheckValid(aForBuild);
  if (kfdFieldNumber == kRelatedFieldNumber) {
    if (FindRelated<TqdFieldDescriptor>() == nullptr)
      Error(qdeInvalidDescNum, u"Invalid field number: %d", {kfdFieldNumber});
    return;
  }
  TqdFieldsDescriptor* fields = FindRelated<TqdFieldsDescriptor>();
  if (fields != nullptr && (kfdFieldNumber < 0 || kfdFieldNumber >= fields->FieldCount()))
    Error(qdeInvalidDescNum, u"Invalid field number: %d", {kfdFieldNumber});
}

bool TqdKeyFieldDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdKeyFieldDescriptor*>(aItem);
  return other != nullptr && kfdFieldNumber == other->kfdFieldNumber && kfdDesc == other->kfdDesc &&
         sameTextAscii(kfdKeyFieldEngine, other->kfdKeyFieldEngine) && kfdAscend == other->kfdAscend &&
         kfdOverrideLengthBytes == other->kfdOverrideLengthBytes &&
         kfdOverrideLengthChars == other->kfdOverrideLengthChars && kfdNullBehaviour == other->kfdNullBehaviour;
}

void TqdTextKeyFieldDescriptor::SetIgnoreCase(bool aValue) {
  CheckReadOnly();
  tkfIgnoreCase = aValue;
}

void TqdTextKeyFieldDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteBoolean(tkfIgnoreCase);
}

void TqdTextKeyFieldDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdKeyFieldDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  tkfIgnoreCase = aReader.ReadBoolean();
}

bool TqdTextKeyFieldDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdKeyFieldDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdTextKeyFieldDescriptor*>(aItem);
  return other != nullptr && tkfIgnoreCase == other->tkfIgnoreCase;
}

void TqdExtTextKeyFieldDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdTextKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion >= qdClientVersionItemIDs) {
    aWriter.WriteInteger(2);
    SaveLocaleToWriter(aWriter, aClientVersion);
    return;
  }
  // Older clients know the locale only as an id and the five options.
  const TqdLocaleDescriptor* locale = LocaleDescriptor();
  if (locale != nullptr && locale->OverrideStorageCodepage() != 0) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(locale != nullptr ? static_cast<int32_t>(locale->Locale()) : 0);
  aWriter.WriteBoolean(locale != nullptr && locale->IgnoreKanaType());
  aWriter.WriteBoolean(locale != nullptr && locale->IgnoreNonSpace());
  aWriter.WriteBoolean(locale != nullptr && locale->IgnoreSymbols());
  aWriter.WriteBoolean(locale != nullptr && locale->IgnoreWidth());
  aWriter.WriteBoolean(locale != nullptr && locale->UseStringSort());
}

void TqdExtTextKeyFieldDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdTextKeyFieldDescriptor::LoadFromReader(aReader);
  if (ReadVersion(aReader, 1, 2) == 2) {
    LoadLocaleFromReader(aReader);
    return;
  }
  const uint32_t localeId = static_cast<uint32_t>(aReader.ReadInteger());
  bool options[5];
  for (bool& option : options) option = aReader.ReadBoolean();
  const bool anyOption = options[0] || options[1] || options[2] || options[3] || options[4];
  if (localeId == 0 && !anyOption) {
    if (LocaleDescriptor() != nullptr) RemoveLocaleDescriptor();
    return;
  }
  TqdLocaleDescriptor* locale = AddLocaleDescriptor(nullptr);
  locale->SetLocale(localeId);
  locale->SetIgnoreKanaType(options[0]);
  locale->SetIgnoreNonSpace(options[1]);
  locale->SetIgnoreSymbols(options[2]);
  locale->SetIgnoreWidth(options[3]);
  locale->SetUseStringSort(options[4]);
}

// --- Indexes --------------------------------------------------------------------------------

const TqdIndexDescriptorClass TqdIndexDescriptor::ClassInfo{
    {u"TqdIndexDescriptor", &TqdDictionaryItem::ClassInfo, &indexFamily},
    &qdNewDescriptor<TqdIndexDescriptor, TqdIndexDescriptor, TqdPersistent*, qdStringView, int32_t,
                     const TqdKeyDescriptorClass*>};

TqdIndexDescriptor::TqdIndexDescriptor(TqdPersistent* aParent, qdStringView aName, int32_t aFileNumber,
                                       const TqdKeyDescriptorClass* aKeyClass)
    : TqdDictionaryItem(aParent), idName(aName), idFileNumber(aFileNumber) {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidIndexName, false, true);
  if (check != 0) Error(check);
  RegisterFileChangeNotify();
  const TqdKeyDescriptorClass& keyClass = aKeyClass != nullptr ? *aKeyClass : TqdCompKeyDescriptor::ClassInfo;
  idKeyDescriptor = keyClass.Create(this);
}

TqdIndexDescriptor::~TqdIndexDescriptor() {
  qdFreeAndNil(idKeyDescriptor);
  UnregisterFileChangeNotify();
}

TqdIndexDescriptor* TqdIndexDescriptor::CreateStandalone(int32_t aNumber, qdStringView aName, int32_t aFileNumber,
                                                         const TqdKeyDescriptorClass* aKeyClass,
                                                         const TqdIndexDescriptorClass* aClass) {
  const TqdIndexDescriptorClass& indexClass = aClass != nullptr ? *aClass : ClassInfo;
  TqdIndexDescriptor* index = indexClass.Create(nullptr, aName, aFileNumber, aKeyClass);
  index->idNumber = aNumber;
  return index;
}

void TqdIndexDescriptor::SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const {
  writeClassName(aWriter, *this);
  writeClassName(aWriter, *idKeyDescriptor);
  aWriter.WriteInteger(idNumber);
  aWriter.WriteString(idName);
  aWriter.WriteInteger(idFileNumber);
  SaveToWriter(aWriter, aVersion);
}

TqdIndexDescriptor* TqdIndexDescriptor::CreateStandaloneFromReader(TqdReader& aReader) {
  const qdString className = aReader.ReadString();
  const TqdIndexDescriptorClass* indexClass = qdFindDescriptorClass(ClassInfo, className);
  if (indexClass == nullptr)
    throw EqdIndexDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {u"IndexDescriptor", className});
  const qdString keyClassName = aReader.ReadString();
  const TqdKeyDescriptorClass* keyClass = qdFindDescriptorClass(TqdBaseKeyDescriptor::ClassInfo, keyClassName);
  if (keyClass == nullptr)
    throw EqdIndexDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {u"KeyDescriptor", keyClassName});
  const int32_t number = aReader.ReadInteger();
  const qdString name = aReader.ReadString();
  const int32_t fileNumber = aReader.ReadInteger();
  TqdIndexDescriptor* index = CreateStandalone(number, name, fileNumber, keyClass, indexClass);
  try {
    index->LoadFromReader(aReader);
  } catch (...) {
    delete index;
    throw;
  }
  return index;
}

void TqdIndexDescriptor::SetName(qdStringView aValue) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aValue, qdeInvalidIndexName, false, true);
  if (check != 0) Error(check);
  idName = qdString(aValue);
}

void TqdIndexDescriptor::SetIndexEngine(qdStringView aValue) {
  CheckReadOnly();
  idIndexEngine = qdString(aValue);
}

void TqdIndexDescriptor::SetDesc(qdStringView aValue) {
  CheckReadOnly();
  idDesc = qdString(aValue);
}

void TqdIndexDescriptor::SetFileNumber(int32_t aValue) {
  CheckReadOnly();
  idFileNumber = aValue;
}

void TqdIndexDescriptor::SetDups(TqdIndexDups aValue) {
  CheckReadOnly();
  idDups = aValue;
}

TqdBaseKeyDescriptor* TqdIndexDescriptor::ReplaceKeyDescriptor(const TqdKeyDescriptorClass* aKeyClass) {
  CheckReadOnly();
  qdFreeAndNil(idKeyDescriptor);
  const TqdKeyDescriptorClass& keyClass = aKeyClass != nullptr ? *aKeyClass : TqdCompKeyDescriptor::ClassInfo;
  idKeyDescriptor = keyClass.Create(this);
  return idKeyDescriptor;
}

TqdFileDescriptor* TqdIndexDescriptor::IndexFile() {
  TqdFilesDescriptor* files = FindRelated<TqdFilesDescriptor>();
  if (files == nullptr || idFileNumber < 0 || idFileNumber >= files->FileCount()) return nullptr;
  return files->FileDescriptor(idFileNumber);
}

bool TqdIndexDescriptor::IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor) {
  if (aTableDescriptor == nullptr) return false;
  if (TqdFilesDescriptor* files = aTableDescriptor->FindRelated<TqdFilesDescriptor>()) {
    if (idFileNumber < 0 || idFileNumber >= files->FileCount()) return false;
  }
  if (auto* key = dynamic_cast<TqdCompKeyDescriptor*>(idKeyDescriptor)) {
    for (int32_t i = 0; i < key->KeyFieldCount(); ++i) {
      if (!key->KeyField(i)->IsValidForTable(aTableDescriptor)) return false;
    }
  }
  return idKeyDescriptor->IsValidForTable(aTableDescriptor);
}

void TqdIndexDescriptor::MakeInCache() {
  CheckReadOnly();
  if (!sameTextAscii(idName, kSequentialAccessIndex)) {
    idDups = idAll;
    idIndexEngine = kCacheEngine;
    return;
  }
  idDups = idNone;
  idIndexEngine = kDefaultEngine;
  auto* key = static_cast<TqdCompKeyDescriptor*>(ReplaceKeyDescriptor(&TqdNoNullCompKeyDescriptor::ClassInfo));
  int32_t refNrField = -1;
  TqdFieldsDescriptor* fields = FindRelated<TqdFieldsDescriptor>();
  if (fields != nullptr && fields->HasRefNrField(refNrField)) key->Add(refNrField);
}

void TqdIndexDescriptor::FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  if (aBefore) {
    if (aNewFile < 0 && aOldFile == idFileNumber)
      Error(qdeObjectInUse, u"Cannot remove file %d because it is still referenced by an index", {idFileNumber});
    return;
  }
  idFileNumber = renumbered(idFileNumber, aOldFile, aNewFile);
}

void TqdIndexDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = idDups == idNull ? 2 : 1;
  if (version == 2 && aClientVersion < qdClientVersionIndexDupsNull) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(version);
  aWriter.WriteString(idIndexEngine);
  aWriter.WriteString(idDesc);
  if (version == 1) {
    aWriter.WriteBoolean(idDups == idAll);
  } else {
    aWriter.WriteInteger(static_cast<int32_t>(idDups));
  }
  idKeyDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TqdIndexDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 2);
  idIndexEngine = aReader.ReadString();
  idDesc = aReader.ReadString();
  if (version == 1) {
    idDups = aReader.ReadBoolean() ? idAll : idNone;
  } else {
    const int32_t dups = aReader.ReadInteger();
    if (dups < idNone || dups > idAll) Error(qdeIncompatibleStream);
    idDups = static_cast<TqdIndexDups>(dups);
  }
  idKeyDescriptor->LoadFromReader(aReader);
}

void TqdIndexDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  const TqdResult check = qdCheckIdentifier(idName, qdeInvalidIndexName, false, true);
  if (check != 0) Error(check);
  TqdFilesDescriptor* files = FindRelated<TqdFilesDescriptor>();
  if (files != nullptr && (idFileNumber < 0 || idFileNumber >= files->FileCount()))
    Error(qdeInvalidDescNum, u"Invalid file number: %d", {idFileNumber});
  idKeyDescriptor->CheckValid(aForBuild);
}

bool TqdIndexDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem) || !IsSameClass(aItem)) return false;
  auto* other = static_cast<const TqdIndexDescriptor*>(aItem);
  return idName == other->idName && sameTextAscii(idIndexEngine, other->idIndexEngine) && idDesc == other->idDesc &&
         idFileNumber == other->idFileNumber && idDups == other->idDups &&
         qdDictionaryItemsEqual(idKeyDescriptor, other->idKeyDescriptor);
}

// --- Indices lists ---------------------------------------------------------------------------

const TqdIndicesDescriptorClass TqdBaseIndicesDescriptor::ClassInfo{
    {u"TqdBaseIndicesDescriptor", &TqdDictionaryItem::ClassInfo, &indicesFamily},
    &qdNewDescriptor<TqdBaseIndicesDescriptor, TqdBaseIndicesDescriptor, TqdPersistent*, std::string_view>};
const TqdIndicesDescriptorClass TqdMainIndicesDescriptor::ClassInfo{
    {u"TqdMainIndicesDescriptor", &TqdBaseIndicesDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseIndicesDescriptor, TqdMainIndicesDescriptor, TqdPersistent*, std::string_view>};
const TqdIndicesDescriptorClass TqdInternalIndicesDescriptor::ClassInfo{
    {u"TqdInternalIndicesDescriptor", &TqdBaseIndicesDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseIndicesDescriptor, TqdInternalIndicesDescriptor, TqdPersistent*, std::string_view>};

TqdBaseIndicesDescriptor::TqdBaseIndicesDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
    : TqdDictionaryItem(aParent), bidHeaderSection(aHeaderSection) {}

TqdBaseIndicesDescriptor::~TqdBaseIndicesDescriptor() { FreeIndexes(); }

void TqdBaseIndicesDescriptor::FreeIndexes() {
  while (!bidIndexes.empty()) {
    TqdIndexDescriptor* index = bidIndexes.back();
    bidIndexes.pop_back();
    delete index;
  }
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::IndexDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= IndexCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aIndex});
  return bidIndexes[aIndex];
}

void TqdBaseIndicesDescriptor::SetIndicesEngine(qdStringView aValue) {
  CheckReadOnly();
  bidIndicesEngine = qdString(aValue);
}

const TqdKeyDescriptorClass& TqdBaseIndicesDescriptor::DefaultKeyClass() const {
  return TqdCompKeyDescriptor::ClassInfo;
}

const TqdIndexDescriptorClass& TqdBaseIndicesDescriptor::DefaultIndexClass() const {
  return TqdIndexDescriptor::ClassInfo;
}

void TqdBaseIndicesDescriptor::IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  for (TqdDictionaryItem* item : bidIndexChangeNotifies.Snapshot())
    item->IndexChangeNotification(aBefore, aOldIndex, aNewIndex);
}

void TqdBaseIndicesDescriptor::MakeInCache() {
  CheckReadOnly();
  for (TqdIndexDescriptor* index : bidIndexes) index->MakeInCache();
}

void TqdBaseIndicesDescriptor::CheckIndexName(qdStringView aName) const {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidIndexName, false, true);
  if (check != 0) Error(check);
}

void TqdBaseIndicesDescriptor::Renumber(int32_t aFrom) {
  for (int32_t i = aFrom; i < IndexCount(); ++i) bidIndexes[i]->idNumber = i;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::AddIndexQuietly(qdStringView aName, int32_t aFileNumber,
                                                              TqdIndexDups aDups, qdStringView aDesc,
                                                              const TqdKeyDescriptorClass* aKeyClass,
                                                              const TqdIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  CheckIndexName(aName);
  if (GetIndexFromName(aName) != -1) Error(qdeIndexExists, u"Duplicated index name: %s", {aName});
  if (TqdFilesDescriptor* files = FindRelated<TqdFilesDescriptor>()) {
    if (aFileNumber < 0 || aFileNumber >= files->FileCount())
      Error(qdeInvalidDescNum, u"Invalid file number: %d", {aFileNumber});
  }
  const TqdIndexDescriptorClass& indexClass = aIndexClass != nullptr ? *aIndexClass : DefaultIndexClass();
  TqdIndexDescriptor* index =
      indexClass.Create(this, aName, aFileNumber, aKeyClass != nullptr ? aKeyClass : &DefaultKeyClass());
  index->idDups = aDups;
  index->idDesc = qdString(aDesc);
  bidIndexes.push_back(index);
  index->idNumber = IndexCount() - 1;
  return index;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::AddIndex(qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups,
                                                       qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass,
                                                       const TqdIndexDescriptorClass* aIndexClass) {
  TqdIndexDescriptor* index = AddIndexQuietly(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  IndexChangeNotify(false, -1, index->idNumber);
  return index;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::AddIndex(qdStringView aName, int32_t aFileNumber, bool aDups,
                                                       qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass,
                                                       const TqdIndexDescriptorClass* aIndexClass) {
  return AddIndex(aName, aFileNumber, aDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::AddIndex(const TqdIndexDescriptor* aIndexDescriptor) {
  TqdIndexDescriptor* index = AddIndex(
      aIndexDescriptor->idName, aIndexDescriptor->idFileNumber, aIndexDescriptor->idDups, aIndexDescriptor->idDesc,
      static_cast<const TqdKeyDescriptorClass*>(&aIndexDescriptor->idKeyDescriptor->ClassType()),
      static_cast<const TqdIndexDescriptorClass*>(&aIndexDescriptor->ClassType()));
  try {
    TqdMemoryStream stream(-1);
    {
      TqdWriter writer(&stream);
      aIndexDescriptor->SaveToWriter(writer, qdEngineClientVersion);
    }
    stream.SetPosition(0);
    // The copy keeps the ID it got here.
    TqdAssignDepthGuard depth;
    TqdReader reader(&stream);
    index->LoadFromReader(reader);
  } catch (...) {
    RemoveIndex(index->idNumber);
    throw;
  }
  return index;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber,
                                                            TqdIndexDups aDups, qdStringView aDesc,
                                                            const TqdKeyDescriptorClass* aKeyClass,
                                                            const TqdIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  CheckIndexName(aName);
  if (aInx < 0 || aInx > IndexCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  IndexChangeNotify(true, -1, aInx);
  // Registered items hear of the insertion once, at its final place.
  TqdIndexDescriptor* index = AddIndexQuietly(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  bidIndexes.pop_back();
  bidIndexes.insert(bidIndexes.begin() + aInx, index);
  Renumber(aInx);
  IndexChangeNotify(false, -1, aInx);
  return index;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber,
                                                            bool aDups, qdStringView aDesc,
                                                            const TqdKeyDescriptorClass* aKeyClass,
                                                            const TqdIndexDescriptorClass* aIndexClass) {
  return InsertIndexAt(aInx, aName, aFileNumber, aDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
}

void TqdBaseIndicesDescriptor::MoveIndex(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  IndexDescriptor(aFrom);
  IndexDescriptor(aTo);
  if (aFrom == aTo) return;
  IndexChangeNotify(true, aFrom, aTo);
  TqdIndexDescriptor* index = bidIndexes[aFrom];
  bidIndexes.erase(bidIndexes.begin() + aFrom);
  bidIndexes.insert(bidIndexes.begin() + aTo, index);
  Renumber(std::min(aFrom, aTo));
  IndexChangeNotify(false, aFrom, aTo);
}

void TqdBaseIndicesDescriptor::RemoveIndex(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= IndexCount()) return;
  IndexChangeNotify(true, aInx, -1);
  TqdIndexDescriptor* index = bidIndexes[aInx];
  bidIndexes.erase(bidIndexes.begin() + aInx);
  delete index;
  Renumber(aInx);
  IndexChangeNotify(false, aInx, -1);
}

void TqdBaseIndicesDescriptor::RemoveIndex(qdStringView aName) { RemoveIndex(GetIndexFromName(aName)); }

int32_t TqdBaseIndicesDescriptor::GetIndexFromName(qdStringView aIndexName) const {
  for (int32_t i = 0; i < IndexCount(); ++i) {
    if (sameTextAscii(bidIndexes[i]->idName, aIndexName)) return i;
  }
  return -1;
}

TqdIndexDescriptor* TqdBaseIndicesDescriptor::GetDescriptorFromName(qdStringView aIndexName) const {
  const int32_t index = GetIndexFromName(aIndexName);
  return index >= 0 ? bidIndexes[index] : nullptr;
}

bool TqdBaseIndicesDescriptor::HasIndex(std::span<const int32_t> aFields, int32_t& aIndex,
                                        TqdIndexDupsSet aDups) const {
  for (int32_t i = 0; i < IndexCount(); ++i) {
    const TqdIndexDescriptor* index = bidIndexes[i];
    if (!aDups.Contains(index->idDups)) continue;
    auto* key = dynamic_cast<const TqdCompKeyDescriptor*>(index->idKeyDescriptor);
    if (key == nullptr || key->HasFilter() || key->KeyFieldCount() != static_cast<int32_t>(aFields.size())) continue;
    bool same = true;
    for (int32_t k = 0; k < key->KeyFieldCount() && same; ++k) same = key->KeyField(k)->FieldNumber() == aFields[k];
    if (same) {
      aIndex = i;
      return true;
    }
  }
  aIndex = -1;
  return false;
}

void TqdBaseIndicesDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  const int32_t count = IndexCount();
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) IndexChangeNotify(true, i, -1);
  }
  FreeIndexes();
  bidIndicesEngine = TqdIndexDescriptor::kDefaultEngine;
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) IndexChangeNotify(false, i, -1);
  }
}

void TqdBaseIndicesDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteString(bidIndicesEngine);
  aWriter.WriteInteger(IndexCount());
  for (const TqdIndexDescriptor* index : bidIndexes) {
    writeClassName(aWriter, *index);
    writeClassName(aWriter, *index->idKeyDescriptor);
    aWriter.WriteString(index->idName);
    aWriter.WriteInteger(index->idFileNumber);
    index->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdBaseIndicesDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  bidIndicesEngine = aReader.ReadString();
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  FreeIndexes();
  for (int32_t i = 0; i < count; ++i) {
    const TqdIndexDescriptorClass& indexClass =
        readDescriptorClass(aReader, TqdIndexDescriptor::ClassInfo, *this, u"IndexDescriptor");
    const TqdKeyDescriptorClass& keyClass =
        readDescriptorClass(aReader, TqdBaseKeyDescriptor::ClassInfo, *this, u"KeyDescriptor");
    const qdString name = aReader.ReadString();
    const int32_t fileNumber = aReader.ReadInteger();
    TqdIndexDescriptor* index = indexClass.Create(this, name, fileNumber, &keyClass);
    bidIndexes.push_back(index);
    index->idNumber = i;
    index->LoadFromReader(aReader);
  }
}

void TqdBaseIndicesDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (bidIndexes.empty()) Error(qdeInvalidIndexDescArray, u"IndicesDescriptor requires a minimum of one index");
  if (IndexCount() > 256) Error(qdeTooManyIndexes, u"Too many indexes on table.");
  std::vector<qdString> names;
  for (int32_t i = 0; i < IndexCount(); ++i) {
    TqdIndexDescriptor* index = bidIndexes[i];
    const qdString name = asciiLowerCase(index->idName);
    auto place = std::lower_bound(names.begin(), names.end(), name);
    if (place != names.end() && *place == name) Error(qdeNameNotUnique, u"Duplicated index name: %s", {index->idName});
    names.insert(place, name);
    index->idNumber = i;
    index->CheckValid(aForBuild);
  }
}

bool TqdBaseIndicesDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem) || !IsSameClass(aItem)) return false;
  auto* other = static_cast<const TqdBaseIndicesDescriptor*>(aItem);
  if (other->IndexCount() != IndexCount() || !sameTextAscii(bidIndicesEngine, other->bidIndicesEngine)) return false;
  for (int32_t i = 0; i < IndexCount(); ++i) {
    if (!bidIndexes[i]->IsEqual(other->bidIndexes[i])) return false;
  }
  return true;
}

void TqdMainIndicesDescriptor::SetDefaultIndex(int32_t aValue) {
  CheckReadOnly();
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (aValue < 0) {
    midDefaultIndex = 0;
  } else if (aValue >= IndexCount()) {
    Error(qdeInvalidDescNum, u"Invalid default index number: %d", {aValue});
  } else {
    midDefaultIndex = aValue;
  }
}

void TqdMainIndicesDescriptor::IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  TqdBaseIndicesDescriptor::IndexChangeNotify(aBefore, aOldIndex, aNewIndex);
  if (aBefore) return;
  midDefaultIndex = renumbered(midDefaultIndex, aOldIndex, aNewIndex);
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (midDefaultIndex < 0) {
    midDefaultIndex = 0;
  }
}

void TqdMainIndicesDescriptor::Clear(bool aNotify) {
  TqdBaseIndicesDescriptor::Clear(aNotify);
  midDefaultIndex = -1;
}

void TqdMainIndicesDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(midDefaultIndex);
}

void TqdMainIndicesDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseIndicesDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  const int32_t defaultIndex = aReader.ReadInteger();
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (defaultIndex >= IndexCount()) {
    Error(qdeIncompatibleStream);
  } else {
    midDefaultIndex = std::max(defaultIndex, 0);
  }
}

void TqdMainIndicesDescriptor::CheckValid(bool aForBuild) {
  TqdBaseIndicesDescriptor::CheckValid(aForBuild);
  if (IndexCount() == 0) {
    midDefaultIndex = -1;
  } else if (midDefaultIndex < 0) {
    midDefaultIndex = 0;
  } else if (midDefaultIndex >= IndexCount()) {
    Error(qdeInvalidDescNum, u"Invalid default index number: %d", {midDefaultIndex});
  }
}

bool TqdMainIndicesDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  return TqdBaseIndicesDescriptor::IsEqual(aItem) &&
         midDefaultIndex == static_cast<const TqdMainIndicesDescriptor*>(aItem)->midDefaultIndex;
}

void TqdInternalIndicesDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  if (aClientVersion < qdClientVersionRefNr) Error(qdeIncompatibleServer);
  TqdBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
}

void TqdInternalIndicesDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseIndicesDescriptor::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
}

}  // namespace qd
