// The dictionary stream: GUIDs, the writer with its downgrades for older
// clients, the reader of the current and the legacy layout, and the copies
// made through the stream.
#include "dictionary/qdsdDataDictionary.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "dictionary/qdsdDataDictionary_Private.h"
#include "foundation/qdllRandom.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"

namespace qd {

using namespace qdsdDataDictionary_Private;

namespace {

constexpr char16_t kStreamIdent[] = u"QendoDB";
constexpr char16_t kHigherVersionRequired[] = u"Higher dictionary version required";

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// aCount hex digits from aFrom; false when one is not a digit.
bool parseHex(qdStringView aText, size_t aFrom, size_t aCount, uint64_t& aValue) {
  aValue = 0;
  for (size_t i = aFrom; i < aFrom + aCount; ++i) {
    const int digit = hexDigit(aText[i]);
    if (digit < 0) return false;
    aValue = aValue << 4 | static_cast<uint64_t>(digit);
  }
  return true;
}

bool isZeroGuid(const TGUID& aGuid) { return aGuid == TGUID{}; }

void expectIdent(TqdReader& aReader, const TqdDictionaryItem& aItem, qdStringView aName) {
  if (aReader.NextValue() != vaIdent || aReader.ReadIdent() != aName) aItem.Error(qdeIncompatibleStream);
}

// Internal indexes in this table or a nested one: a write for a client
// below 47005 leaves them out.
bool hasInternalIndexes(const TqdBaseTableDescriptor& aTable) {
  const TqdInternalIndicesDescriptor* internal = aTable.InternalIndicesDescriptor();
  if (internal != nullptr && internal->IndexCount() > 0) return true;
  const TqdTablesDescriptor* tables = aTable.TablesDescriptor();
  for (int32_t i = 0; i < tables->TableCount(); ++i) {
    if (hasInternalIndexes(*tables->TableDescriptor(i))) return true;
  }
  return false;
}

template <class TPart>
void writeOptionalPart(TqdWriter& aWriter, const char16_t* aIdent, const TPart* aPart, int32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  aWriter.WriteBoolean(aPart != nullptr);
  if (aPart == nullptr) return;
  writeClassName(aWriter, *aPart);
  aPart->SaveToWriter(aWriter, aClientVersion);
}

}  // namespace

// --- GUIDs --------------------------------------------------------------------------------------

TGUID qdNewGuid() {
  uint8_t bytes[16];
  qdGetRandomBytes(bytes, sizeof bytes);
  TGUID guid;
  guid.D1 = qdGetU32(bytes);
  guid.D2 = qdGetU16(bytes + 4);
  // Version 4 (random) and the variant of RFC 4122.
  guid.D3 = static_cast<uint16_t>((qdGetU16(bytes + 6) & 0x0FFF) | 0x4000);
  std::copy(bytes + 8, bytes + 16, guid.D4.begin());
  guid.D4[0] = static_cast<uint8_t>((guid.D4[0] & 0x3F) | 0x80);
  return guid;
}

qdString qdGuidToString(const TGUID& aGuid) {
  uint8_t bytes[16];
  qdPutU32(bytes, aGuid.D1);
  qdPutU16(bytes + 4, aGuid.D2);
  qdPutU16(bytes + 6, aGuid.D3);
  std::copy(aGuid.D4.begin(), aGuid.D4.end(), bytes + 8);
  return qdGuidToStr(bytes);
}

bool qdTryStringToGuid(qdStringView aText, TGUID& aGuid) {
  if (aText.size() != 38 || aText[0] != u'{' || aText[37] != u'}' || aText[9] != u'-' || aText[14] != u'-' ||
      aText[19] != u'-' || aText[24] != u'-')
    return false;
  uint64_t d1 = 0;
  uint64_t d2 = 0;
  uint64_t d3 = 0;
  if (!parseHex(aText, 1, 8, d1) || !parseHex(aText, 10, 4, d2) || !parseHex(aText, 15, 4, d3)) return false;
  TGUID guid;
  guid.D1 = static_cast<uint32_t>(d1);
  guid.D2 = static_cast<uint16_t>(d2);
  guid.D3 = static_cast<uint16_t>(d3);
  for (size_t i = 0; i < 8; ++i) {
    uint64_t byte = 0;
    const size_t from = i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2);
    if (!parseHex(aText, from, 2, byte)) return false;
    guid.D4[i] = static_cast<uint8_t>(byte);
  }
  aGuid = guid;
  return true;
}

