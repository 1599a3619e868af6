// Files, table descriptors and the data dictionary.
#include "dictionary/qdsdDataDictionary.h"

#include <utility>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

TqdClassRegistry* fileFamilyRegistry = nullptr;
TqdClassRegistry** fileFamily() { return &fileFamilyRegistry; }
TqdClassRegistry* filesFamilyRegistry = nullptr;
TqdClassRegistry** filesFamily() { return &filesFamilyRegistry; }
TqdClassRegistry* nestedTableFamilyRegistry = nullptr;
TqdClassRegistry** nestedTableFamily() { return &nestedTableFamilyRegistry; }

constexpr int32_t blockSizes[] = {4096, 8192, 16384, 32768, 65536};

// The bytes of any allocator block class, for messages.
int64_t allocatorClassBytes(TqdBlockSize aBlockSize) {
  return aBlockSize == qdbs4m ? int64_t(4) << 20 : int64_t(4096) << static_cast<int>(aBlockSize);
}

constexpr const char16_t* cachingStateNames[] = {u"tcsNone", u"tcsCacheable", u"tcsIsCache"};

TqdPersistent* checkedTableName(TqdPersistent* aParent, qdStringView aName) {
  const TqdResult check = qdCheckIdentifier(aName, qdeInvalidTableName, false, true);
  if (check != 0) throw EqdNestedTableDescriptorException(check);
  return aParent;
}

// Reads an Ident and refuses anything but aName (15498).
void expectIdent(TqdReader& aReader, const TqdDictionaryItem& aItem, qdStringView aName) {
  if (aReader.NextValue() != vaIdent || aReader.ReadIdent() != aName) aItem.Error(qdeIncompatibleStream);
}

template <class TPart>
void writePart(TqdWriter& aWriter, const char16_t* aIdent, const TPart* aPart, int32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  aWriter.WriteBoolean(aPart != nullptr);
  if (aPart == nullptr) return;
  writeClassName(aWriter, *aPart);
  aPart->SaveToWriter(aWriter, aClientVersion);
}

}  // namespace

int32_t qdBlockSizeBytes(TqdBlockSize aBlockSize) {
  return aBlockSize >= qdbs4k && aBlockSize <= qdbs64k ? blockSizes[aBlockSize] : 0;
}

bool qdBlockSizeFromBytes(int32_t aBytes, TqdBlockSize& aBlockSize) {
  for (int i = 0; i <= qdbs64k; ++i) {
    if (blockSizes[i] == aBytes) {
      aBlockSize = static_cast<TqdBlockSize>(i);
      return true;
    }
  }
  return false;
}

// --- Files ------------------------------------------------------------------------------------

const TqdFileDescriptorClass TqdFileDescriptor::ClassInfo{
    {u"TqdFileDescriptor", &TqdDictionaryItem::ClassInfo, &fileFamily},
    &qdNewDescriptor<TqdFileDescriptor, TqdFileDescriptor, TqdPersistent*, qdStringView>};

TqdFileDescriptor::TqdFileDescriptor(TqdPersistent* aParent, qdStringView aExtension)
    : TqdDictionaryItem(aParent), fdExtension(aExtension) {}

void TqdFileDescriptor::SetDesc(qdStringView aValue) {
  CheckReadOnly();
  fdDesc = qdString(aValue);
}

void TqdFileDescriptor::SetBlockSize(TqdBlockSize aValue) {
  CheckReadOnly();
  if (qdBlockSizeBytes(aValue) == 0)
    Error(qdeInvalidDesc, u"%d is not a valid BlockSize", {allocatorClassBytes(aValue)});
  fdBlockSize = aValue;
}

void TqdFileDescriptor::SetBlockSizeBytes(int32_t aValue) {
  CheckReadOnly();
  if (!qdBlockSizeFromBytes(aValue, fdBlockSize)) Error(qdeInvalidDesc, u"%d is not a valid BlockSize", {aValue});
}

void TqdFileDescriptor::SetInitialSize(TqdGrowSize aValue) {
  CheckReadOnly();
  fdInitialSize = aValue;
}

void TqdFileDescriptor::SetGrowSize(TqdGrowSize aValue) {
  CheckReadOnly();
  fdGrowSize = aValue;
}

uint32_t TqdFileDescriptor::UsableBlockSize() const {
  const uint32_t bytes = static_cast<uint32_t>(BlockSizeBytes());
  const TqdDataDictionary* dictionary = Dictionary();
  return dictionary != nullptr ? dictionary->UsableBlockSize(bytes) : bytes;
}

void TqdFileDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(1);
  aWriter.WriteString(fdDesc);
  aWriter.WriteInteger(BlockSizeBytes());
  aWriter.WriteInteger(fdInitialSize);
  aWriter.WriteInteger(fdGrowSize);
}

void TqdFileDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  fdDesc = aReader.ReadString();
  const int32_t bytes = aReader.ReadInteger();
  if (!qdBlockSizeFromBytes(bytes, fdBlockSize)) Error(qdeInvalidDesc, u"%d is not a valid BlockSize", {bytes});
  fdInitialSize = aReader.ReadInteger();
  fdGrowSize = aReader.ReadInteger();
}

void TqdFileDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  const bool valid =
      fdNumber == 0 ? fdExtension.empty() : qdCheckIdentifier(fdExtension, qdeInvalidFileExt, false, true) == 0;
  if (!valid) Error(qdeInvalidFileExt, u"Invalid file extension: \"%s\"", {fdExtension});
}

