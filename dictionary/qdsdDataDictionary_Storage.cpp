// Storage, auto-increment, stream, custom and nested-table list descriptors.
#include "dictionary/qdsdDataDictionary.h"

#include <utility>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdStringList.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* blockHeapFamilyRegistry = nullptr;
TqdClassRegistry** blockHeapFamily() { return &blockHeapFamilyRegistry; }
TqdClassRegistry* heapFamilyRegistry = nullptr;
TqdClassRegistry** heapFamily() { return &heapFamilyRegistry; }
TqdClassRegistry* recordFamilyRegistry = nullptr;
TqdClassRegistry** recordFamily() { return &recordFamilyRegistry; }
TqdClassRegistry* recordCompressionFamilyRegistry = nullptr;
TqdClassRegistry** recordCompressionFamily() { return &recordCompressionFamilyRegistry; }
TqdClassRegistry* blobFamilyRegistry = nullptr;
TqdClassRegistry** blobFamily() { return &blobFamilyRegistry; }
TqdClassRegistry* autoIncFamilyRegistry = nullptr;
TqdClassRegistry** autoIncFamily() { return &autoIncFamilyRegistry; }
TqdClassRegistry* streamFamilyRegistry = nullptr;
TqdClassRegistry** streamFamily() { return &streamFamilyRegistry; }
TqdClassRegistry* customFamilyRegistry = nullptr;
TqdClassRegistry** customFamily() { return &customFamilyRegistry; }
TqdClassRegistry* customDescsFamilyRegistry = nullptr;
TqdClassRegistry** customDescsFamily() { return &customDescsFamilyRegistry; }
TqdClassRegistry* tablesFamilyRegistry = nullptr;
TqdClassRegistry** tablesFamily() { return &tablesFamilyRegistry; }

// The names of a list must be unique without regard to case; reports the
// first name seen twice through aDuplicate.
class TqdNameSet {
 public:
  bool Add(qdStringView aName) {
    const qdString name = asciiLowerCase(aName);
    auto place = std::lower_bound(nsNames.begin(), nsNames.end(), name);
    if (place != nsNames.end() && *place == name) return false;
    nsNames.insert(place, name);
    return true;
  }

 private:
  std::vector<qdString> nsNames;
};

TqdPersistent* checkedCustomName(TqdPersistent* aParent, qdStringView aName) {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidName, false, true);
  if (check != 0) throw EqdBaseCustomDescriptorException(check);
  return aParent;
}

}  // namespace

// --- Block heap and heap ---------------------------------------------------------------------

const TqdBlockHeapDescriptorClass TqdBaseBlockHeapDescriptor::ClassInfo{
    {u"TqdBaseBlockHeapDescriptor", &TqdDictionaryItem::ClassInfo, &blockHeapFamily},
    &qdNewDescriptor<TqdBaseBlockHeapDescriptor, TqdBaseBlockHeapDescriptor, TqdPersistent*>};

void TqdBaseBlockHeapDescriptor::SetBlockHeapEngine(qdStringView aValue) {
  CheckReadOnly();
  bbhdBlockHeapEngine = qdString(aValue);
}

void TqdBaseBlockHeapDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(bbhdBlockHeapEngine);
}

void TqdBaseBlockHeapDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  bbhdBlockHeapEngine = aReader.ReadString();
}

bool TqdBaseBlockHeapDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseBlockHeapDescriptor*>(aItem);
  return other != nullptr && sameTextAscii(bbhdBlockHeapEngine, other->bbhdBlockHeapEngine);
}

const TqdHeapDescriptorClass TqdBaseHeapDescriptor::ClassInfo{
    {u"TqdBaseHeapDescriptor", &TqdDictionaryItem::ClassInfo, &heapFamily},
    &qdNewDescriptor<TqdBaseHeapDescriptor, TqdBaseHeapDescriptor, TqdPersistent*>};