// --- Writer -------------------------------------------------------------------------------------

bool TqdDataDictionary::WriteLosesInformation(int32_t aClientVersion) const {
  return aClientVersion < qdClientVersionRefNr && (HasAnyRefNrField() || hasInternalIndexes(*this));
}

void TqdDataDictionary::CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const {
  // The dictionary's own values first, then the table's caching state, as
  // a writer that stored them in the custom strings would order them.
  TqdLocalizedDictionaryItem::CustomStringsForStream(aLines, aClientVersion);
  setStreamLine(aLines, u"$GUID", qdGuidToString(ddGuid));
  setStreamLine(aLines, u"$CacheGUID", isZeroGuid(ddCacheGuid) ? qdString() : qdGuidToString(ddCacheGuid));
  setStreamLine(aLines, u"$CacheCurrentID", ddCacheCurrentID == 0 ? qdString() : IntToStr(ddCacheCurrentID));
  const bool missing = ddMissingInformation || WriteLosesInformation(aClientVersion);
  setStreamLine(aLines, u"$MissingInformation", missing ? u"True" : u"");
  setStreamLine(aLines, u"$CachingState", cachingStateNames[CachingState()]);
}

void TqdDataDictionary::WriteToStream(TStream& aStream, int32_t aClientVersion) const {
  TqdWriter writer(&aStream);
  WriteToWriter(writer, aClientVersion);
}

void TqdDataDictionary::WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const {
  qdDictionaryInfoLost = false;
  int32_t version = ddVersion;
  if (aClientVersion < qdClientVersionItemIDs) {
    version = std::min(version, 2);
  } else if (aClientVersion < qdClientVersionLocaleFixes) {
    version = std::min(version, 3);
  } else if (aClientVersion < qdClientVersionRefNr) {
    version = std::min(version, 4);
  }
  aWriter.WriteIdent(kStreamIdent);
  aWriter.WriteInteger(version);
  aWriter.Write(ddHeaderSignature.bsChars, 4);
  aWriter.WriteString(ddEncryptionEngine);
  if (version >= 3) {
    if (version >= 4) aWriter.WriteBoolean(ddUseByteOrderForWideString);
    writeOptionalPart(aWriter, u"StreamDescriptor", ddStreamDescriptor, aClientVersion);
    writeOptionalPart(aWriter, u"FilesDescriptor", ddFilesDescriptor, aClientVersion);
    TqdBaseTableDescriptor::SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteIdent(u"CurrentID");
    aWriter.WriteInteger(ddCurrentID);
  } else {
    WriteLegacy(aWriter, version, aClientVersion);
  }
  aWriter.WriteIdent(kStreamIdent);
}