bool TqdFileDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem) || !IsSameClass(aItem)) return false;
  auto* other = static_cast<const TqdFileDescriptor*>(aItem);
  return fdExtension == other->fdExtension && fdDesc == other->fdDesc && fdBlockSize == other->fdBlockSize &&
         fdInitialSize == other->fdInitialSize && fdGrowSize == other->fdGrowSize;
}

const TqdFilesDescriptorClass TqdFilesDescriptor::ClassInfo{
    {u"TqdFilesDescriptor", &TqdDictionaryItem::ClassInfo, &filesFamily},
    &qdNewDescriptor<TqdFilesDescriptor, TqdFilesDescriptor, TqdPersistent*>};

TqdFilesDescriptor::~TqdFilesDescriptor() { FreeFiles(); }

void TqdFilesDescriptor::FreeFiles() {
  while (!fidFiles.empty()) {
    TqdFileDescriptor* file = fidFiles.back();
    fidFiles.pop_back();
    delete file;
  }
}

TqdFileDescriptor* TqdFilesDescriptor::FileDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= FileCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aIndex});
  return fidFiles[aIndex];
}

void TqdFilesDescriptor::CheckExtension(int32_t aPosition, qdStringView aExtension) const {
  const bool valid =
      aPosition == 0 ? aExtension.empty() : qdCheckIdentifier(aExtension, qdeInvalidFileExt, false, true) == 0;
  if (!valid) Error(qdeInvalidFileExt, u"Invalid file extension: \"%s\"", {aExtension});
}

void TqdFilesDescriptor::Renumber(int32_t aFrom) {
  for (int32_t i = aFrom; i < FileCount(); ++i) fidFiles[i]->fdNumber = i;
}

TqdFileDescriptor* TqdFilesDescriptor::AddFile(qdStringView aExtension, TqdBlockSize aBlockSize, qdStringView aDesc,
                                               const TqdFileDescriptorClass* aClass) {
  CheckReadOnly();
  CheckExtension(FileCount(), aExtension);
  if (GetFileFromExt(aExtension) != -1) Error(qdeNameNotUnique, u"Duplicated file extension: \"%s\"", {aExtension});
  if (qdBlockSizeBytes(aBlockSize) == 0)
    Error(qdeInvalidDesc, u"%d is not a valid BlockSize", {allocatorClassBytes(aBlockSize)});
  const TqdFileDescriptorClass& fileClass = aClass != nullptr ? *aClass : TqdFileDescriptor::ClassInfo;
  TqdFileDescriptor* file = fileClass.Create(this, aExtension);
  fidFiles.push_back(file);
  file->fdNumber = FileCount() - 1;
  file->fdDesc = qdString(aDesc);
  file->fdBlockSize = aBlockSize;
  return file;
}

TqdFileDescriptor* TqdFilesDescriptor::InsertFileAt(int32_t aInx, qdStringView aExtension, TqdBlockSize aBlockSize,
                                                    qdStringView aDesc, const TqdFileDescriptorClass* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > FileCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  FileChangeNotify(true, -1, aInx);
  TqdFileDescriptor* file = AddFile(aExtension, aBlockSize, aDesc, aClass);
  fidFiles.pop_back();
  fidFiles.insert(fidFiles.begin() + aInx, file);
  Renumber(aInx);
  FileChangeNotify(false, -1, aInx);
  return file;
}

void TqdFilesDescriptor::MoveFile(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  if (aFrom < 1 || aFrom >= FileCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aFrom});
  if (aTo < 1 || aTo >= FileCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aTo});
  if (aFrom == aTo) return;
  FileChangeNotify(true, aFrom, aTo);
  TqdFileDescriptor* file = fidFiles[aFrom];
  fidFiles.erase(fidFiles.begin() + aFrom);
  fidFiles.insert(fidFiles.begin() + aTo, file);
  Renumber(std::min(aFrom, aTo));
  FileChangeNotify(false, aFrom, aTo);
}

void TqdFilesDescriptor::RemoveFile(int32_t aInx) {
  CheckReadOnly();
  if (aInx == 0) Error(qdeObjectInUse, u"Cannot remove the base file descriptor");
  if (aInx < 0 || aInx >= FileCount()) return;
  FileChangeNotify(true, aInx, -1);
  TqdFileDescriptor* file = fidFiles[aInx];
  fidFiles.erase(fidFiles.begin() + aInx);
  Renumber(aInx);
  FileChangeNotify(false, aInx, -1);
  delete file;
}

void TqdFilesDescriptor::RenameFile(int32_t aInx, qdStringView aNewExtension) {
  CheckReadOnly();
  if (aInx < 1 || aInx >= FileCount()) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  CheckExtension(aInx, aNewExtension);
  TqdFileDescriptor* file = fidFiles[aInx];
  if (!sameTextAscii(aNewExtension, file->fdExtension) && GetFileFromExt(aNewExtension) != -1)
    Error(qdeNameNotUnique, u"Duplicated file extension: \"%s\"", {aNewExtension});
  file->fdExtension = qdString(aNewExtension);
}

void TqdFilesDescriptor::RenameFile(qdStringView aOldExtension, qdStringView aNewExtension) {
  RenameFile(GetFileFromExt(aOldExtension), aNewExtension);
}