TqdBaseHeapDescriptor::~TqdBaseHeapDescriptor() { qdFreeAndNil(bhdBlockHeapDescriptor); }

void TqdBaseHeapDescriptor::SetHeapEngine(qdStringView aValue) {
  CheckReadOnly();
  bhdHeapEngine = qdString(aValue);
}

TqdBaseBlockHeapDescriptor* TqdBaseHeapDescriptor::AddBlockHeapDescriptor(
    const TqdBlockHeapDescriptorClass* aBlockHeapClass) {
  CheckReadOnly();
  qdFreeAndNil(bhdBlockHeapDescriptor);
  const TqdBlockHeapDescriptorClass& blockHeapClass =
      aBlockHeapClass != nullptr ? *aBlockHeapClass : TqdBaseBlockHeapDescriptor::ClassInfo;
  bhdBlockHeapDescriptor = blockHeapClass.Create(this);
  return bhdBlockHeapDescriptor;
}

void TqdBaseHeapDescriptor::RemoveBlockHeapDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(bhdBlockHeapDescriptor);
}

void TqdBaseHeapDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(aClientVersion >= qdClientVersionItemIDs ? 2 : 1);
  aWriter.WriteString(bhdHeapEngine);
  aWriter.WriteBoolean(bhdBlockHeapDescriptor != nullptr);
  if (bhdBlockHeapDescriptor == nullptr) return;
  writeClassName(aWriter, *bhdBlockHeapDescriptor);
  bhdBlockHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TqdBaseHeapDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 2);
  bhdHeapEngine = aReader.ReadString();
  if (aReader.ReadBoolean()) {
    const TqdBlockHeapDescriptorClass& blockHeapClass =
        readDescriptorClass(aReader, TqdBaseBlockHeapDescriptor::ClassInfo, *this, u"BlockHeapDescriptor");
    AddBlockHeapDescriptor(&blockHeapClass)->LoadFromReader(aReader);
  } else if (version == 1) {
    AddBlockHeapDescriptor(nullptr);
  } else {
    RemoveBlockHeapDescriptor();
  }
}

void TqdBaseHeapDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (bhdBlockHeapDescriptor == nullptr) AddBlockHeapDescriptor(nullptr);
  bhdBlockHeapDescriptor->CheckValid(aForBuild);
}

bool TqdBaseHeapDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseHeapDescriptor*>(aItem);
  return other != nullptr && sameTextAscii(bhdHeapEngine, other->bhdHeapEngine) &&
         qdDictionaryItemsEqual(bhdBlockHeapDescriptor, other->bhdBlockHeapDescriptor);
}

// --- Descriptors that keep their data in a file -------------------------------------------

TqdFileEngineDescriptor::TqdFileEngineDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
    : TqdDictionaryItem(aParent), fedHeaderSection(aHeaderSection) {
  RegisterFileChangeNotify();
}

TqdFileEngineDescriptor::~TqdFileEngineDescriptor() { UnregisterFileChangeNotify(); }

void TqdFileEngineDescriptor::CheckFileNumber(int32_t aValue) {
  TqdFilesDescriptor* files = FindRelated<TqdFilesDescriptor>();
  if (files != nullptr && (aValue < 0 || aValue >= files->FileCount()))
    Error(qdeInvalidDescNum, u"Invalid file number: %d", {aValue});
}

void TqdFileEngineDescriptor::SetFileNumber(int32_t aValue) {
  CheckReadOnly();
  CheckFileNumber(aValue);
  fedFileNumber = aValue;
}

void TqdFileEngineDescriptor::FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  if (aBefore) {
    if (aNewFile < 0 && aOldFile == fedFileNumber)
      Error(qdeObjectInUse, u"Cannot remove file %d because it is still referenced by %s",
            {fedFileNumber, FileUserName()});
    return;
  }
  fedFileNumber = renumbered(fedFileNumber, aOldFile, aNewFile);
}

void TqdFileEngineDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber(fedFileNumber);
}