void TqdDataDictionary::WriteLegacy(TqdWriter& aWriter, int32_t aVersion, int32_t aClientVersion) const {
  const TqdMainIndicesDescriptor* indices = IndicesDescriptor();
  const TqdFieldsDescriptor* fields = FieldsDescriptor();
  // What this layout cannot hold is refused before anything is written.
  if (LocaleDescriptor() != nullptr) Error(qdeIncompatibleStream, kHigherVersionRequired);
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    const TqdFieldType type = fields->FieldDescriptor(i)->FieldType();
    if (type == qdtGuid || type == qdtBCD || type == qdtFmtBCD) Error(qdeIncompatibleStream, kHigherVersionRequired);
  }
  // Nested tables have no place in it; dropping them would lose them
  // without a trace.
  if (TablesDescriptor()->TableCount() > 0) Error(qdeIncompatibleServer);
  if (WriteLosesInformation(aClientVersion)) qdDictionaryInfoLost = true;

  aWriter.WriteString(ddStreamDescriptor != nullptr ? ddStreamDescriptor->StreamEngine()
                                                    : qdString(kDefaultEngineName));
  aWriter.WriteString(AutoIncDescriptor() != nullptr ? AutoIncDescriptor()->AutoIncEngine()
                                                     : qdString(kDefaultEngineName));
  aWriter.WriteString(indices != nullptr ? indices->IndicesEngine() : qdString(kDefaultEngineName));
  writeOptionalPart(aWriter, u"RecordDescriptor", RecordDescriptor(), aClientVersion);
  writeOptionalPart(aWriter, u"BlobDescriptor", BlobDescriptor(), aClientVersion);

  aWriter.WriteIdent(u"FileDescriptor");
  aWriter.WriteInteger(ddFilesDescriptor->FileCount());
  const int32_t blobFile = BlobDescriptor() != nullptr ? BlobDescriptor()->FileNumber() : 0;
  for (int32_t i = 0; i < ddFilesDescriptor->FileCount(); ++i) {
    const TqdFileDescriptor* file = ddFilesDescriptor->FileDescriptor(i);
    writeClassName(aWriter, *file);
    aWriter.WriteString(file->Extension());
    aWriter.WriteInteger(i == 0 ? 0 : (i == blobFile ? 2 : 1));
    file->SaveToWriter(aWriter, aClientVersion);
  }

  aWriter.WriteIdent(u"FieldDescriptor");
  aWriter.WriteInteger(fields->FieldCount());
  for (int32_t i = 0; i < fields->FieldCount(); ++i) {
    const TqdFieldDescriptor* field = fields->FieldDescriptor(i);
    field->SaveHeadToWriter(aWriter, aClientVersion);
    field->SaveToWriter(aWriter, aClientVersion);
  }

  aWriter.WriteIdent(u"IndexDescriptor");
  if (indices != nullptr) {
    aWriter.WriteInteger(indices->IndexCount());
    for (int32_t i = 0; i < indices->IndexCount(); ++i) {
      const TqdIndexDescriptor* index = indices->IndexDescriptor(i);
      writeClassName(aWriter, *index);
      writeClassName(aWriter, *index->KeyDescriptor());
      aWriter.WriteString(index->Name());
      aWriter.WriteInteger(index->FileNumber());
      index->SaveToWriter(aWriter, aClientVersion);
    }
    aWriter.WriteInteger(indices->DefaultIndex());
  } else {
    aWriter.WriteInteger(0);
    aWriter.WriteInteger(-1);
  }

  aWriter.WriteInteger(fields->fsdLogRecLen);
  if (aVersion == 2) aWriter.WriteInteger(fields->fsdLogRecLenAlign);

  const TqdCustomDescsDescriptor* customs = CustomDescsDescriptor();
  aWriter.WriteIdent(u"CustomDescriptor");
  aWriter.WriteInteger(customs->CustomCount());
  for (int32_t i = 0; i < customs->CustomCount(); ++i) {
    const TqdBaseCustomDescriptor* custom = customs->CustomDescriptor(i);
    writeClassName(aWriter, *custom);
    aWriter.WriteString(custom->Name());
    custom->SaveToWriter(aWriter, aClientVersion);
  }
}

// --- Reader -------------------------------------------------------------------------------------

void TqdDataDictionary::ReadFromStream(TStream& aStream, qdStringView aBaseName) {
  CheckReadOnly();
  const qdString baseName(aBaseName);
  TqdDictionaryItem::Clear(false);
  ResetTable(true, false);
  try {
    TqdReader reader(&aStream);
    ReadFromReader(reader);
  } catch (const EReadError&) {
    // A cut or damaged stream: what was read is dropped like any other
    // refused stream.
    Clear(false);
    Error(qdeIncompatibleStream);
  } catch (...) {
    Clear(false);
    throw;
  }
  ddBaseName = baseName;
}