int32_t TqdFilesDescriptor::GetFileFromExt(qdStringView aFileExt) const {
  for (int32_t i = 0; i < FileCount(); ++i) {
    if (sameTextAscii(fidFiles[i]->fdExtension, aFileExt)) return i;
  }
  return -1;
}

void TqdFilesDescriptor::FileChangeNotify(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  for (TqdDictionaryItem* item : fidFileChangeNotifies.Snapshot())
    item->FileChangeNotification(aBefore, aOldFile, aNewFile);
}

void TqdFilesDescriptor::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  const int32_t count = FileCount();
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) FileChangeNotify(true, i, -1);
  }
  FreeFiles();
  if (aNotify) {
    for (int32_t i = count - 1; i >= 0; --i) FileChangeNotify(false, i, -1);
  }
}

void TqdFilesDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  aWriter.WriteInteger(1);
  aWriter.WriteInteger(FileCount());
  for (const TqdFileDescriptor* file : fidFiles) {
    writeClassName(aWriter, *file);
    aWriter.WriteString(file->fdExtension);
    file->SaveToWriter(aWriter, aClientVersion);
  }
}

void TqdFilesDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdDictionaryItem::LoadFromReader(aReader);
  ReadVersion(aReader, 1, 1);
  FreeFiles();
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < count; ++i) {
    const TqdFileDescriptorClass& fileClass =
        readDescriptorClass(aReader, TqdFileDescriptor::ClassInfo, *this, u"FileDescriptor");
    qdString extension = aReader.ReadString();
    if (i == 0) extension.clear();
    TqdFileDescriptor* file = fileClass.Create(this, extension);
    fidFiles.push_back(file);
    file->fdNumber = i;
    file->LoadFromReader(aReader);
  }
}

void TqdFilesDescriptor::CheckValid(bool aForBuild) {
  TqdDictionaryItem::CheckValid(aForBuild);
  if (fidFiles.empty()) Error(qdeInvalidRecStruct, u"FilesDescriptor requires a minimum of one file");
  std::vector<qdString> extensions;
  for (int32_t i = 0; i < FileCount(); ++i) {
    TqdFileDescriptor* file = fidFiles[i];
    const qdString extension = asciiLowerCase(file->fdExtension);
    auto place = std::lower_bound(extensions.begin(), extensions.end(), extension);
    if (place != extensions.end() && *place == extension)
      Error(qdeNameNotUnique, u"Duplicated file extension: \"%s\"", {file->fdExtension});
    extensions.insert(place, extension);
    file->fdNumber = i;
    file->CheckValid(aForBuild);
  }
}

bool TqdFilesDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdFilesDescriptor*>(aItem);
  if (other == nullptr || other->FileCount() != FileCount()) return false;
  for (int32_t i = 0; i < FileCount(); ++i) {
    if (!fidFiles[i]->IsEqual(other->fidFiles[i])) return false;
  }
  return true;
}

// --- Table descriptor -----------------------------------------------------------------------

const TqdClassInfo TqdBaseTableDescriptor::ClassInfo{u"TqdBaseTableDescriptor", &TqdLocalizedDictionaryItem::ClassInfo,
                                                     nullptr};

TqdBaseTableDescriptor::TqdBaseTableDescriptor(TqdPersistent* aParent) : TqdLocalizedDictionaryItem(aParent) {}

TqdBaseTableDescriptor::~TqdBaseTableDescriptor() { FreeTableParts(); }

void TqdBaseTableDescriptor::CreateTableParts() {
  tdFieldsDescriptor = new TqdFieldsDescriptor(this);
  tdCustomDescsDescriptor = new TqdCustomDescsDescriptor(this);
  tdTablesDescriptor = new TqdTablesDescriptor(this);
}

void TqdBaseTableDescriptor::FreeTableParts() {
  // Parts that refer to others go first: custom descriptors to indexes,
  // key fields to fields.
  qdFreeAndNil(tdCustomDescsDescriptor);
  qdFreeAndNil(tdTablesDescriptor);
  qdFreeAndNil(tdInternalIndicesDescriptor);
  qdFreeAndNil(tdIndicesDescriptor);
  qdFreeAndNil(tdAutoIncDescriptor);
  qdFreeAndNil(tdBlobDescriptor);
  qdFreeAndNil(tdRecordDescriptor);
  qdFreeAndNil(tdFieldsDescriptor);
}

void TqdBaseTableDescriptor::SetCachingState(TqdTableCachingState aValue) {
  CheckReadOnly();
  tdCachingState = aValue;
}

TqdBaseRecordDescriptor* TqdBaseTableDescriptor::AddRecordDescriptor(const TqdRecordDescriptorClass* aRecordClass) {
  CheckReadOnly();
  qdFreeAndNil(tdRecordDescriptor);
  const TqdRecordDescriptorClass& recordClass =
      aRecordClass != nullptr ? *aRecordClass : TqdBaseRecordDescriptor::ClassInfo;
  tdRecordDescriptor = recordClass.Create(this, "Record");
  return tdRecordDescriptor;
}

