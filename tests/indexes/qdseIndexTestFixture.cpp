#include "tests/indexes/qdseIndexTestFixture.h"

#include <algorithm>
#include <cstring>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdKeyEngineBase.h"

namespace qd::test {

TqdIndexTestTable::TqdIndexTestTable(std::vector<TqdTestIndexShape> aIndexes, TqdBlockSize aBlockSize,
                                     std::string aName)
    : fShapes(std::move(aIndexes)), fBlockSize(aBlockSize), fName(std::move(aName)) {}

TqdIndexTestTable::~TqdIndexTestTable() { Close(); }

void TqdIndexTestTable::BuildDictionary() {
  fDict = std::make_unique<TqdServerDataDict>();
  TqdFieldsDescriptor* fields = fDict->FieldsDescriptor();
  fields->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  for (size_t i = 0; i < fShapes.size(); ++i) {
    const int32_t bytes = std::max(1, fShapes[i].KeyLength - 1);
    fields->AddField(u"K" + IntToStr(int64_t(i)), u"", qdtByteArray, bytes, 0, false);
  }
  fDict->FilesDescriptor()->FileDescriptor(0)->SetBlockSize(fBlockSize);
  TqdBaseIndicesDescriptor* indices = fDict->IndicesDescriptor();
  // A new dictionary starts with the sequential access index; the tests
  // number their own indexes from 0.
  while (indices->IndexCount() > 0) indices->RemoveIndex(0);
  for (size_t i = 0; i < fShapes.size(); ++i) {
    const qdString name = fShapes[i].Name.empty() ? u"Index" + IntToStr(int64_t(i)) : fShapes[i].Name;
    TqdIndexDescriptor* index = indices->AddIndex(name, 0, fShapes[i].Dups, u"");
    static_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor())->Add(int32_t(i) + 1);
    if (!fShapes[i].Engine.empty()) index->SetIndexEngine(fShapes[i].Engine);
    TqdBaseIndexEngine::CheckValidBaseFromDescriptor(index);
  }
  fBlockSize = fDict->FilesDescriptor()->FileDescriptor(0)->BlockSize();
}

void TqdIndexTestTable::OpenEngines(TqdBaseTransaction* aTrans) {
  TqdBaseFile* file = fTable->Access()._File();
  fCountingAccess = std::make_unique<TqdCountingBlockAccess>(file, nullptr, file->fiName, 0);
  fFiles = {fCountingAccess.get()};
  fRecords = std::make_unique<TqdTestRecordEngine>(fDict->RecordDescriptor(), fFiles, aTrans);
  fIndices.reset(TqdBaseIndicesEngine::CreateEngine(fDict.get(), fFiles, fRecords.get(), aTrans, false));
}

void TqdIndexTestTable::Create() {
  Close();
  BuildDictionary();
  TqdTestTableOptions options;
  options.toBlockSize = fBlockSize;
  fTable = TqdTestTable::Create(&fCache, fName, options);
  TqdTestTransaction trans(&fCache);
  OpenEngines(&trans);
  trans.Commit();
}

void TqdIndexTestTable::Reopen() {
  fIndices.reset();
  fRecords.reset();
  fCountingAccess.reset();
  fTable.reset();
  fTable = TqdTestTable::Open(&fCache, fName);
  OpenEngines(nullptr);
}

void TqdIndexTestTable::Close() {
  fIndices.reset();
  fRecords.reset();
  fCountingAccess.reset();
  fTable.reset();
}

TqdStaticKeyBstarTreeIndexEngine& TqdIndexTestTable::Tree(int32_t aIndex) {
  return dynamic_cast<TqdStaticKeyBstarTreeIndexEngine&>(*fIndices->biseGetIndex(aIndex));
}

TqdBaseIndexEngine& TqdIndexTestTable::Index(int32_t aIndex) { return *fIndices->biseGetIndex(aIndex); }

TqdBaseKeyEngine& TqdIndexTestTable::KeyEngine(int32_t aIndex) { return *fIndices->biseGetIndex(aIndex)->KeyEngine(); }