void TqdDataDictionary::ReadFromReader(TqdReader& aReader) {
  CheckReadOnly();
  expectIdent(aReader, *this, kStreamIdent);
  const int32_t version = ReadVersion(aReader, 1, 5);
  ddVersion = version;
  aReader.Read(ddHeaderSignature.bsChars, 4);
  ddEncryptionEngine = aReader.ReadString();
  RemoveStreamDescriptor();
  ddUseByteOrderForWideString = false;
  if (version >= 3) {
    if (version >= 4) ddUseByteOrderForWideString = aReader.ReadBoolean();
    expectIdent(aReader, *this, u"StreamDescriptor");
    if (aReader.ReadBoolean()) {
      const auto& streamClass =
          readDescriptorClass(aReader, TqdBaseStreamDescriptor::ClassInfo, *this, u"StreamDescriptor");
      AddStreamDescriptor(&streamClass)->LoadFromReader(aReader);
    }
    expectIdent(aReader, *this, u"FilesDescriptor");
    if (!aReader.ReadBoolean()) Error(qdeIncompatibleStream);
    const auto& filesClass = readDescriptorClass(aReader, TqdFilesDescriptor::ClassInfo, *this, u"FilesDescriptor");
    if (&filesClass != &ddFilesDescriptor->ClassType()) Error(qdeIncompatibleStream);
    ddFilesDescriptor->LoadFromReader(aReader);
    TqdBaseTableDescriptor::LoadFromReader(aReader);
    expectIdent(aReader, *this, u"CurrentID");
    ddCurrentID = aReader.ReadInteger();
  } else {
    ReadLegacy(aReader, version);
  }
  expectIdent(aReader, *this, kStreamIdent);
  LoadCustomValues();
}

void TqdDataDictionary::ReadLegacy(TqdReader& aReader, int32_t aVersion) {
  const qdString streamEngine = aReader.ReadString();
  const qdString autoIncEngine = aReader.ReadString();
  const qdString indicesEngine = aReader.ReadString();
  // The layout has no table locale, no internal indexes and no nested
  // tables.
  TqdBaseTableDescriptor::ResetTable(true, false);
  AddStreamDescriptor(nullptr)->SetStreamEngine(streamEngine);
  AddAutoIncDescriptor(nullptr)->SetAutoIncEngine(autoIncEngine);
  TqdMainIndicesDescriptor* indices = AddIndicesDescriptor(nullptr);
  indices->SetIndicesEngine(indicesEngine);

  expectIdent(aReader, *this, u"RecordDescriptor");
  if (aReader.ReadBoolean()) {
    const auto& recordClass =
        readDescriptorClass(aReader, TqdBaseRecordDescriptor::ClassInfo, *this, u"RecordDescriptor");
    AddRecordDescriptor(&recordClass)->LoadFromReader(aReader);
  } else {
    AddRecordDescriptor(nullptr);
  }
  expectIdent(aReader, *this, u"BlobDescriptor");
  if (aReader.ReadBoolean()) {
    const auto& blobClass = readDescriptorClass(aReader, TqdBaseBlobDescriptor::ClassInfo, *this, u"BlobDescriptor");
    AddBlobDescriptor(&blobClass)->LoadFromReader(aReader);
  } else {
    AddBlobDescriptor(nullptr);
  }

  expectIdent(aReader, *this, u"FileDescriptor");
  ddFilesDescriptor->Clear(false);
  const int32_t fileCount = aReader.ReadInteger();
  if (fileCount < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < fileCount; ++i) {
    const auto& fileClass = readDescriptorClass(aReader, TqdFileDescriptor::ClassInfo, *this, u"FileDescriptor");
    qdString extension = aReader.ReadString();
    const int32_t kind = aReader.ReadInteger();
    if (kind < 0 || kind > 2 || (kind == 0) != (i == 0)) Error(qdeIncompatibleStream);
    if (i == 0) extension.clear();
    TqdFileDescriptor* file = fileClass.Create(ddFilesDescriptor, extension);
    ddFilesDescriptor->fidFiles.push_back(file);
    file->fdNumber = i;
    if (kind == 2) {
      TqdBaseBlobDescriptor* blob = BlobDescriptor();
      if (blob->FileNumber() != 0 && blob->FileNumber() != i)
        Error(qdeInvalidDesc, u"A BLOB file has already been defined");
      blob->SetFileNumber(i);
    }
    file->LoadFromReader(aReader);
  }

  expectIdent(aReader, *this, u"FieldDescriptor");
  TqdFieldsDescriptor* fields = FieldsDescriptor();
  const int32_t fieldCount = aReader.ReadInteger();
  if (fieldCount < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < fieldCount; ++i) {
    const auto& fieldClass = readDescriptorClass(aReader, TqdFieldDescriptor::ClassInfo, *this, u"FieldDescriptor");
    const qdString name = aReader.ReadString();
    const qdString desc = aReader.ReadString();
    TqdFieldType type;
    if (!qdFieldTypeFromIdent(aReader.ReadString(), type)) Error(qdeIncompatibleStream);
    const int32_t units = aReader.ReadInteger();
    const int32_t decPl = aReader.ReadInteger();
    const bool required = aReader.ReadBoolean();
    fields->AddField(name, desc, type, units, decPl, required, &fieldClass)->LoadFromReader(aReader);
  }

  expectIdent(aReader, *this, u"IndexDescriptor");
  const int32_t indexCount = aReader.ReadInteger();
  if (indexCount < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < indexCount; ++i) {
    const auto& indexClass = readDescriptorClass(aReader, TqdIndexDescriptor::ClassInfo, *this, u"IndexDescriptor");
    const auto& keyClass = readDescriptorClass(aReader, TqdBaseKeyDescriptor::ClassInfo, *this, u"KeyDescriptor");
    const qdString name = aReader.ReadString();
    const int32_t fileNumber = aReader.ReadInteger();
    indices->AddIndex(name, fileNumber, idNone, u"", &keyClass, &indexClass)->LoadFromReader(aReader);
  }
  const int32_t defaultIndex = aReader.ReadInteger();
  if (indexCount == 0) {
    RemoveIndicesDescriptor();
  } else {
    if (defaultIndex >= indexCount) Error(qdeIncompatibleStream);
    indices->SetDefaultIndex(defaultIndex);
  }

  const int32_t logRecLen = aReader.ReadInteger();
  const int32_t logRecLenAlign = aVersion == 2 ? aReader.ReadInteger() : logRecLen;
  fields->SetStoredLengths(logRecLen, logRecLenAlign);

  expectIdent(aReader, *this, u"CustomDescriptor");
  TqdCustomDescsDescriptor* customs = CustomDescsDescriptor();
  const int32_t customCount = aReader.ReadInteger();
  if (customCount < 0) Error(qdeIncompatibleStream);
  for (int32_t i = 0; i < customCount; ++i) {
    const auto& customClass =
        readDescriptorClass(aReader, TqdBaseCustomDescriptor::ClassInfo, *this, u"CustomDescriptor");
    const qdString name = aReader.ReadString();
    customs->AddCustom(name, &customClass)->LoadFromReader(aReader);
  }
}