void TqdFileEngineDescriptor::SetEngineName(qdStringView aValue) {
  CheckReadOnly();
  fedEngineName = qdString(aValue);
}

void TqdFileEngineDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = aClientVersion >= qdClientVersionItemIDs ? FileNumberVersion() : 1;
  aWriter.WriteInteger(version);
  aWriter.WriteString(fedEngineName);
  if (version >= FileNumberVersion()) aWriter.WriteInteger(fedFileNumber);
}

void TqdFileEngineDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, FileNumberVersion());
  fedEngineName = aReader.ReadString();
  // A body without the file number keeps the reader's own.
  if (version >= FileNumberVersion()) fedFileNumber = aReader.ReadInteger();
}

bool TqdFileEngineDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdFileEngineDescriptor*>(aItem);
  return other != nullptr && fedFileNumber == other->fedFileNumber &&
         sameTextAscii(fedEngineName, other->fedEngineName);
}

// --- Record descriptors ------------------------------------------------------------------------

const TqdRecordDescriptorClass TqdBaseRecordDescriptor::ClassInfo{
    {u"TqdBaseRecordDescriptor", &TqdDictionaryItem::ClassInfo, &recordFamily},
    &qdNewDescriptor<TqdBaseRecordDescriptor, TqdBaseRecordDescriptor, TqdPersistent*, std::string_view>};
const TqdRecordDescriptorClass TqdHeapRecordDescriptor::ClassInfo{
    {u"TqdHeapRecordDescriptor", &TqdBaseRecordDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseRecordDescriptor, TqdHeapRecordDescriptor, TqdPersistent*, std::string_view>};

const TqdRecordCompressionDescriptorClass TqdBaseRecordCompressionDescriptor::ClassInfo{
    {u"TqdBaseRecordCompressionDescriptor", &TqdDictionaryItem::ClassInfo, &recordCompressionFamily},
    &qdNewDescriptor<TqdBaseRecordCompressionDescriptor, TqdBaseRecordCompressionDescriptor, TqdPersistent*>};

void TqdBaseRecordCompressionDescriptor::SetRecordCompressionEngine(qdStringView aValue) {
  CheckReadOnly();
  brcdRecordCompressionEngine = qdString(aValue);
}

uint8_t TqdBaseRecordCompressionDescriptor::CompressType() const {
  const qdString text = CustomStringValue(u"CompressType");
  if (text.empty() || text.size() > 3) return 0;
  int32_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return 0;
    value = value * 10 + (c - u'0');
  }
  return value <= 255 ? static_cast<uint8_t>(value) : 0;
}

void TqdBaseRecordCompressionDescriptor::SetCompressType(uint8_t aValue) {
  CheckReadOnly();
  StoreCustomStringValue(u"CompressType", aValue == 0 ? qdString() : AsciiToString(std::to_string(aValue)));
}

void TqdBaseRecordCompressionDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(brcdRecordCompressionEngine);
}

void TqdBaseRecordCompressionDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  brcdRecordCompressionEngine = aReader.ReadString();
}

bool TqdBaseRecordCompressionDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseRecordCompressionDescriptor*>(aItem);
  return other != nullptr && sameTextAscii(brcdRecordCompressionEngine, other->brcdRecordCompressionEngine) &&
         CompressType() == other->CompressType();
}

TqdHeapRecordDescriptor::~TqdHeapRecordDescriptor() {
  qdFreeAndNil(hrdRecordCompressionDescriptor);
  qdFreeAndNil(hrdHeapDescriptor);
}

TqdBaseHeapDescriptor* TqdHeapRecordDescriptor::AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass) {
  CheckReadOnly();
  qdFreeAndNil(hrdHeapDescriptor);
  const TqdHeapDescriptorClass& heapClass = aHeapClass != nullptr ? *aHeapClass : TqdBaseHeapDescriptor::ClassInfo;
  hrdHeapDescriptor = heapClass.Create(this);
  return hrdHeapDescriptor;
}

void TqdHeapRecordDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(hrdHeapDescriptor);
}

TqdBaseRecordCompressionDescriptor* TqdHeapRecordDescriptor::AddRecordCompressionDescriptor(
    const TqdRecordCompressionDescriptorClass* aRecordCompressionClass) {
  CheckReadOnly();
  qdFreeAndNil(hrdRecordCompressionDescriptor);
  const TqdRecordCompressionDescriptorClass& compressionClass =
      aRecordCompressionClass != nullptr ? *aRecordCompressionClass : TqdBaseRecordCompressionDescriptor::ClassInfo;
  hrdRecordCompressionDescriptor = compressionClass.Create(this);
  return hrdRecordCompressionDescriptor;
}

void TqdHeapRecordDescriptor::RemoveRecordCompressionDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(hrdRecordCompressionDescriptor);
}

void TqdHeapRecordDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseRecordDescriptor::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = aClientVersion >= qdClientVersionItemIDs ? 3 : 1;
  aWriter.WriteInteger(version);
  aWriter.WriteBoolean(hrdHeapDescriptor != nullptr);
  if (hrdHeapDescriptor != nullptr) {
    writeClassName(aWriter, *hrdHeapDescriptor);
    hrdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
  if (version < 3) return;
  aWriter.WriteBoolean(hrdRecordCompressionDescriptor != nullptr);
  if (hrdRecordCompressionDescriptor != nullptr) {
    writeClassName(aWriter, *hrdRecordCompressionDescriptor);
    hrdRecordCompressionDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdHeapRecordDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseRecordDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EqdBaseHeapDescriptorException(qdeIncompatibleStream);
  if (aReader.ReadBoolean()) {
    const TqdHeapDescriptorClass& heapClass =
        readDescriptorClass(aReader, TqdBaseHeapDescriptor::ClassInfo, *this, u"HeapDescriptor");
    AddHeapDescriptor(&heapClass)->LoadFromReader(aReader);
  } else if (version == 1) {
    AddHeapDescriptor(nullptr);
  } else {
    RemoveHeapDescriptor();
  }
  if (version >= 3 && aReader.ReadBoolean()) {
    const qdString name = aReader.ReadString();
    const TqdRecordCompressionDescriptorClass* compressionClass =
        qdFindDescriptorClass(TqdBaseRecordCompressionDescriptor::ClassInfo, name);
    if (compressionClass == nullptr)
      throw EqdBaseRecordCompressionDescriptorException(qdeUnsupportedDescriptor, u"%s class is not supported: %s",
                                                        {u"RecordCompressionDescriptor", name});
    AddRecordCompressionDescriptor(compressionClass)->LoadFromReader(aReader);
  } else if (hrdRecordCompressionDescriptor != nullptr) {
    RemoveRecordCompressionDescriptor();
  }
}

void TqdHeapRecordDescriptor::CheckValid(bool aForBuild) {
  TqdBaseRecordDescriptor::CheckValid(aForBuild);
  if (hrdHeapDescriptor == nullptr) AddHeapDescriptor(nullptr);
  hrdHeapDescriptor->CheckValid(aForBuild);
  if (hrdRecordCompressionDescriptor != nullptr) hrdRecordCompressionDescriptor->CheckValid(aForBuild);
}

bool TqdHeapRecordDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseRecordDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdHeapRecordDescriptor*>(aItem);
  return other != nullptr && qdDictionaryItemsEqual(hrdHeapDescriptor, other->hrdHeapDescriptor) &&
         qdDictionaryItemsEqual(hrdRecordCompressionDescriptor, other->hrdRecordCompressionDescriptor);
}

// --- BLOB descriptors ----------------------------------------------------------------------------

