// Writes the seed corpus of every fuzz target into tests/fuzz/cases/<target>
// (or the folder given as the only argument): dictionaries, filter
// descriptors, filer streams, journals and literals made by the engine's own
// writers, and for the targets that patch a fixture table, patch lists
// aimed at the structures of that fixture. Files named "seed-*" are
// replaced; every other file of a folder (an input a fuzzer found) is kept.
// Each seed is run through its target's harness before it is written, so a
// seed that a harness cannot take stops the generator.
//
// Usage: build/<preset>/tests/qd_fuzz_seeds [folder]
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdFilterEngineHub.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "dictionary/qdsdFmtBcd.h"
#include "engine/qdEngine.h"
#include "foundation/qdllStreams.h"
#include "platform/qdLittleEndian.h"
#include "server/qdsdRecordMapperDescriptor.h"
#include "server/qdsdTableMapperDescriptor.h"
#include "server/qdsrServerEngine.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "tests/dictionary/qdsdCanExprBuilder.h"
#include "tests/dictionary/qdsdDictionaryStreamFuzzHarness.h"
#include "tests/dictionary/qdsdFilterDescriptorFuzzHarness.h"
#include "tests/dictionary/qdsdLiteralFuzzHarness.h"
#include "tests/foundation/qdllFilerReaderFuzzHarness.h"
#include "tests/indexes/qdseBstarTreeFuzzHarness.h"
#include "tests/server/qdsdMapperStreamFuzzHarness.h"
#include "tests/server/qdsrSettingsStreamFuzzHarness.h"
#include "tests/storage/qdseHeaderFuzzHarness.h"
#include "tests/storage/qdseJournalFuzzHarness.h"
#include "tests/storage/qdseStaticRecordFuzzHarness.h"
#include "tests/storage/qdseStreamFuzzHarness.h"
#include "tests/storage/qdsrTestServer.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Harness = std::function<void(const uint8_t*, size_t)>;

constexpr uint32_t kBlockBytes = 4096;

// --- Output ----------------------------------------------------------------------------------------

class TqdSeedFolder {
 public:
  TqdSeedFolder(const std::filesystem::path& aRoot, const std::string& aTarget, Harness aHarness)
      : fFolder(aRoot / aTarget), fHarness(std::move(aHarness)) {
    std::filesystem::create_directories(fFolder);
    for (const auto& entry : std::filesystem::directory_iterator(fFolder))
      if (entry.path().filename().string().rfind("seed-", 0) == 0) std::filesystem::remove(entry.path());
  }
  ~TqdSeedFolder() { std::printf("%-18s %3d seeds, %7zu bytes\n", fFolder.filename().c_str(), fCount, fBytes); }

  void Add(const std::string& aName, const Bytes& aInput) {
    if (!fNames.insert(aName).second) throw std::logic_error("seed " + aName + " written twice");
    fHarness(aInput.data(), aInput.size());
    std::ofstream out(fFolder / ("seed-" + aName), std::ios::binary);
    out.write(reinterpret_cast<const char*>(aInput.data()), std::streamsize(aInput.size()));
    if (!out) throw std::runtime_error("cannot write seed " + aName);
    ++fCount;
    fBytes += aInput.size();
  }

 private:
  std::filesystem::path fFolder;
  Harness fHarness;
  std::set<std::string> fNames;
  int fCount = 0;
  size_t fBytes = 0;
};

Bytes streamBytes(TqdCustomMemoryStream& aStream) {
  return Bytes(aStream.ByteArray(), aStream.ByteArray() + aStream.Size());
}

// Four bytes per patch: a 24-bit offset and the value.
void patch(Bytes& aInput, uint32_t aOffset, uint8_t aValue) {
  aInput.push_back(uint8_t(aOffset));
  aInput.push_back(uint8_t(aOffset >> 8));
  aInput.push_back(uint8_t(aOffset >> 16));
  aInput.push_back(aValue);
}
void patchU32(Bytes& aInput, uint32_t aOffset, uint32_t aValue) {
  for (uint32_t i = 0; i < 4; ++i) patch(aInput, aOffset + i, uint8_t(aValue >> (8 * i)));
}
void patchU16(Bytes& aInput, uint32_t aOffset, uint16_t aValue) {
  patch(aInput, aOffset, uint8_t(aValue));
  patch(aInput, aOffset + 1, uint8_t(aValue >> 8));
}

// --- Table headers ---------------------------------------------------------------------------------

void headerSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "header", [](const uint8_t* aData, size_t aSize) { FuzzHeaderInput(aData, aSize); });
  const TqdFixtureLayout& layout = HeaderFixture();
  out.Add("qd2-valid", {});
  // The same file as a legacy "QD!1" header: its usable size, no free list.
  Bytes legacy;
  for (uint32_t i = 0; i < 4; ++i) patch(legacy, i, uint8_t("QD!1"[i]));
  patchU32(legacy, 20, kBlockBytes);
  patchU32(legacy, 24, 0xFFFFFFFF);
  patchU32(legacy, 28, 0);
  out.Add("qd1-valid", legacy);
  Bytes legacyFreeList = legacy;
  patchU32(legacyFreeList, 24, 2);
  patchU32(legacyFreeList, 28, 1);
  for (uint32_t i = 0; i < 4; ++i) patch(legacyFreeList, 2 * kBlockBytes + i, uint8_t("DEAD"[i]));
  patchU32(legacyFreeList, 2 * kBlockBytes + 16, 0xFFFFFFFF);
  out.Add("qd1-free-list", legacyFreeList);
  out.Add("cut-block0", {1});
  out.Add("cut-after-3k", {7});
  const struct {
    const char* name;
    uint32_t offset;
    uint32_t value;
  } fields[] = {
      {"block-size-code", 16, 3},
      {"usable-size", 20, 1000},
      {"map-head", 24, layout.flUsed + 5},
      {"free-count", 28, 1000},
      {"used-blocks", 32, 2},
      {"used-blocks-huge", 32, 0x7FFFFFFF},
      {"free-cache", 104, layout.flUsed},
      {"section-top", 256, 300},
      {"map-next", layout.flMapBlock * kBlockBytes + 16, layout.flMapBlock},
      {"map-capacity", layout.flMapBlock * kBlockBytes + 20, 0xFFFF},
      {"map-count", layout.flMapBlock * kBlockBytes + 24, 5000},
      {"subheader-overflow", uint32_t(layout.flSubHeaders) + 248, layout.flUsed + 3},
      {"subheader-count", uint32_t(layout.flSubHeaders) + 252, 200},
      {"overflow-next", layout.flFirstOverflow * kBlockBytes + 16, layout.flFirstOverflow},
      {"overflow-count", layout.flFirstOverflow * kBlockBytes + 22, 0xFFFF},
      {"child-header-owner", layout.flFirstChild * kBlockBytes + kBlockBytes - 4, 7},
      {"record-section", uint32_t(layout.flRecord), 0xFFFFFFFF},
  };
  for (const auto& field : fields) {
    Bytes input;
    patchU32(input, field.offset, field.value);
    out.Add(field.name, input);
  }
  Bytes sectionName;
  patch(sectionName, 258, 0xFF);
  out.Add("section-name-length", sectionName);
}

// --- Streams ---------------------------------------------------------------------------------------

void streamSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "stream", [](const uint8_t* aData, size_t aSize) { FuzzStreamInput(aData, aSize); });
  out.Add("valid", {});
  // Offsets count from block 1. Each block's next, tag, length and first
  // block fields, set to a value that points elsewhere.
  const uint32_t blocks = uint32_t(StreamFixture().size() / kBlockBytes) - 1;
  for (uint32_t block = 0; block < blocks; ++block) {
    const uint32_t at = block * kBlockBytes;
    Bytes next;
    patchU32(next, at + 16, block + 1);
    out.Add("block" + std::to_string(block + 1) + "-next", next);
    Bytes length;
    patchU32(length, at + 24, 0x00FFFFFF);
    out.Add("block" + std::to_string(block + 1) + "-length", length);
  }
  for (uint32_t offset = 0; offset < 8; offset += 4) {
    Bytes section;
    patchU32(section, 0x800000 + offset, 1);
    out.Add("section" + std::to_string(offset), section);
  }
}

// --- Filer streams ---------------------------------------------------------------------------------

Bytes dictionaryStream(const TqdDataDictionary& aDictionary, int32_t aClientVersion = qdEngineClientVersion) {
  TqdMemoryStream stream(-1);
  aDictionary.WriteToStream(stream, aClientVersion);
  return streamBytes(stream);
}