TqdBaseBlobDescriptor* TqdBaseTableDescriptor::AddBlobDescriptor(const TqdBlobDescriptorClass* aBlobClass) {
  CheckReadOnly();
  qdFreeAndNil(tdBlobDescriptor);
  const TqdBlobDescriptorClass& blobClass = aBlobClass != nullptr ? *aBlobClass : TqdHeapBlobDescriptor::ClassInfo;
  tdBlobDescriptor = blobClass.Create(this, "Blob");
  return tdBlobDescriptor;
}

TqdMainIndicesDescriptor* TqdBaseTableDescriptor::AddIndicesDescriptor(const TqdIndicesDescriptorClass* aIndicesClass) {
  CheckReadOnly();
  const TqdIndicesDescriptorClass& indicesClass =
      aIndicesClass != nullptr ? *aIndicesClass : TqdMainIndicesDescriptor::ClassInfo;
  if (!indicesClass.InheritsFrom(TqdMainIndicesDescriptor::ClassInfo))
    Error(qdeInvalidParam, u"%s is not a main indices class", {indicesClass.ClassName});
  qdFreeAndNil(tdIndicesDescriptor);
  tdIndicesDescriptor = static_cast<TqdMainIndicesDescriptor*>(indicesClass.Create(this, "Indices"));
  return tdIndicesDescriptor;
}

TqdInternalIndicesDescriptor* TqdBaseTableDescriptor::AddInternalIndicesDescriptor(
    const TqdIndicesDescriptorClass* aInternalIndicesClass) {
  CheckReadOnly();
  const TqdIndicesDescriptorClass& indicesClass =
      aInternalIndicesClass != nullptr ? *aInternalIndicesClass : TqdInternalIndicesDescriptor::ClassInfo;
  if (!indicesClass.InheritsFrom(TqdInternalIndicesDescriptor::ClassInfo))
    Error(qdeInvalidParam, u"%s is not an internal indices class", {indicesClass.ClassName});
  qdFreeAndNil(tdInternalIndicesDescriptor);
  tdInternalIndicesDescriptor =
      static_cast<TqdInternalIndicesDescriptor*>(indicesClass.Create(this, "InternalIndices"));
  return tdInternalIndicesDescriptor;
}

TqdBaseAutoIncDescriptor* TqdBaseTableDescriptor::AddAutoIncDescriptor(const TqdAutoIncDescriptorClass* aAutoIncClass) {
  CheckReadOnly();
  qdFreeAndNil(tdAutoIncDescriptor);
  const TqdAutoIncDescriptorClass& autoIncClass =
      aAutoIncClass != nullptr ? *aAutoIncClass : TqdBaseAutoIncDescriptor::ClassInfo;
  tdAutoIncDescriptor = autoIncClass.Create(this, "AutoInc");
  return tdAutoIncDescriptor;
}

TqdMainIndicesDescriptor* TqdBaseTableDescriptor::EnsureIndicesDescriptor() {
  return tdIndicesDescriptor != nullptr ? tdIndicesDescriptor : AddIndicesDescriptor(nullptr);
}

TqdInternalIndicesDescriptor* TqdBaseTableDescriptor::EnsureInternalIndicesDescriptor() {
  return tdInternalIndicesDescriptor != nullptr ? tdInternalIndicesDescriptor : AddInternalIndicesDescriptor(nullptr);
}

void TqdBaseTableDescriptor::RemoveRecordDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(tdRecordDescriptor);
}

void TqdBaseTableDescriptor::RemoveBlobDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(tdBlobDescriptor);
}

void TqdBaseTableDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  if (tdIndicesDescriptor == nullptr) return;
  tdIndicesDescriptor->Clear(true);
  qdFreeAndNil(tdIndicesDescriptor);
}

void TqdBaseTableDescriptor::RemoveInternalIndicesDescriptor() {
  CheckReadOnly();
  if (tdInternalIndicesDescriptor == nullptr) return;
  tdInternalIndicesDescriptor->Clear(true);
  qdFreeAndNil(tdInternalIndicesDescriptor);
}

void TqdBaseTableDescriptor::RemoveAutoIncDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(tdAutoIncDescriptor);
}

int32_t TqdBaseTableDescriptor::GetFieldFromName(qdStringView aFieldName) const {
  return tdFieldsDescriptor != nullptr ? tdFieldsDescriptor->GetFieldFromName(aFieldName) : -1;
}

int32_t TqdBaseTableDescriptor::GetIndexFromName(qdStringView aIndexName) const {
  return tdIndicesDescriptor != nullptr ? tdIndicesDescriptor->GetIndexFromName(aIndexName) : -1;
}

bool TqdBaseTableDescriptor::FindConstraint(qdStringView aName, size_t& aIndex) const {
  auto place = std::lower_bound(
      tdConstraints.begin(), tdConstraints.end(), aName,
      [](const TqdConstraint& aEntry, qdStringView aKey) { return compareTextAscii(aEntry.Name, aKey) < 0; });
  aIndex = static_cast<size_t>(place - tdConstraints.begin());
  return place != tdConstraints.end() && compareTextAscii(place->Name, aName) == 0;
}

TqdDictionaryItem* TqdBaseTableDescriptor::GetConstraintByName(qdStringView aName) const {
  size_t index = 0;
  return FindConstraint(aName, index) ? tdConstraints[index].Item : nullptr;
}