std::vector<uint8_t> TqdIndexTestTable::Record(int32_t aId, const std::vector<TqdKeyValue>& aValues) {
  TqdFieldsDescriptor* fields = fDict->FieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()) + 8, 0);
  fields->InitRecord(record.data());
  fields->SetRecordField(0, record.data(), &aId);
  for (size_t i = 0; i < fShapes.size(); ++i) {
    const int32_t field = int32_t(i) + 1;
    const TqdKeyValue value = i < aValues.size() ? aValues[i] : std::nullopt;
    if (!value) {
      fields->SetRecordFieldNull(field, record.data(), true);
      continue;
    }
    const size_t bytes = size_t(fields->FieldDescriptor(field)->Length());
    std::vector<uint8_t> data(bytes, 0);
    for (size_t b = 0; b < std::min<size_t>(bytes, 8); ++b) data[bytes - 1 - b] = uint8_t(*value >> (8 * b));
    fields->SetRecordField(field, record.data(), data.data());
  }
  return record;
}

std::vector<uint8_t> TqdIndexTestTable::Key(int32_t aIndex, TqdKeyValue aValue) {
  std::vector<TqdKeyValue> values(fShapes.size());
  values[size_t(aIndex)] = aValue;
  const std::vector<uint8_t> record = Record(0, values);
  TqdBaseKeyEngine& keys = KeyEngine(aIndex);
  std::vector<uint8_t> key(size_t(keys.KeyLength()) + 8, 0);
  const TqdResult result = keys.BuildKey(record.data(), key.data(), 0, true);
  if (result != 0) throw EqdBaseException(result);
  return key;
}

TqdKeyValue TqdIndexTestTable::ValueOf(int32_t aIndex, const uint8_t* aKey) {
  TqdBaseKeyEngine& keys = KeyEngine(aIndex);
  const TqdVariant value = keys.KeyAsVariant(aKey, 0);
  if (value.IsNull()) return std::nullopt;
  // The field's bytes follow the key's null flag byte.
  const size_t bytes = size_t(keys.KeyLength()) - 1;
  const uint8_t* data = aKey + 1;
  uint64_t result = 0;
  for (size_t b = 0; b < std::min<size_t>(bytes, 8); ++b) result |= uint64_t(data[bytes - 1 - b]) << (8 * b);
  return result;
}

TqdResult TqdIndexTestTable::AddRecord(TqdBaseTransaction* aTrans, int32_t aId, const std::vector<TqdKeyValue>& aValues,
                                       TqdRefNr& aRefNr) {
  std::vector<uint8_t> record = Record(aId, aValues);
  fRecords->AddRecord(aTrans, aRefNr, record.data());
  return fIndices->InsertKeys(aTrans, aRefNr, record.data(), nullptr);
}

// --- Record engine --------------------------------------------------------------------------------

TqdRecordIteratorResult TqdTestRecordEngine::ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr,
                                                                  PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
                                                                  void* aCookie, TqdBaseFilterEngine* aFilter) {
  ++fReads;
  if (fRefused != 0 && aRefNr == fRefused) return rirStop;
  return TqdStaticRecordEngine::ReadRecordForIterate(aTrans, aRefNr, aData, aIterator, aCookie, aFilter);
}

// --- Read counter ---------------------------------------------------------------------------------

TqdBlockRef TqdCountingBlockAccess::GetValidBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                                                  bool aMarkDirty) {
  TqdBlockRef block = TqdBlockAccess::GetValidBlock(aTrans, aBlockNumber, aMarkDirty);
  if (fCounter != nullptr && block && qdIsIndexBlock(block.Data())) fCounter->fBlocks.push_back(aBlockNumber);
  return block;
}

TqdIndexReadCounter::TqdIndexReadCounter(TqdIndexTestTable& aTable) : fAccess(aTable.CountingAccess()) {
  fAccess.fCounter = this;
}

TqdIndexReadCounter::~TqdIndexReadCounter() { fAccess.fCounter = nullptr; }

}  // namespace qd::test