const TqdBlobDescriptorClass TqdBaseBlobDescriptor::ClassInfo{
    {u"TqdBaseBlobDescriptor", &TqdDictionaryItem::ClassInfo, &blobFamily},
    &qdNewDescriptor<TqdBaseBlobDescriptor, TqdBaseBlobDescriptor, TqdPersistent*, std::string_view>};
const TqdBlobDescriptorClass TqdHeapBlobDescriptor::ClassInfo{
    {u"TqdHeapBlobDescriptor", &TqdBaseBlobDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseBlobDescriptor, TqdHeapBlobDescriptor, TqdPersistent*, std::string_view>};

TqdHeapBlobDescriptor::~TqdHeapBlobDescriptor() { qdFreeAndNil(hbdHeapDescriptor); }

TqdBaseHeapDescriptor* TqdHeapBlobDescriptor::AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass) {
  CheckReadOnly();
  qdFreeAndNil(hbdHeapDescriptor);
  const TqdHeapDescriptorClass& heapClass = aHeapClass != nullptr ? *aHeapClass : TqdBaseHeapDescriptor::ClassInfo;
  hbdHeapDescriptor = heapClass.Create(this);
  return hbdHeapDescriptor;
}

void TqdHeapBlobDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(hbdHeapDescriptor);
}

void TqdHeapBlobDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseBlobDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(aClientVersion >= qdClientVersionItemIDs ? 2 : 1);
  aWriter.WriteBoolean(hbdHeapDescriptor != nullptr);
  if (hbdHeapDescriptor == nullptr) return;
  writeClassName(aWriter, *hbdHeapDescriptor);
  hbdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TqdHeapBlobDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseBlobDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 2) throw EqdBaseHeapDescriptorException(qdeIncompatibleStream);
  if (aReader.ReadBoolean()) {
    const TqdHeapDescriptorClass& heapClass =
        readDescriptorClass(aReader, TqdBaseHeapDescriptor::ClassInfo, *this, u"HeapDescriptor");
    AddHeapDescriptor(&heapClass)->LoadFromReader(aReader);
  } else if (version == 1) {
    AddHeapDescriptor(nullptr);
  } else {
    RemoveHeapDescriptor();
  }
}

void TqdHeapBlobDescriptor::CheckValid(bool aForBuild) {
  TqdBaseBlobDescriptor::CheckValid(aForBuild);
  if (hbdHeapDescriptor == nullptr) AddHeapDescriptor(nullptr);
  hbdHeapDescriptor->CheckValid(aForBuild);
}

bool TqdHeapBlobDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseBlobDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdHeapBlobDescriptor*>(aItem);
  return other != nullptr && qdDictionaryItemsEqual(hbdHeapDescriptor, other->hbdHeapDescriptor);
}

// --- Auto-increment descriptors ------------------------------------------------------------------

const TqdAutoIncDescriptorClass TqdBaseAutoIncDescriptor::ClassInfo{
    {u"TqdBaseAutoIncDescriptor", &TqdDictionaryItem::ClassInfo, &autoIncFamily},
    &qdNewDescriptor<TqdBaseAutoIncDescriptor, TqdBaseAutoIncDescriptor, TqdPersistent*, std::string_view>};
const TqdAutoIncDescriptorClass TqdAdvAutoIncDescriptor::ClassInfo{
    {u"TqdAdvAutoIncDescriptor", &TqdBaseAutoIncDescriptor::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseAutoIncDescriptor, TqdAdvAutoIncDescriptor, TqdPersistent*, std::string_view>};

uint32_t TqdAdvAutoIncDescriptor::CheckedValue(const char16_t* aName, int64_t aValue) const {
  if (aValue < kMinValue || aValue > kMaxValue)
    Error(qdeOutOfRange, u"%s must be between 1 and 4294967295 (found %d)", {aName, aValue});
  return static_cast<uint32_t>(aValue);
}

void TqdAdvAutoIncDescriptor::SetInitialValue(int64_t aValue) {
  CheckReadOnly();
  aaidInitialValue = CheckedValue(u"InitialValue", aValue);
}

void TqdAdvAutoIncDescriptor::SetStep(int64_t aValue) {
  CheckReadOnly();
  aaidStep = CheckedValue(u"Step", aValue);
}

void TqdAdvAutoIncDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdBaseAutoIncDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(2);
  aWriter.WriteInteger(static_cast<int64_t>(aaidInitialValue));
  aWriter.WriteInteger(static_cast<int64_t>(aaidStep));
}

void TqdAdvAutoIncDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdBaseAutoIncDescriptor::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 2);
  const int64_t first = aReader.ReadInt64();
  const int64_t step = aReader.ReadInt64();
  // Version 1 held the value before the first one handed out.
  const int64_t initialValue = version == 1 ? first + step : first;
  const uint32_t checkedStep = CheckedValue(u"Step", step);
  aaidInitialValue = CheckedValue(u"InitialValue", initialValue);
  aaidStep = checkedStep;
}

bool TqdAdvAutoIncDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseAutoIncDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdAdvAutoIncDescriptor*>(aItem);
  return other != nullptr && aaidInitialValue == other->aaidInitialValue && aaidStep == other->aaidStep;
}

// --- Stream descriptor ------------------------------------------------------------------------

const TqdStreamDescriptorClass TqdBaseStreamDescriptor::ClassInfo{
    {u"TqdBaseStreamDescriptor", &TqdDictionaryItem::ClassInfo, &streamFamily},
    &qdNewDescriptor<TqdBaseStreamDescriptor, TqdBaseStreamDescriptor, TqdPersistent*, std::string_view>};

void TqdBaseStreamDescriptor::SetStreamEngine(qdStringView aValue) {
  CheckReadOnly();
  bsdStreamEngine = qdString(aValue);
}

void TqdBaseStreamDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(bsdStreamEngine);
}

void TqdBaseStreamDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  bsdStreamEngine = aReader.ReadString();
}

bool TqdBaseStreamDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseStreamDescriptor*>(aItem);
  return other != nullptr && sameTextAscii(bsdStreamEngine, other->bsdStreamEngine);
}

// --- Custom descriptors ---------------------------------------------------------------------------

const TqdCustomDescriptorClass TqdBaseCustomDescriptor::ClassInfo{
    {u"TqdBaseCustomDescriptor", &TqdDictionaryItem::ClassInfo, &customFamily},
    &qdNewDescriptor<TqdBaseCustomDescriptor, TqdBaseCustomDescriptor, TqdPersistent*, qdStringView>};

TqdBaseCustomDescriptor::TqdBaseCustomDescriptor(TqdPersistent* aParent, qdStringView aName)
    : TqdDictionaryItem(checkedCustomName(aParent, aName)), bcdName(aName) {}

void TqdBaseCustomDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  const TqdResult check = qdCheckIdentifier(bcdName, qdeInvalidName, false, true);
  if (check != 0) Error(check);
}

bool TqdBaseCustomDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseCustomDescriptor*>(aItem);
  return other != nullptr && bcdName == other->bcdName;
}

const TqdCustomDescsDescriptorClass TqdCustomDescsDescriptor::ClassInfo{
    {u"TqdCustomDescsDescriptor", &TqdDictionaryItem::ClassInfo, &customDescsFamily},
    &qdNewDescriptor<TqdCustomDescsDescriptor, TqdCustomDescsDescriptor, TqdPersistent*>};

TqdCustomDescsDescriptor::~TqdCustomDescsDescriptor() { FreeItems(false, false); }

void TqdCustomDescsDescriptor::FreeItems(bool aClearEach, bool aNotify) {
  while (!cddItems.empty()) {
    TqdBaseCustomDescriptor* item = cddItems.back();
    if (aClearEach) item->Clear(aNotify);
    cddItems.pop_back();
    delete item;
  }
}

TqdBaseCustomDescriptor* TqdCustomDescsDescriptor::CustomDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= CustomCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aIndex});
  return cddItems[aIndex];
}