void TqdBaseTableDescriptor::AddConstraintName(TqdDictionaryItem* aItem, const qdString& aName) {
  size_t index = 0;
  if (FindConstraint(aName, index)) Error(qdeNameNotUnique, u"Constraint name already in use: \"%s\"", {aName});
  tdConstraints.insert(tdConstraints.begin() + static_cast<std::ptrdiff_t>(index), TqdConstraint{aName, aItem});
}

void TqdBaseTableDescriptor::RemoveConstraintName(TqdDictionaryItem* aItem, const qdString& aName) {
  size_t index = 0;
  if (FindConstraint(aName, index) && tdConstraints[index].Item == aItem)
    tdConstraints.erase(tdConstraints.begin() + static_cast<std::ptrdiff_t>(index));
}

bool TqdBaseTableDescriptor::HasAnyRefNrFieldHere() const {
  int32_t field = -1;
  return tdFieldsDescriptor != nullptr && tdFieldsDescriptor->HasRefNrField(field);
}

bool TqdBaseTableDescriptor::HasAnyRefNrField() const {
  return HasAnyRefNrFieldHere() || (tdTablesDescriptor != nullptr && tdTablesDescriptor->HasAnyRefNrField());
}

bool TqdBaseTableDescriptor::HasCachingSupport(TqdTableCachingState aState) const {
  if (tdCachingState != tcsNone && (aState == tcsNone || aState == tdCachingState)) return true;
  return tdTablesDescriptor != nullptr && tdTablesDescriptor->HasCachingSupport(aState);
}

int32_t TqdBaseTableDescriptor::tdGetKeyLen(int32_t aInx) {
  if (tdIndicesDescriptor == nullptr) Error(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
  return tdIndicesDescriptor->IndexDescriptor(aInx)->KeyDescriptor()->KeyLen();
}

int32_t TqdBaseTableDescriptor::tdGetBookmarkSize(int32_t aInx) {
  return tdIndicesDescriptor == nullptr ? 24 : tdGetKeyLen(aInx) + 24;
}

int32_t TqdBaseTableDescriptor::MaxKeyLen() {
  if (CacheActive()) return static_cast<int32_t>(tdMaxKeyLen);
  int32_t maxKeyLen = 0;
  if (tdIndicesDescriptor != nullptr) {
    for (int32_t i = 0; i < tdIndicesDescriptor->IndexCount(); ++i)
      maxKeyLen = std::max(maxKeyLen, tdIndicesDescriptor->IndexDescriptor(i)->KeyDescriptor()->KeyLen());
  }
  return maxKeyLen;
}

void TqdBaseTableDescriptor::ResetTable(bool, bool aNotify) {
  tdCustomDescsDescriptor->Clear(aNotify);
  RemoveIndicesDescriptor();
  // Internal indexes use fields as well; they cannot outlive them.
  RemoveInternalIndicesDescriptor();
  tdFieldsDescriptor->Clear(aNotify);
  RemoveRecordDescriptor();
  RemoveBlobDescriptor();
  RemoveLocaleDescriptor();
  RemoveAutoIncDescriptor();
  tdTablesDescriptor->Clear(aNotify);
}

bool TqdBaseTableDescriptor::IsIndexDescValid(TqdIndexDescriptor* aIndexDesc) {
  if (!aIndexDesc->ConstraintName().empty() && GetConstraintByName(aIndexDesc->ConstraintName()) != nullptr)
    return false;
  return aIndexDesc->IsValidForTable(this);
}

bool TqdBaseTableDescriptor::IsFieldDescValid(TqdFieldDescriptor* aFieldDesc) {
  if (!aFieldDesc->ConstraintName().empty() && GetConstraintByName(aFieldDesc->ConstraintName()) != nullptr)
    return false;
  return aFieldDesc->IsValidForTable(this);
}

void TqdBaseTableDescriptor::ActivateCache() {
  tdMaxKeyLen = static_cast<uint32_t>(MaxKeyLen());
  TqdLocalizedDictionaryItem::ActivateCache();
}

void TqdBaseTableDescriptor::DeactivateCache() {
  TqdLocalizedDictionaryItem::DeactivateCache();
  tdMaxKeyLen = 0;
}

bool TqdBaseTableDescriptor::FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                                         TqdDictionaryItem* aFrom) {
  if (ClassType().InheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  TqdDictionaryItem* const parts[] = {tdFieldsDescriptor,      tdIndicesDescriptor, tdInternalIndicesDescriptor,
                                      tdBlobDescriptor,        tdRecordDescriptor,  tdAutoIncDescriptor,
                                      tdCustomDescsDescriptor, tdTablesDescriptor};
  for (TqdDictionaryItem* part : parts) {
    if (part != nullptr && part->ClassType().InheritsFrom(aType)) {
      aDescriptor = part;
      return true;
    }
  }
  return TqdLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TqdBaseTableDescriptor::CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const {
  TqdLocalizedDictionaryItem::CustomStringsForStream(aLines, aClientVersion);
  const qdString line = qdString(u"$CachingState=") + cachingStateNames[tdCachingState];
  for (qdString& existing : aLines) {
    if (existing.find(u'=') != qdString::npos && sameTextAscii(lineName(existing), u"$CachingState")) {
      existing = line;
      return;
    }
  }
  aLines.push_back(line);
}

void TqdBaseTableDescriptor::SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  TqdLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < qdClientVersionItemIDs) Error(qdeIncompatibleServer);
  int32_t version = (tdInternalIndicesDescriptor != nullptr && tdInternalIndicesDescriptor->IndexCount() > 0) ? 2 : 1;
  if (aClientVersion < qdClientVersionRefNr && version == 2) {
    qdDictionaryInfoLost = true;
    version = 1;
  }
  aWriter.WriteInteger(version);
  aWriter.WriteIdent(u"LocaleDescriptor");
  SaveLocaleToWriter(aWriter, aClientVersion);
  writePart(aWriter, u"RecordDescriptor", tdRecordDescriptor, aClientVersion);
  writePart(aWriter, u"BlobDescriptor", tdBlobDescriptor, aClientVersion);
  writePart(aWriter, u"FieldsDescriptor", tdFieldsDescriptor, aClientVersion);
  writePart(aWriter, u"IndicesDescriptor", tdIndicesDescriptor, aClientVersion);
  if (version == 2) writePart(aWriter, u"InternalIndicesDescriptor", tdInternalIndicesDescriptor, aClientVersion);
  writePart(aWriter, u"AutoIncDescriptor", tdAutoIncDescriptor, aClientVersion);
  writePart(aWriter, u"CustomDescsDescriptor", tdCustomDescsDescriptor, aClientVersion);
  writePart(aWriter, u"TablesDescriptor", tdTablesDescriptor, aClientVersion);
}