// A table with every field type a table may hold, indexes of several kinds
// (one filtered), defaults, validations, the optional parts and a nested
// table with an index of its own.
void fillRichDictionary(TqdDataDictionary& aDictionary) {
  aDictionary.SetBaseName(u"Orders");
  aDictionary.FilesDescriptor()->AddFile(u"IX", qdbs8k, u"Indexes");
  aDictionary.FilesDescriptor()->AddFile(u"BL", qdbs16k, u"Blobs");
  aDictionary.AddLocaleDescriptor()->SetLocale(1041);
  TqdFieldsDescriptor* fields = aDictionary.FieldsDescriptor();
  std::map<TqdFieldType, TqdFieldDescriptor*> byType;
  for (int type = 0; type < qdFieldTypeCount; ++type) {
    const auto fieldType = static_cast<TqdFieldType>(type);
    if (fieldType == qdtInterval) continue;  // no table holds it
    const qdString name = qdString(u"F") + qdFieldTypeIdent(fieldType);
    const bool sized = fieldType == qdtByteArray || fieldType == qdtShortString || fieldType == qdtNullString ||
                       fieldType == qdtWideString || fieldType == qdtBCD || fieldType == qdtFmtBCD;
    byType[fieldType] =
        fields->AddField(name, u"desc of " + name, fieldType, sized ? 12 : 0, sized ? 2 : 0, type % 3 == 0);
  }
  fields->FieldDescriptor(3)->AddLocaleDescriptor()->SetLocale(1033);
  auto* constant = static_cast<TqdConstDefaultValueDescriptor*>(byType[qdtInt32]->AddDefaultValue(nullptr));
  constant->SetAsVariant(TqdVariant(int32_t{42}));
  byType[qdtDateTime]->AddDefaultValue(&TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo);
  byType[qdtGuid]->AddDefaultValue(&TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  auto* range = static_cast<TqdMinMaxValidationDescriptor*>(
      byType[qdtInt16]->AddValidations(nullptr)->AddValidation(u"Range", &TqdMinMaxValidationDescriptor::ClassInfo));
  range->SetMinAsVariant(TqdVariant(int32_t{1}));
  range->SetMaxAsVariant(TqdVariant(int32_t{99}));
  auto* check = static_cast<TqdSqlCheckValidationDescriptor*>(
      fields->AddValidations(nullptr)->AddValidation(u"Positive", &TqdSqlCheckValidationDescriptor::ClassInfo));
  check->SetConstraint(u"FqdtInt32 > 0");
  check->SetErrorMessage(u"must be positive");
  aDictionary.AddBlobDescriptor()->SetFileNumber(2);
  aDictionary.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter");
  TqdMainIndicesDescriptor* indices = aDictionary.IndicesDescriptor();
  auto* byName = static_cast<TqdCompKeyDescriptor*>(
      indices->AddIndex(u"ByName", 1, idNone, u"names", &TqdCompKeyDescriptor::ClassInfo)->KeyDescriptor());
  byName->Add(u"FqdtNullString", &TqdTextKeyFieldDescriptor::ClassInfo);
  byName->Add(u"FqdtInt32")->SetAscend(false);
  auto* byDate = static_cast<TqdCompKeyDescriptor*>(
      indices->AddIndex(u"ByDate", 0, idAll, u"", &TqdCompKeyDescriptor::ClassInfo)->KeyDescriptor());
  byDate->Add(u"FqdtDate");
  CanExprBuilder filter;
  const Bytes expression = filter.Build(filter.Compare(coGT, false, 0, filter.Field(9), filter.Int32(0)));
  byDate->SetFilter(new TqdSimpleExpressionFilterDescriptor(expression.data(), u"FqdtInt32 > 0", -1));
  indices->AddIndex(u"ByNull", 1, idNull, u"", &TqdCompKeyDescriptor::ClassInfo);
  static_cast<TqdCompKeyDescriptor*>(indices->IndexDescriptor(3)->KeyDescriptor())->Add(u"FqdtWord32");
  indices->SetDefaultIndex(1);
  (void)aDictionary.EnsureInternalIndicesDescriptor()->AddIndex(u"$Graveyard", 0, idNone, u"",
                                                                &TqdInt64KeyDescriptor::ClassInfo);
  aDictionary.CustomDescsDescriptor()->AddCustom(u"Extra");
  aDictionary.SetCustomStringValue(u"Note", u"kept");

  TqdNestedTableDescriptor* lines = aDictionary.TablesDescriptor()->AddTable(u"Lines");
  lines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, true);
  lines->FieldsDescriptor()->AddField(u"Text", u"", qdtWideString, 40, 0, false);
  lines->AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo);
  static_cast<TqdCompKeyDescriptor*>(
      lines->EnsureIndicesDescriptor()->AddIndex(u"ByQty", 0, idAll, u"")->KeyDescriptor())
      ->Add(u"Qty");
  lines->SetCachingState(tcsCacheable);
  aDictionary.SetVersion(5);
}

// What a client of before item identifiers could read.
void fillLegacyDictionary(TqdDataDictionary& aDictionary) {
  aDictionary.FilesDescriptor()->AddFile(u"IX", qdbs8k, u"Indexes");
  TqdFieldsDescriptor* fields = aDictionary.FieldsDescriptor();
  fields->AddField(u"Id", u"", qdtAutoInc, 0, 0, false);
  fields->AddField(u"Name", u"the name", qdtNullString, 30, 0, true);
  fields->AddField(u"Flag", u"", qdtBoolean, 0, 0, false);
  fields->AddField(u"Memo", u"", qdtBlobMemo, 0, 0, false);
  aDictionary.AddBlobDescriptor()->SetFileNumber(1);
  aDictionary.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter");
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      aDictionary.IndicesDescriptor()->AddIndex(u"ByName", 1, idAll, u"")->KeyDescriptor());
  key->Add(u"Name", &TqdTextKeyFieldDescriptor::ClassInfo);
  aDictionary.IndicesDescriptor()->SetDefaultIndex(1);
}

void dictionarySeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "dictionary_stream",
                    [](const uint8_t* aData, size_t aSize) { FuzzDictionaryStreamInput(aData, aSize); });
  {
    TqdDataDictionary empty;
    out.Add("default", dictionaryStream(empty));
  }
  TqdDataDictionary rich;
  fillRichDictionary(rich);
  out.Add("rich", dictionaryStream(rich));
  out.Add("rich-client-30900", dictionaryStream(rich, qdClientVersionLocaleFixes));
  out.Add("rich-client-47004", dictionaryStream(rich, qdClientVersionRefNr - 1));
  TqdDataDictionary legacy;
  fillLegacyDictionary(legacy);
  out.Add("legacy-client-19999", dictionaryStream(legacy, qdClientVersionItemIDs - 1));
  out.Add("legacy-client-20399", dictionaryStream(legacy, qdClientVersionIndexDupsNull - 1));
  // One small table per group of field types, with an index on its first
  // field.
  const std::vector<std::vector<TqdFieldType>> groups = {
      {qdtInt32, qdtInt64, qdtAutoInc, qdtRefNr},
      {qdtNullString, qdtWideString, qdtShortString, qdtChar, qdtWideChar},
      {qdtDate, qdtTime, qdtDateTime, qdtCurrency, qdtBCD, qdtFmtBCD},
      {qdtBlob, qdtBlobMemo, qdtBlobGraphic, qdtBlobWideMemo, qdtGuid, qdtByteArray},
  };
  for (size_t g = 0; g < groups.size(); ++g) {
    TqdDataDictionary small;
    for (TqdFieldType type : groups[g]) {
      const bool sized = type == qdtByteArray || type == qdtShortString || type == qdtNullString ||
                         type == qdtWideString || type == qdtBCD || type == qdtFmtBCD;
      small.FieldsDescriptor()->AddField(qdString(u"F") + qdFieldTypeIdent(type), u"", type, sized ? 10 : 0,
                                         sized ? 3 : 0, false);
    }
    if (g != 3)
      static_cast<TqdCompKeyDescriptor*>(small.IndicesDescriptor()->AddIndex(u"First", 0, idAll, u"")->KeyDescriptor())
          ->Add(1);
    else
      (void)small.AddBlobDescriptor();
    out.Add("types-" + std::to_string(g), dictionaryStream(small));
  }
}

void filerSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "filer_reader",
                    [](const uint8_t* aData, size_t aSize) { FuzzFilerReaderInput(aData, aSize); });
  TqdMemoryStream stream(-1);
  {
    TqdWriter writer(&stream);
    writer.WriteListBegin();
    for (int32_t value : {0, -1, 127, -128, 300, -40000, 0x7FFFFFFF}) writer.WriteInteger(value);
    writer.WriteInteger(int64_t{1} << 40);
    writer.WriteBoolean(true);
    writer.WriteBoolean(false);
    writer.WriteString(u"ascii");
    writer.WriteString(u"Grüße");
    writer.WriteString(u"日本語のテキスト");
    writer.WriteWideString_(u"wide");
    writer.WriteAnsiString(std::string(300, 'x'));
    writer.WriteAnsiChar('c');
    writer.WriteIdent(u"Ident");
    writer.WriteIdent(u"Null");
    writer.WriteFloat(3.25);
    writer.WriteListBegin();
    writer.WriteListBegin();
    writer.WriteListEnd();
    writer.WriteListEnd();
    TqdStringList lines;
    lines.Add(u"one");
    lines.Add(u"two");
    writer.WriteStrings(lines);
    writer.WriteWideStrings(lines);
    TGUID guid{};
    guid.D1 = 0x01020304;
    writer.WriteGuid(guid);
    for (const TqdVariant& value : {TqdVariant(), TqdVariant::Null(), TqdVariant(int32_t{5}), TqdVariant(2.5),
                                    TqdVariant(TqdCurrency::FromRaw(12345)), TqdVariant(qdString(u"v"))})
      writer.WriteVariant(value);
    writer.WriteListEnd();
  }
  const Bytes values = streamBytes(stream);
  TqdDataDictionary rich;
  fillRichDictionary(rich);
  const Bytes dictionary = dictionaryStream(rich);
  for (uint8_t choice : {0, 1, 7, 42, 200}) {
    Bytes input = {choice};
    input.insert(input.end(), values.begin(), values.end());
    out.Add("values-" + std::to_string(choice), input);
  }
  for (uint8_t choice : {3, 99}) {
    Bytes input = {choice};
    input.insert(input.end(), dictionary.begin(), dictionary.end());
    out.Add("dictionary-" + std::to_string(choice), input);
  }
}

// --- Filter descriptors ----------------------------------------------------------------------------

Bytes filterStream(const TqdBaseFilterDescriptor& aDescriptor, int32_t aClientVersion = qdEngineClientVersion) {
  TqdAnsiStringStream stream;
  if (aDescriptor.WriteToStream(&stream, aClientVersion) != 0) throw std::logic_error("a seed filter cannot write");
  const qdAnsiString& data = stream.DataString();
  return Bytes(data.begin(), data.end());
}

// A descriptor stream of a class without a stream form: its name alone.
Bytes classNameOnly(const std::string& aName) {
  Bytes bytes = {uint8_t(aName.size())};
  bytes.insert(bytes.end(), aName.begin(), aName.end());
  return bytes;
}

void filterSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "filter_descriptor",
                    [](const uint8_t* aData, size_t aSize) { FuzzFilterDescriptorInput(aData, aSize); });
  // Field numbers of the harness's dictionary (FilterFuzzDictionary).
  enum : uint16_t { fB = 1, fC, fW, fI, fL, fD, fE, fY, fT, fM, fS, fA, fH, fN, fU, fG, fF, fR };
  using Make = std::function<CanExprBuilder::Node(CanExprBuilder&)>;
  auto compare = [](CanExprBuilder& b, int32_t aOperator, CanExprBuilder::Node aLeft, CanExprBuilder::Node aRight) {
    return b.Compare(aOperator, false, 0, aLeft, aRight);
  };
  TBcd bcd;
  (void)qdTryAnsiStrToBcd("123.45", bcd);
  const struct {
    const char* name;
    Make make;
  } expressions[] = {
      {"int-eq", [&](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fI, "I"), b.Int32(0x41414141)); }},
      {"int64-ge",
       [&](CanExprBuilder& b) { return compare(b, coGE, b.Field(fL, "L"), b.ConstOf<int64_t>(kCanTypeInt64, -10)); }},
      {"double-lt",
       [&](CanExprBuilder& b) { return compare(b, coLT, b.Field(fD, "D"), b.ConstOf<double>(kCanTypeFloat, 2.5)); }},
      {"extended-ne",
       [&](CanExprBuilder& b) {
         const uint8_t ten[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
         return compare(b, coNE, b.Field(fE, "E"), b.Const(kCanTypeExtended, ten, sizeof ten));
       }},
      {"currency-gt",
       [&](CanExprBuilder& b) { return compare(b, coGT, b.Field(fY, "Y"), b.ConstOf<int32_t>(kCanTypeInt32, 7)); }},
      {"date-le",
       [&](CanExprBuilder& b) { return compare(b, coLE, b.Field(fT, "T"), b.ConstOf<int32_t>(kCanTypeDate, 730000)); }},
      {"time-eq",
       [&](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fM, "M"), b.ConstOf<int32_t>(kCanTypeTime, 3600000));
       }},
      {"timestamp-ge",
       [&](CanExprBuilder& b) {
         return compare(b, coGE, b.Field(fS, "S"), b.ConstOf<double>(kCanTypeTimeStamp, 6.3e13));
       }},
      {"bcd-eq",
       [&](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fF, "F"), b.Const(kCanTypeBcd, bcd.Bytes.data(), bcd.Bytes.size()));
       }},
      {"text-like", [&](CanExprBuilder& b) { return b.Compare(coLIKE, true, 0, b.Field(fN, "N"), b.Text("%AA_")); }},
      {"short-string-partial",
       [&](CanExprBuilder& b) { return b.Compare(coEQ, false, 2, b.Field(fH, "H"), b.Text("AA")); }},
      {"char-ne", [&](CanExprBuilder& b) { return compare(b, coNE, b.Field(fC, "C"), b.Text("AAAA")); }},
      {"wide-eq", [&](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fU, "U"), b.WideText(u"AAAA日本")); }},
      {"widechar-like",
       [&](CanExprBuilder& b) { return b.Compare(coLIKE, false, 0, b.Field(fW, "W"), b.WideText(u"A%")); }},
      {"guid-eq",
       [&](CanExprBuilder& b) {
         return compare(b, coEQ, b.Field(fG, "G"), b.Text("{41414141-4141-4141-4141-414141414141}"));
       }},
      {"bytes-lt",
       [&](CanExprBuilder& b) {
         const uint8_t raw[6] = {0x41, 0x41, 0x41, 0x41, 0x41, 0x42};
         return compare(b, coLT, b.Field(fA, "A"), b.Const(3, raw, sizeof raw));
       }},
      {"boolean-eq", [&](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fB, "B"), b.Boolean(true)); }},
      {"refnr-gt",
       [&](CanExprBuilder& b) { return compare(b, coGT, b.Field(fR, "R"), b.ConstOf<int64_t>(kCanTypeInt64, 1)); }},
      {"fields-eq", [&](CanExprBuilder& b) { return compare(b, coEQ, b.Field(fI, "I"), b.Field(fL, "L")); }},
      {"blank-or-not",
       [&](CanExprBuilder& b) {
         return b.Binary(coOR, b.Unary(coISBLANK, b.Field(fN, "N")),
                         b.Unary(coNOT, b.Unary(coNOTBLANK, b.Field(fD, "D"))));
       }},
      {"and-of-three",
       [&](CanExprBuilder& b) {
         return b.Binary(coAND,
                         b.Binary(coAND, compare(b, coGT, b.Field(fI, "I"), b.Int32(1)),
                                  compare(b, coLT, b.Field(fL, "L"), b.ConstOf<int16_t>(kCanTypeInt16, 5))),
                         b.Compare(coLIKE, true, 0, b.Field(fU, "U"), b.Text("a%")));
       }},
      {"unsigned-constants",
       [&](CanExprBuilder& b) {
         return b.Binary(coOR, compare(b, coEQ, b.Field(fI, "I"), b.ConstOf<uint16_t>(kCanTypeUInt16, 7)),
                         compare(b, coNE, b.Field(fL, "L"), b.ConstOf<uint32_t>(kCanTypeUInt32, 0x80000000u)));
       }},
      {"single-constant",
       [&](CanExprBuilder& b) { return compare(b, coGE, b.Field(fD, "D"), b.ConstOf<float>(kCanTypeSingle, 1.5f)); }},
      {"continue-node", [&](CanExprBuilder& b) { return b.Continue(1); }},
  };
  for (const auto& expression : expressions) {
    CanExprBuilder builder;
    const Bytes bytes = builder.Build(expression.make(builder));
    out.Add(std::string("expression-") + expression.name,
            filterStream(TqdSimpleExpressionFilterDescriptor(bytes.data(), -1)));
  }
  // The stream's other versions: a filter text (3), a code page (4).
  CanExprBuilder builder;
  const Bytes bytes = builder.Build(compare(builder, coEQ, builder.Field(fN, "N"), builder.Text("AAAAAAAA")));
  out.Add("expression-with-text",
          filterStream(TqdSimpleExpressionFilterDescriptor(bytes.data(), u"N = 'AAAAAAAA'", -1)));
  out.Add("expression-with-code-page",
          filterStream(TqdSimpleExpressionFilterDescriptor(bytes.data(), u"N = 'AAAAAAAA'", 1252)));
  out.Add("expression-empty", filterStream(TqdSimpleExpressionFilterDescriptor(static_cast<const void*>(nullptr), -1)));
  out.Add("sql", filterStream(TqdSqlFilterDescriptor(u"I > 1 AND N LIKE 'A%'")));
  out.Add("sql-empty", filterStream(TqdSqlFilterDescriptor(u"")));
  // The registered classes without a stream form, and a class found by its
  // name without the "Descriptor" suffix.
  out.Add("hub", classNameOnly("TqdFilterDescriptorHub"));
  out.Add("callback", classNameOnly("TqdCallbackFilterDescriptor"));
  out.Add("base", classNameOnly("TqdBaseFilterDescriptor"));
  Bytes shortName = filterStream(TqdSqlFilterDescriptor(u"I = 2"));
  const std::string suffix = "Descriptor";
  shortName[0] = uint8_t(shortName[0] - suffix.size());
  shortName.erase(shortName.begin() + 1 + shortName[0],
                  shortName.begin() + 1 + shortName[0] + ptrdiff_t(suffix.size()));
  out.Add("sql-short-class-name", shortName);
}