TqdBaseCustomDescriptor* TqdCustomDescsDescriptor::AddCustom(qdStringView aName,
                                                             const TqdCustomDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidName, false, true);
  if (check != 0) Error(check);
  if (GetCustomDescriptorFromName(aName) != -1)
    Error(qdeNameNotUnique, u"Duplicated custom descriptor name: %s", {aName});
  const TqdCustomDescriptorClass& customClass = aClass != nullptr ? *aClass : TqdBaseCustomDescriptor::ClassInfo;
  TqdBaseCustomDescriptor* item = customClass.Create(this, aName);
  cddItems.push_back(item);
  return item;
}

int32_t TqdCustomDescsDescriptor::GetCustomDescriptorFromName(qdStringView aCustomDescriptorName) const {
  for (int32_t i = 0; i < CustomCount(); ++i) {
    if (sameTextAscii(cddItems[i]->Name(), aCustomDescriptorName)) return i;
  }
  return -1;
}

void TqdCustomDescsDescriptor::RemoveCustom(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= CustomCount()) return;
  TqdBaseCustomDescriptor* item = cddItems[aInx];
  cddItems.erase(cddItems.begin() + aInx);
  delete item;
}

void TqdCustomDescsDescriptor::RemoveCustom(qdStringView aName) { RemoveCustom(GetCustomDescriptorFromName(aName)); }

void TqdCustomDescsDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  FreeItems(true, aNotify);
}

void TqdCustomDescsDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(CustomCount());
  for (const TqdBaseCustomDescriptor* item : cddItems) {
    writeClassName(aWriter, *item);
    aWriter.WriteString(item->Name());
    item->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdCustomDescsDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  FreeItems(false, false);
  for (int32_t i = 0; i < count; ++i) {
    const TqdCustomDescriptorClass& customClass =
        readDescriptorClass(aReader, TqdBaseCustomDescriptor::ClassInfo, *this, u"CustomDescriptor");
    const qdString name = aReader.ReadString();
    TqdBaseCustomDescriptor* item = customClass.Create(this, name);
    cddItems.push_back(item);
    item->LoadFromReader(aReader);
  }
}

void TqdCustomDescsDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  TqdNameSet names;
  for (TqdBaseCustomDescriptor* item : cddItems) {
    if (!names.Add(item->Name())) Error(qdeNameNotUnique, u"Duplicated custom descriptor name: %s", {item->Name()});
    item->CheckValid(aForBuild);
  }
}

bool TqdCustomDescsDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdCustomDescsDescriptor*>(aItem);
  if (other == nullptr || other->CustomCount() != CustomCount()) return false;
  for (int32_t i = 0; i < CustomCount(); ++i) {
    if (!cddItems[i]->IsEqual(other->cddItems[i])) return false;
  }
  return true;
}

// --- Nested tables list ---------------------------------------------------------------------------

const TqdTablesDescriptorClass TqdTablesDescriptor::ClassInfo{
    {u"TqdTablesDescriptor", &TqdDictionaryItem::ClassInfo, &tablesFamily},
    &qdNewDescriptor<TqdTablesDescriptor, TqdTablesDescriptor, TqdPersistent*>};

TqdTablesDescriptor::~TqdTablesDescriptor() { FreeTables(); }

void TqdTablesDescriptor::FreeTables() {
  while (!tdsTables.empty()) {
    TqdNestedTableDescriptor* table = tdsTables.back();
    tdsTables.pop_back();
    delete table;
  }
}

TqdNestedTableDescriptor* TqdTablesDescriptor::TableDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= TableCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aIndex});
  return tdsTables[aIndex];
}