void TqdBaseTableDescriptor::LoadFromReader(TqdReader& aReader) {
  TqdLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion(aReader, 1, 2);
  expectIdent(aReader, *this, u"LocaleDescriptor");
  LoadLocaleFromReader(aReader);

  expectIdent(aReader, *this, u"RecordDescriptor");
  RemoveRecordDescriptor();
  if (aReader.ReadBoolean()) {
    const auto& recordClass =
        readDescriptorClass(aReader, TqdBaseRecordDescriptor::ClassInfo, *this, u"RecordDescriptor");
    AddRecordDescriptor(&recordClass)->LoadFromReader(aReader);
  }

  expectIdent(aReader, *this, u"BlobDescriptor");
  RemoveBlobDescriptor();
  if (aReader.ReadBoolean()) {
    const auto& blobClass = readDescriptorClass(aReader, TqdBaseBlobDescriptor::ClassInfo, *this, u"BlobDescriptor");
    AddBlobDescriptor(&blobClass)->LoadFromReader(aReader);
  }

  // The always-present parts are read into the objects the table owns.
  const auto readOwnedPart = [&](const char16_t* aIdent, TqdDictionaryItem* aPart, const TqdClassInfo& aFamily) {
    expectIdent(aReader, *this, aIdent);
    if (!aReader.ReadBoolean()) Error(qdeIncompatibleStream);
    const qdString name = aReader.ReadString();
    const TqdClassInfo* found = TqdBaseRegisterableDescriptor::FindDescriptorClass(aFamily, name);
    if (found == nullptr) Error(qdeUnsupportedDescriptor, u"%s class is not supported: %s", {aIdent, name});
    if (found != &aPart->ClassType()) Error(qdeIncompatibleStream);
    aPart->LoadFromReader(aReader);
  };
  readOwnedPart(u"FieldsDescriptor", tdFieldsDescriptor, TqdFieldsDescriptor::ClassInfo);

  expectIdent(aReader, *this, u"IndicesDescriptor");
  RemoveIndicesDescriptor();
  if (aReader.ReadBoolean()) {
    const auto& indicesClass =
        readDescriptorClass(aReader, TqdBaseIndicesDescriptor::ClassInfo, *this, u"IndicesDescriptor");
    if (!indicesClass.InheritsFrom(TqdMainIndicesDescriptor::ClassInfo)) Error(qdeIncompatibleStream);
    AddIndicesDescriptor(&indicesClass)->LoadFromReader(aReader);
  }

  RemoveInternalIndicesDescriptor();
  if (version >= 2) {
    expectIdent(aReader, *this, u"InternalIndicesDescriptor");
    if (aReader.ReadBoolean()) {
      const auto& indicesClass =
          readDescriptorClass(aReader, TqdBaseIndicesDescriptor::ClassInfo, *this, u"InternalIndicesDescriptor");
      if (!indicesClass.InheritsFrom(TqdInternalIndicesDescriptor::ClassInfo)) Error(qdeIncompatibleStream);
      AddInternalIndicesDescriptor(&indicesClass)->LoadFromReader(aReader);
    }
  }

  expectIdent(aReader, *this, u"AutoIncDescriptor");
  RemoveAutoIncDescriptor();
  if (aReader.ReadBoolean()) {
    const auto& autoIncClass =
        readDescriptorClass(aReader, TqdBaseAutoIncDescriptor::ClassInfo, *this, u"AutoIncDescriptor");
    AddAutoIncDescriptor(&autoIncClass)->LoadFromReader(aReader);
  }

  readOwnedPart(u"CustomDescsDescriptor", tdCustomDescsDescriptor, TqdCustomDescsDescriptor::ClassInfo);
  readOwnedPart(u"TablesDescriptor", tdTablesDescriptor, TqdTablesDescriptor::ClassInfo);

  tdCachingState = tcsNone;
  const qdString state = CustomStringValue(u"$CachingState");
  for (int i = 0; i <= tcsIsCache; ++i) {
    if (state == cachingStateNames[i]) tdCachingState = static_cast<TqdTableCachingState>(i);
  }
}