// --- B*-trees and static records ---------------------------------------------------------------------

void bstarSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "bstar_tree", [](const uint8_t* aData, size_t aSize) { FuzzBstarTreeInput(aData, aSize); });
  out.Add("valid", {});
  // Offsets count from block 1. The index blocks' chain links, first slot,
  // count and kind, and the first child pointer of each internal node; the
  // next and in-use fields of each record block.
  const Bytes& file = BstarTreeFixture().bfBytes;
  const uint32_t blocks = uint32_t(file.size() / kBlockBytes);
  int internal = 0;
  int leaves = 0;
  int records = 0;
  for (uint32_t n = 1; n < blocks; ++n) {
    const uint8_t* block = file.data() + size_t(n) * kBlockBytes;
    const uint32_t at = (n - 1) * kBlockBytes;
    const std::string signature(reinterpret_cast<const char*>(block), 4);
    if (signature == "QDIH" && block[36] == 1 && internal++ < 3) {
      const std::string name = "internal" + std::to_string(n);
      Bytes child;
      patchU32(child, at + 40, n);
      out.Add(name + "-child-cycle", child);
      Bytes count;
      patchU16(count, at + 34, 0x7FFF);
      out.Add(name + "-count", count);
      Bytes kind;
      patch(kind, at + 36, 2);
      out.Add(name + "-as-leaf", kind);
    } else if (signature == "QDIH" && block[36] == 2 && leaves++ < 4) {
      const std::string name = "leaf" + std::to_string(n);
      Bytes next;
      patchU32(next, at + 28, n);
      out.Add(name + "-next-self", next);
      Bytes previous;
      patchU32(previous, at + 24, blocks + 10);
      out.Add(name + "-previous-wild", previous);
      Bytes first;
      patchU16(first, at + 32, 200);
      out.Add(name + "-first", first);
      Bytes key;
      patch(key, at + 41, 0xFF);
      out.Add(name + "-key-order", key);
    } else if (signature == "QDDH" && records++ < 2) {
      const std::string name = "records" + std::to_string(n);
      Bytes next;
      patchU32(next, at + 16, n);
      out.Add(name + "-next-self", next);
      Bytes inUse;
      patch(inUse, at + 32, 0);
      out.Add(name + "-in-use", inUse);
    }
  }
  if (internal == 0 || leaves == 0 || records == 0) throw std::logic_error("the B*-tree fixture lost its structure");
}

void staticRecordSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "static_records",
                    [](const uint8_t* aData, size_t aSize) { FuzzStaticRecordInput(aData, aSize); });
  out.Add("valid", {});
  const TqdStaticRecordFixture& fixture = StaticRecordFixture();
  const uint32_t blocks = uint32_t(fixture.srBytes.size() / kBlockBytes);
  for (uint32_t n = 1; n < blocks; ++n) {
    const uint8_t* block = fixture.srBytes.data() + size_t(n) * kBlockBytes;
    if (std::memcmp(block, "QDDH", 4) != 0) continue;
    const uint32_t at = (n - 1) * kBlockBytes;
    const std::string name = "block" + std::to_string(n);
    const struct {
      const char* field;
      uint32_t offset;
      uint32_t value;
      int bytes;
    } fields[] = {{"next", 16, n, 4},       {"previous", 20, blocks + 3, 4},
                  {"free-chain", 24, n, 4}, {"first-free", 28, 999, 2},
                  {"in-use", 30, 0, 2},     {"bitmap", 32, 0xFF, 1}};
    for (const auto& field : fields) {
      Bytes input;
      if (field.bytes == 4)
        patchU32(input, at + field.offset, field.value);
      else if (field.bytes == 2)
        patchU16(input, at + field.offset, uint16_t(field.value));
      else
        patch(input, at + field.offset, uint8_t(field.value));
      out.Add(name + "-" + field.field, input);
    }
  }
  // The header section: record count, first and last block, free slots,
  // free-block chain head.
  for (uint32_t offset = 0; offset < 20; offset += 4) {
    Bytes input;
    patchU32(input, 0x800000 + offset, 3);
    out.Add("section" + std::to_string(offset), input);
  }
}