void TqdDataDictionary::LoadCustomValues() {
  const qdString guid = CustomStringValue(u"$GUID");
  if (!guid.empty() && !qdTryStringToGuid(guid, ddGuid)) Error(qdeIncompatibleStream);
  const qdString cacheGuid = CustomStringValue(u"$CacheGUID");
  ddCacheGuid = TGUID{};
  if (!cacheGuid.empty() && !qdTryStringToGuid(cacheGuid, ddCacheGuid)) Error(qdeIncompatibleStream);
  int32_t cacheCurrentID = 0;
  ddCacheCurrentID = TryStrToInt(CustomStringValue(u"$CacheCurrentID"), cacheCurrentID) ? cacheCurrentID : 0;
  ddMissingInformation = !CustomStringValue(u"$MissingInformation").empty();
}

// --- Copies -------------------------------------------------------------------------------------

void TqdDataDictionary::Assign(const TqdDictionaryItem* aSource) {
  CheckReadOnly();
  const auto* source = dynamic_cast<const TqdDataDictionary*>(aSource);
  if (source == nullptr) {
    TqdBaseTableDescriptor::Assign(aSource);
    return;
  }
  TqdMemoryStream stream(-1);
  source->WriteToStream(stream, qdEngineClientVersion);
  const qdString baseName = source->ddBaseName;
  stream.SetPosition(0);
  ReadFromStream(stream, baseName);
}

TqdDataDictionary* TqdDataDictionary::Duplicate() const {
  std::unique_ptr<TqdDataDictionary> copy(new TqdDataDictionary());
  copy->Assign(this);
  return copy.release();
}

}  // namespace qd