void TqdBaseTableDescriptor::CheckValid(bool aForBuild) {
  TqdLocalizedDictionaryItem::CheckValid(aForBuild);
  if (tdRecordDescriptor == nullptr) Error(qdeInvalidDesc, u"A record descriptor is required");
  tdFieldsDescriptor->CheckValid(aForBuild);
  tdRecordDescriptor->CheckValid(aForBuild);
  if (tdBlobDescriptor != nullptr) tdBlobDescriptor->CheckValid(aForBuild);
  if (tdIndicesDescriptor != nullptr) tdIndicesDescriptor->CheckValid(aForBuild);
  if (tdInternalIndicesDescriptor != nullptr) tdInternalIndicesDescriptor->CheckValid(aForBuild);
  if (tdAutoIncDescriptor != nullptr) tdAutoIncDescriptor->CheckValid(aForBuild);
  tdCustomDescsDescriptor->CheckValid(aForBuild);
  tdTablesDescriptor->CheckValid(aForBuild);
}

bool TqdBaseTableDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdLocalizedDictionaryItem::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdBaseTableDescriptor*>(aItem);
  return other != nullptr && tdCachingState == other->tdCachingState &&
         qdDictionaryItemsEqual(tdFieldsDescriptor, other->tdFieldsDescriptor) &&
         qdDictionaryItemsEqual(tdRecordDescriptor, other->tdRecordDescriptor) &&
         qdDictionaryItemsEqual(tdBlobDescriptor, other->tdBlobDescriptor) &&
         qdDictionaryItemsEqual(tdAutoIncDescriptor, other->tdAutoIncDescriptor) &&
         qdDictionaryItemsEqual(tdIndicesDescriptor, other->tdIndicesDescriptor) &&
         qdDictionaryItemsEqual(tdInternalIndicesDescriptor, other->tdInternalIndicesDescriptor) &&
         qdDictionaryItemsEqual(tdCustomDescsDescriptor, other->tdCustomDescsDescriptor) &&
         qdDictionaryItemsEqual(tdTablesDescriptor, other->tdTablesDescriptor);
}

// --- Nested tables -----------------------------------------------------------------------------

const TqdNestedTableDescriptorClass TqdNestedTableDescriptor::ClassInfo{
    {u"TqdNestedTableDescriptor", &TqdBaseTableDescriptor::ClassInfo, &nestedTableFamily},
    &qdNewDescriptor<TqdNestedTableDescriptor, TqdNestedTableDescriptor, TqdPersistent*, qdStringView>};

TqdNestedTableDescriptor::TqdNestedTableDescriptor(TqdPersistent* aParent, qdStringView aName)
    : TqdBaseTableDescriptor(checkedTableName(aParent, aName)), ntdName(aName) {
  CreateTableParts();
}

void TqdNestedTableDescriptor::SetName(qdStringView aValue) {
  CheckReadOnly();
  const TqdResult check = qdCheckIdentifier(aValue, qdeInvalidTableName, false, true);
  if (check != 0) Error(check);
  ntdName = qdString(aValue);
}

qdString TqdNestedTableDescriptor::btdFullName() const {
  if (const TqdBaseTableDescriptor* parentTable = FindParentOfType<TqdBaseTableDescriptor>())
    return parentTable->btdFullName() + u":" + ntdName;
  return ntdName;
}

bool TqdNestedTableDescriptor::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseTableDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdNestedTableDescriptor*>(aItem);
  return other != nullptr && sameTextAscii(ntdName, other->ntdName);
}

// --- Data dictionary ------------------------------------------------------------------------------

const TqdClassInfo TqdDataDictionary::ClassInfo{u"TqdDataDictionary", &TqdBaseTableDescriptor::ClassInfo, nullptr};

TqdDataDictionary::TqdDataDictionary() : TqdBaseTableDescriptor(nullptr) {
  CreateTableParts();
  ddFilesDescriptor = new TqdFilesDescriptor(this);
  Clear(false);
}

TqdDataDictionary::~TqdDataDictionary() {
  ddReadOnly = false;
  FreeTableParts();
  qdFreeAndNil(ddStreamDescriptor);
  qdFreeAndNil(ddFilesDescriptor);
}

void TqdDataDictionary::SetVersion(int32_t aValue) {
  CheckReadOnly();
  if (aValue < 1 || aValue > 5) Error(qdeOutOfRange, u"Invalid dictionary version: %d", {aValue});
  ddVersion = aValue;
}

void TqdDataDictionary::SetBaseName(qdStringView aValue) {
  CheckReadOnly();
  ddBaseName = qdString(aValue);
}

TqdBaseStreamDescriptor* TqdDataDictionary::AddStreamDescriptor(const TqdStreamDescriptorClass* aStreamClass) {
  CheckReadOnly();
  qdFreeAndNil(ddStreamDescriptor);
  const TqdStreamDescriptorClass& streamClass =
      aStreamClass != nullptr ? *aStreamClass : TqdBaseStreamDescriptor::ClassInfo;
  ddStreamDescriptor = streamClass.Create(this, "Stream");
  return ddStreamDescriptor;
}

void TqdDataDictionary::RemoveStreamDescriptor() {
  CheckReadOnly();
  qdFreeAndNil(ddStreamDescriptor);
}

void TqdDataDictionary::SetUseByteOrderForWideString(bool aValue) {
  CheckReadOnly();
  ddUseByteOrderForWideString = aValue;
}