// --- Journals --------------------------------------------------------------------------------------

// The journal files a commit of journal kind aKind leaves when the file
// system fails its aFailAt-th change for good: the commit's own journal,
// written by the journal engine, cut off wherever that change fell. With
// aFailAt 0 nothing fails and the journal is taken just before its
// deletion would remove it.
std::vector<Bytes> journalsOfCommit(int aKind, int aFailAt) {
  TqdFaultFixture fault;
  const auto& tables = JournalFuzzTables();
  for (size_t t = 0; t < tables.size(); ++t) fault.Fs().WriteAll(kJournalFuzzTables[t], tables[t]);
  const TqdJournalEngineClass* previous = qdJournalEngineClass.exchange(qdJournalEngineClassOfKind(aKind));
  std::vector<Bytes> journals;
  {
    TqdBufferManager cache(u"/tmp");
    TqdTestTransactionMgr mgr(&cache, "/db");
    std::vector<std::unique_ptr<TqdTestTable>> opened;
    for (const char* path : kJournalFuzzTables) opened.push_back(TqdTestTable::Open(&cache, path));
    TqdTestServerTransaction trans(&mgr);
    AddBlocks(*opened[0], &trans, 2, 0x33);
    SetBlockByte(*opened[0], &trans, 2, 0xA2);
    SetBlockByte(*opened[1], &trans, 4, 0xB4);
    if (aFailAt > 0) {
      fault.Fs().FailNth(foAnyChange, aFailAt, EIO, true);
    } else {
      // The first delete is the journal's: fail it to keep the file.
      fault.Fs().FailNth(foDelete, 1, EIO, true);
    }
    try {
      trans.Commit();
    } catch (const EqdBaseException&) {
      if (!trans.Finished()) trans.Rollback();
    }
    for (const std::string& name : NonEmptyJournalFiles(fault.Fs())) journals.push_back(fault.Fs().ReadAll(name));
    opened.clear();
  }
  qdFaultClearFatalError();
  qdJournalEngineClass.store(previous);
  return journals;
}

void journalSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "journal", [](const uint8_t* aData, size_t aSize) { FuzzJournalInput(aData, aSize); });
  std::map<int, std::vector<Bytes>> byKind;
  for (int kind = 0; kind <= 2; ++kind) {
    std::set<Bytes> seen;
    for (int failAt = 0; failAt <= 12; ++failAt) {
      for (const Bytes& journal : journalsOfCommit(kind, failAt)) {
        if (!seen.insert(journal).second) continue;
        byKind[kind].push_back(journal);
        // A kind-0 journal goes either way, by the checking class.
        const std::set<uint8_t> checkers = kind == 0 ? std::set<uint8_t>{1, 2} : std::set<uint8_t>{uint8_t(kind)};
        for (uint8_t checker : checkers) {
          const std::string name =
              "kind" + std::to_string(kind) + "-cut" + std::to_string(failAt) + "-checker" + std::to_string(checker);
          TqdJournalFuzzInput input;
          input.jfChecker = checker;
          input.jfJournals = {journal};
          out.Add(name, EncodeJournalFuzzInput(input));
        }
      }
    }
  }
  // Two journals of one table, of the same and of different kinds.
  for (const auto& [first, second] : std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {1, 2}, {0, 2}}) {
    if (byKind[first].empty() || byKind[second].empty()) throw std::logic_error("a journal kind left no journal");
    TqdJournalFuzzInput input;
    input.jfChecker = uint8_t(second);
    input.jfJournals = {byKind[first].front(), byKind[second].back()};
    out.Add("two-kind" + std::to_string(first) + "-kind" + std::to_string(second), EncodeJournalFuzzInput(input));
  }
}

// --- Literals --------------------------------------------------------------------------------------

void literalSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "literals", [](const uint8_t* aData, size_t aSize) { FuzzLiteralInput(aData, aSize); });
  auto add = [&](const std::string& aName, uint8_t aControl, const std::string& aText) {
    Bytes input = {aControl};
    input.insert(input.end(), aText.begin(), aText.end());
    out.Add(aName, input);
  };
  // Decimal texts as the engine writes them, from doubles, currencies and
  // texts of every precision.
  int n = 0;
  for (double value : {0.0, -1.5, 123.456, 0.0001, 98765432109876.0}) {
    TBcd bcd = qdDoubleToBcd(value);
    add("bcd-double-" + std::to_string(n++), 0x10, qdBcdToAnsiStr(bcd));
  }
  TBcd fromCurrency;
  (void)qdCurrToBcd(fromCurrency, 32, 4, TqdCurrency::FromRaw(-922337203685477580));
  add("bcd-currency", 0x23, qdBcdToAnsiStr(fromCurrency));
  add("bcd-64-digits", 0x88, std::string(40, '9') + "." + std::string(24, '1'));
  add("bcd-comma", 0x01, "-0,0050");
  // Raw records: the control selects the current separator, the text is the
  // record's bytes.
  TBcd raw;
  (void)qdTryAnsiStrToBcd("-31415.9265", raw);
  add("bcd-record", 0x02, std::string(raw.Bytes.begin(), raw.Bytes.end()));
  // Dates, times and timestamps as the platform formats them, a week date,
  // and quoted and UTF-16 forms.
  const TDateTime moments[] = {EncodeDate(2024, 2, 29) + 0.5, EncodeDate(1899, 12, 30), EncodeDate(1, 1, 1) + 0.25,
                               EncodeDate(9999, 12, 31) + 0.999988};
  n = 0;
  for (TDateTime moment : moments) {
    const std::string suffix = std::to_string(n++);
    add("date-" + suffix, 0, StringToUtf8(FormatDateTime(u"yyyy-mm-dd", moment)));
    add("time-" + suffix, 0, StringToUtf8(FormatDateTime(u"hh:nn:ss.zzz", moment)));
    add("timestamp-" + suffix, 0, StringToUtf8(FormatDateTime(u"yyyy-mm-dd hh:nn:ss", moment)));
  }
  add("week-date", 0, "2020-W53-7");
  add("quoted-date", 0, "'2001-09-11'");
  std::string wide;
  for (char c : std::string("1900-01-01 23:59:59.500")) {
    wide.push_back(c);
    wide.push_back(0);
  }
  add("timestamp-utf16", 0x04, wide);
}