TqdNestedTableDescriptor* TqdTablesDescriptor::AddTable(qdStringView aName,
                                                        const TqdNestedTableDescriptorClass* aClass) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidTableName, false, true);
  if (check != 0) Error(check);
  if (GetTableIndexFromName(aName) != -1) Error(qdeNameNotUnique, u"Duplicated table name: %s", {aName});
  const TqdNestedTableDescriptorClass& tableClass = aClass != nullptr ? *aClass : TqdNestedTableDescriptor::ClassInfo;
  TqdNestedTableDescriptor* table = tableClass.Create(this, aName);
  tdsTables.push_back(table);
  return table;
}

int32_t TqdTablesDescriptor::GetTableIndexFromName(qdStringView aName) const {
  for (int32_t i = 0; i < TableCount(); ++i) {
    if (sameTextAscii(tdsTables[i]->Name(), aName)) return i;
  }
  return -1;
}

TqdNestedTableDescriptor* TqdTablesDescriptor::GetTableDescriptorFromName(qdStringView aName) const {
  const int32_t index = GetTableIndexFromName(aName);
  if (index < 0) Error(qdeNoSuchTable);
  return tdsTables[index];
}

void TqdTablesDescriptor::RemoveTable(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= TableCount()) return;
  TqdNestedTableDescriptor* table = tdsTables[aInx];
  tdsTables.erase(tdsTables.begin() + aInx);
  delete table;
}

void TqdTablesDescriptor::RemoveTable(qdStringView aName) { RemoveTable(GetTableIndexFromName(aName)); }

void TqdTablesDescriptor::RenameTable(qdStringView aOldName, qdStringView aNewName) {
  CheckReadOnly();
  if (aOldName == aNewName) return;
  const TqdResult check = qdCheckIdentifier(aNewName, qdeInvalidTableName, false, true);
  if (check != 0) Error(check);
  if (GetTableIndexFromName(aNewName) != -1) Error(qdeNameNotUnique, u"Duplicated table name: %s", {aNewName});
  GetTableDescriptorFromName(aOldName)->SetName(aNewName);
}

void TqdTablesDescriptor::GetTables(TqdStringList& aStrings) const {
  aStrings.Clear();
  for (TqdNestedTableDescriptor* table : tdsTables) aStrings.AddObject(table->Name(), table);
}

bool TqdTablesDescriptor::HasAnyRefNrField() const {
  for (const TqdNestedTableDescriptor* table : tdsTables) {
    if (table->HasAnyRefNrField()) return true;
  }
  return false;
}

bool TqdTablesDescriptor::HasCachingSupport(TqdTableCachingState aState) const {
  for (const TqdNestedTableDescriptor* table : tdsTables) {
    if (table->HasCachingSupport(aState)) return true;
  }
  return false;
}

void TqdTablesDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  FreeTables();
}

void TqdTablesDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(TableCount());
  for (const TqdNestedTableDescriptor* table : tdsTables) {
    writeClassName(aWriter, *table);
    aWriter.WriteString(table->Name());
    table->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdTablesDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  FreeTables();
  for (int32_t i = 0; i < count; ++i) {
    const TqdNestedTableDescriptorClass& tableClass =
        readDescriptorClass(aReader, TqdNestedTableDescriptor::ClassInfo, *this, u"TableDescriptor");
    const qdString name = aReader.ReadString();
    TqdNestedTableDescriptor* table = tableClass.Create(this, name);
    tdsTables.push_back(table);
    table->LoadFromReader(aReader);
  }
}

void TqdTablesDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  TqdNameSet names;
  for (TqdNestedTableDescriptor* table : tdsTables) {
    if (!names.Add(table->Name())) Error(qdeNameNotUnique, u"Duplicated table descriptor name: %s", {table->Name()});
    table->CheckValid(aForBuild);
  }
}

bool TqdTablesDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdTablesDescriptor*>(aItem);
  if (other == nullptr || other->TableCount() != TableCount()) return false;
  for (int32_t i = 0; i < TableCount(); ++i) {
    if (!tdsTables[i]->IsEqual(other->tdsTables[i])) return false;
  }
  return true;
}

}  // namespace qd