void TqdDataDictionary::SetHeaderSignature(const TqdBlockSignature& aValue) {
  CheckReadOnly();
  ddHeaderSignature = aValue;
}

void TqdDataDictionary::SetEncryptionEngine(qdStringView aValue) {
  CheckReadOnly();
  ddEncryptionEngine = qdString(aValue);
}

int32_t TqdDataDictionary::GetFileFromExt(qdStringView aFileExt) const {
  return ddFilesDescriptor != nullptr ? ddFilesDescriptor->GetFileFromExt(aFileExt) : -1;
}

void TqdDataDictionary::MakeReadOnly() {
  ddReadOnly = true;
  ActivateCache();
}

uint32_t TqdDataDictionary::UsableBlockSize(uint32_t aBlockSize) const { return aBlockSize; }

void TqdDataDictionary::CheckReadOnly() const {
  if (ddReadOnly) Error(qdeDictReadOnly, u"The data dictionary is read only");
}

void TqdDataDictionary::Clear(bool aNotify) {
  TqdDictionaryItem::Clear(aNotify);
  ResetTable(false, aNotify);
}

void TqdDataDictionary::ResetTable(bool aBare, bool aNotify) {
  // A shared dictionary is never reset: Clear refuses it like every edit.
  CheckReadOnly();
  ddCacheCurrentID = 0;
  ddMissingInformation = false;
  ddUseByteOrderForWideString = !qdDisable30900LocaleFixes;
  ddBaseName.clear();
  TqdBaseTableDescriptor::ResetTable(aBare, aNotify);
  DeactivateCache();
  ddFilesDescriptor->Clear(aNotify);
  ddVersion = 3;
  RemoveStreamDescriptor();
  ddHeaderSignature = TqdBlockSignature{{'Q', 'D', '!', '2'}};
  ddEncryptionEngine.clear();
  if (!aBare) SetDefaults();
}

void TqdDataDictionary::SetDefaults() {
  AddStreamDescriptor(nullptr);
  AddRecordDescriptor(nullptr);
  ddFilesDescriptor->AddFile(u"", qdbs4k, kDefaultFileDesc);
  AddIndicesDescriptor(nullptr)->AddIndex(TqdIndexDescriptor::kSequentialAccessIndex, 0, idNone,
                                          TqdIndexDescriptor::kSequentialAccessIndex, &TqdRefKeyDescriptor::ClassInfo);
}

bool TqdDataDictionary::FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                                    TqdDictionaryItem* aFrom) {
  if (!ClassType().InheritsFrom(aType)) {
    for (TqdDictionaryItem* part :
         {static_cast<TqdDictionaryItem*>(ddFilesDescriptor), static_cast<TqdDictionaryItem*>(ddStreamDescriptor)}) {
      if (part != nullptr && part->ClassType().InheritsFrom(aType)) {
        aDescriptor = part;
        return true;
      }
    }
  }
  return TqdBaseTableDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

bool TqdDataDictionary::ItemRequiresPack() { return TqdBaseTableDescriptor::ItemRequiresPack() || ddVersion < 2; }

void TqdDataDictionary::CheckValid(bool aForBuild) {
  if (aForBuild) {
    if (ddMissingInformation)
      Error(qdeUnsupportedDescriptor,
            u"This DataDictionary is missing information which was stripped to make it compatible with an older "
            u"client version and can't be used to restructure or create a table.");
    const auto setVersion = [this](int32_t aVersion) {
      CheckReadOnly();
      ddVersion = aVersion;
    };
    if (ddVersion == 1) {
      setVersion(2);
      FieldsDescriptor()->UpdateLogRecLenAlign();
    }
    if (ddVersion == 2) setVersion(3);
    if (!qdDisable30900LocaleFixes && ddVersion == 3) {
      setVersion(4);
      ddUseByteOrderForWideString = true;
    }
    if (HasCachingSupport(tcsNone) || HasAnyRefNrField()) {
      if (ddVersion < 5) setVersion(5);
    } else if (ddVersion == 5) {
      setVersion(4);
    }
    if (qdDisable30900LocaleFixes) {
      if (ddVersion == 4) setVersion(3);
      ddUseByteOrderForWideString = false;
    }
    if (ddHeaderSignature == TqdBlockSignature{{'Q', 'D', '!', '1'}}) {
      CheckReadOnly();
      ddHeaderSignature = TqdBlockSignature{{'Q', 'D', '!', '2'}};
    }
  }
  if (ddStreamDescriptor == nullptr) Error(qdeInvalidDesc, u"A stream descriptor is required");
  ddStreamDescriptor->CheckValid(aForBuild);
  ddFilesDescriptor->CheckValid(aForBuild);
  TqdBaseTableDescriptor::CheckValid(aForBuild);
}

bool TqdDataDictionary::IsEqual(const TqdDictionaryItem* aItem) const {
  if (!TqdBaseTableDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<const TqdDataDictionary*>(aItem);
  return other != nullptr && sameTextAscii(ddEncryptionEngine, other->ddEncryptionEngine) &&
         qdDictionaryItemsEqual(ddStreamDescriptor, other->ddStreamDescriptor) &&
         qdDictionaryItemsEqual(ddFilesDescriptor, other->ddFilesDescriptor);
}

}  // namespace qd