// --- Table mapper streams ------------------------------------------------------------------------

void tableMapperSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "table_mapper_stream",
                    [](const uint8_t* aData, size_t aSize) { FuzzTableMapperStreamInput(aData, aSize); });
  auto add = [&](const std::string& aName, const TqdBaseTableMapperDescriptor& aTree) {
    TqdMemoryStream stream(-1);
    {
      TqdWriter writer(&stream);
      aTree.WriteToWriter(writer, qdEngineClientVersion);
    }
    out.Add(aName, streamBytes(stream));
  };
  TqdBaseTableMapperDescriptor bare;
  add("base-node", bare);
  TqdTableMapperDescriptor root;
  root.AddRecordMapper(TqdRecordMapperDescriptor::ClassInfo);
  add("empty-record-mapper", root);
  auto* records = static_cast<TqdRecordMapperDescriptor*>(root.RecordMapper());
  records->AddMapping(u"ID", u"id", dlaFail);
  records->AddMapping(u"Name", u"NAME", dlaNull)->SetApplyDefault(true);
  records->AddMapping(u"", u"Created", dlaBestFit);
  records->SetApplyDefaultForUnmapped(false);
  TqdBaseTableMapperDescriptor* lines = root.AddTable(u"Lines", &TqdTableMapperDescriptor::ClassInfo);
  lines->SetMapTo(u"Items");
  static_cast<TqdRecordMapperDescriptor*>(lines->AddRecordMapper(TqdRecordMapperDescriptor::ClassInfo))
      ->AddMapping(u"Qty", u"Quantity", dlaBestFit);
  lines->AddTable(u"Notes");
  root.AddTable(u"Tags", &TqdTableMapperDescriptor::ClassInfo)
      ->AddRecordMapper(TqdBaseRecordMapperDescriptor::ClassInfo);
  add("tree", root);
}

// --- Server engine and alias settings -------------------------------------------------------------

void settingsSeeds(const std::filesystem::path& aRoot) {
  TqdSeedFolder out(aRoot, "settings_stream",
                    [](const uint8_t* aData, size_t aSize) { FuzzSettingsStreamInput(aData, aSize); });
  auto* engine = qdCreate<TqdServerEngine>(nullptr);
  out.Add("engine-defaults", SettingsStreamInput(*engine));
  engine->SetServerName(u"Drill \u00e9t\u00e9");
  engine->SetMaxRAM(512);
  engine->SetTempStoreSize(0);
  engine->SetTempStorePath(u"/var/tmp/qd");
  engine->SetOptions({seoReadOnly, seoCloseInactiveFolders, seoIsSecure, seoKeepSessionStats});
  const TqdJournalEngineClass* journal = qdJournalEngineClass.load();
  qdJournalEngineClass.store(qdFindJournalEngineClass(u"Tqd1xCommitJournalEngine"));
  out.Add("engine-all-values", SettingsStreamInput(*engine));
  qdJournalEngineClass.store(journal);
  qdFreeAndNil(engine);

  auto* aliases = qdCreate<TqdSimpleAliasHandler>(nullptr);
  out.Add("aliases-empty", SettingsStreamInput(*aliases));
  (void)aliases->Add(u"Data", u"/srv/data", false);
  (void)aliases->Add(u"mem", u"#mem", false);
  (void)aliases->Add(u"Study", u"/home/\u00e9l\u00e8ve/study", false);
  out.Add("aliases-three", SettingsStreamInput(*aliases));
  qdFreeAndNil(aliases);
}

}  // namespace
}  // namespace qd::test

int main(int argc, char** argv) {
  using namespace qd::test;
  const std::filesystem::path root = argc > 1 ? std::filesystem::path(argv[1]) : FuzzCasesRoot();
  qd::qdEngineInitialize();
  try {
    headerSeeds(root);
    streamSeeds(root);
    filerSeeds(root);
    dictionarySeeds(root);
    filterSeeds(root);
    bstarSeeds(root);
    staticRecordSeeds(root);
    journalSeeds(root);
    literalSeeds(root);
    tableMapperSeeds(root);
    settingsSeeds(root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qd_fuzz_seeds: %s\n", e.what());
    return 1;
  }
  qd::qdEngineFinalize();
  return 0;
}
